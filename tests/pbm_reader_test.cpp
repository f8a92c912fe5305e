// The PBM reader on streams: how much a refusal reads, pictures larger than
// any buffer written to a seekable file, the header limits at their edges,
// and outputs that cannot seek.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "convert/convert.hpp"
#include "support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Status;

qpbm::Pbm2BmpBuffers buffers;

// A temporary stream holding `bytes`, then `zeros` zero bytes (a hole, so
// that large ones cost no disk), positioned at byte 0 with no I/O done on it,
// as a converter receives its input.
std::FILE* input_stream(const std::string& bytes, std::uint64_t zeros = 0) {
    std::FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return nullptr;
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fflush(f);
    if (zeros > 0) {
        EXPECT_EQ(ftruncate(fileno(f), static_cast<off_t>(bytes.size() + zeros)), 0);
    }
    const int fd = dup(fileno(f));
    std::fclose(f);
    lseek(fd, 0, SEEK_SET);
    return fdopen(fd, "rb");
}

// How far the input's file descriptor has been read.
off_t bytes_read(std::FILE* f) { return lseek(fileno(f), 0, SEEK_CUR); }

// The whole stream, in one read (the converter leaves it unbuffered).
Bytes stream_bytes(std::FILE* f) {
    std::fflush(f);
    std::fseek(f, 0, SEEK_END);
    Bytes bytes(static_cast<std::size_t>(std::ftell(f)));
    std::rewind(f);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
    return bytes;
}

// Converts through the two phases the file layer calls.
Status convert_streams(std::FILE* in, bool seekable, std::FILE* out, qpbm::Facts& facts) {
    qpbm::PbmSource source;
    const Status status = qpbm::read_pbm_source(in, seekable, source, buffers, facts);
    if (status != Status::ok) return status;
    return qpbm::write_bmp(in, source, seekable, buffers, out);
}

TEST(PbmBoundedReads, ARefusalReadsLittleMoreThanTheDecidingByte) {
    struct Case {
        const char* what;
        std::string head;
        std::uint64_t zeros;
        Status status;
        off_t most_read;
    };
    const Case cases[] = {
        {"\"XX\" and 100 MB", "XX", 100u << 20, Status::pbm_bad_magic, 16},
        {"\"P1\" and 2 GiB of zeros", "P1", 2ull << 30, Status::pbm_bad_header_char, 16},
        {"a width and 2 GiB of zeros", "P1 12", 2ull << 30, Status::pbm_bad_header_char, 16},
        {"a comment of 2 GiB", "P1 #", 2ull << 30, Status::pbm_header_too_long, 64 * 1024 + 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::FILE* in = input_stream(c.head, c.zeros);
        ASSERT_NE(in, nullptr);
        qpbm::PbmSource source;
        qpbm::Facts facts;
        EXPECT_EQ(qpbm::read_pbm_source(in, true, source, buffers, facts), c.status);
        EXPECT_LE(bytes_read(in), c.most_read);
        std::fclose(in);
    }
}

TEST(PbmBoundedReads, LeadingZerosUpToTheHeaderLimit) {
    // Everything up to the height's last digit takes at most 64 KiB.
    const std::string head = "P1 1 ";
    for (const std::size_t size : {std::size_t{64 * 1024}, std::size_t{64 * 1024 + 1}}) {
        SCOPED_TRACE(size);
        std::FILE* in = input_stream(head + std::string(size - head.size() - 1, '0') + "1\n0");
        ASSERT_NE(in, nullptr);
        qpbm::PbmSource source;
        qpbm::Facts facts;
        EXPECT_EQ(qpbm::read_pbm_source(in, true, source, buffers, facts),
                  size <= 64 * 1024 ? Status::ok : Status::pbm_header_too_long);
        std::fclose(in);
    }
}

TEST(PbmBoundedReads, DevZeroIsRefusedAtOnce) {
    std::FILE* in = std::fopen("/dev/zero", "rb");
    ASSERT_NE(in, nullptr);
    qpbm::PbmSource source;
    qpbm::Facts facts;
    EXPECT_EQ(qpbm::read_pbm_source(in, true, source, buffers, facts), Status::pbm_bad_magic);
    std::fclose(in);
}

TEST(PbmBoundedReads, AReadErrorIsNotARefusal) {
    // Reading a directory fails (EISDIR) on the first read.
    TempDir dir;
    std::FILE* in = std::fopen(dir.file("").c_str(), "rb");
    if (in == nullptr) GTEST_SKIP() << "directories cannot be opened as streams here";
    qpbm::PbmSource source;
    qpbm::Facts facts;
    EXPECT_EQ(qpbm::read_pbm_source(in, true, source, buffers, facts), Status::read_failed);
    std::fclose(in);
}

TEST(PbmSizes, TheLargestBmpIsAcceptedAndOneRowMoreIsNot) {
    // Width 1: a stride of 4, so 54 + 4 * height must stay within 0xFFFFFFFF.
    const std::uint64_t largest = (0xFFFFFFFFull - 54) / 4;
    for (const std::uint64_t height : {largest, largest + 1}) {
        SCOPED_TRACE(height);
        std::FILE* in = input_stream("P4 1 " + std::to_string(height) + "\n");
        ASSERT_NE(in, nullptr);
        qpbm::PbmSource source;
        qpbm::Facts facts;
        EXPECT_EQ(qpbm::read_pbm_source(in, true, source, buffers, facts),
                  height == largest ? Status::ok : Status::pbm_too_large);
        EXPECT_EQ(facts.width, 1);
        EXPECT_EQ(static_cast<std::uint64_t>(facts.height), height);
        EXPECT_STREQ(facts.format, "PBM, raw");
        std::fclose(in);
    }
}

// A picture that no buffer holds, as plain and raw PBM text.
bool big_picture(int x, int y) { return ((x / 7) ^ (y / 5) ^ (x * y)) % 3 == 0; }

std::string raw_of(int width, int height, const std::function<bool(int, int)>& white) {
    std::string pbm = "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; x += 8) {
            unsigned byte = 0;
            for (int bit = 0; bit < 8 && x + bit < width; ++bit)
                if (!white(x + bit, y)) byte |= 0x80u >> bit;
            pbm += static_cast<char>(byte);
        }
    return pbm;
}

TEST(PbmSeekableOutput, PicturesLargerThanAnyBufferGoToTheirPlaces) {
    struct Case {
        int width, height;
    };
    // 3000 x 2000 spans many blocks of rows; the second has rows wider than a
    // block, written in pieces.
    const Case cases[] = {{3000, 2000}, {static_cast<int>(qpbm::kRowPiecePixels) + 9, 3}};
    for (const Case& c : cases) {
        const Bytes expected =
            make_bmp(c.width, c.height, [](int x, int y) { return big_picture(x, y) ? kWhite : kBlack; });
        for (const bool raw : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << (raw ? " raw" : " plain"));
            std::FILE* in = input_stream(raw ? raw_of(c.width, c.height, big_picture)
                                             : expected_pbm(c.width, c.height, big_picture));
            std::FILE* out = std::tmpfile();
            ASSERT_TRUE(in && out);
            qpbm::Facts facts;
            EXPECT_EQ(convert_streams(in, true, out, facts), Status::ok);
            EXPECT_TRUE(stream_bytes(out) == expected);
            std::fclose(in);
            std::fclose(out);
        }
    }
}

TEST(PbmNonSeekableOutput, PicturesUpTo1000By1000AreGatheredFirst) {
    const auto white = [](int x, int y) { return (x * 3 + y * 5) % 7 < 3; };
    for (const auto& [width, height] : {std::pair{1000, 1000}, {1, 1000}, {1000, 1}, {0, 5000}}) {
        for (const bool raw : {false, true}) {
            SCOPED_TRACE(testing::Message() << width << " x " << height << (raw ? " raw" : " plain"));
            std::FILE* in = input_stream(raw ? raw_of(width, height, white) : expected_pbm(width, height, white));
            std::FILE* out = std::tmpfile();
            ASSERT_TRUE(in && out);
            qpbm::Facts facts;
            EXPECT_EQ(convert_streams(in, false, out, facts), Status::ok);
            EXPECT_TRUE(stream_bytes(out) ==
                        make_bmp(width, height, [&](int x, int y) { return white(x, y) ? kWhite : kBlack; }));
            std::fclose(in);
            std::fclose(out);
        }
    }
}

TEST(PbmNonSeekableOutput, LargerPicturesAreRefusedInTheCheck) {
    for (const auto& [width, height] : {std::pair{4000, 3000}, {1001, 1}, {1, 1001}}) {
        SCOPED_TRACE(testing::Message() << width << " x " << height);
        std::FILE* in = input_stream("P1\n" + std::to_string(width) + " " + std::to_string(height) + "\n0 1 0");
        ASSERT_NE(in, nullptr);
        qpbm::PbmSource source;
        qpbm::Facts facts;
        EXPECT_EQ(qpbm::read_pbm_source(in, false, source, buffers, facts), Status::pbm_too_large_for_pipe);
        char text[256];
        EXPECT_EQ(std::string(qpbm::describe_status(Status::pbm_too_large_for_pipe, facts, text, sizeof text)),
                  std::to_string(width) + " x " + std::to_string(height) +
                      "; a pipe can only take pictures up to 1000 x 1000: write to a file");
        std::fclose(in);
    }
}

TEST(PbmNonSeekableOutput, AFifoGetsSmallPicturesAndNothingOfLargeOnes) {
    TempDir dir;
    const std::string fifo = dir.file("out.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A reader that never blocks, so that opening the FIFO for writing does not either.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto drain = [reader] {
        Bytes bytes;
        std::uint8_t chunk[4096];
        for (ssize_t n; (n = read(reader, chunk, sizeof chunk)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
        return bytes;
    };

    write_file(dir.file("big.pbm"), "P1\n4000 3000\n0 1 0 1");
    EXPECT_EQ(convert(qpbm::Direction::pbm_to_bmp, dir.file("big.pbm"), fifo), Status::pbm_too_large_for_pipe);
    EXPECT_TRUE(drain().empty());

    const auto white = [](int x, int y) { return (x + y) % 3 == 0; };
    write_file(dir.file("small.pbm"), expected_pbm(20, 10, white));
    EXPECT_EQ(convert(qpbm::Direction::pbm_to_bmp, dir.file("small.pbm"), fifo), Status::ok);
    EXPECT_EQ(drain(), make_bmp(20, 10, [&](int x, int y) { return white(x, y) ? kWhite : kBlack; }));
    close(reader);
}

}  // namespace
}  // namespace qpbm_test

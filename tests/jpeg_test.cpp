// JPEG in through the joiner: the refusals, on pictures compressed here with
// libjpeg and then damaged. The pixels themselves are checked against djpeg
// and Pillow by tests/interop/jpeg_files.py.
// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "convert/codecs.hpp"
#include "tests/conversion_support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Status;

const bool codecs_added = qpbm::add_codecs();

// An RGB picture of stripes as a JPEG, baseline or progressive.
Bytes compress(int width, int height, bool progressive) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            for (int k = 0; k < 3; ++k)
                row[static_cast<std::size_t>(3 * x + k)] = static_cast<JSAMPLE>((x * 16 + y * 8 + k * 85) % 256);
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    Bytes jpeg(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return jpeg;
}

// Sets the width and height of the frame header (SOF0 or SOF2).
Bytes with_size(Bytes jpeg, unsigned width, unsigned height) {
    for (std::size_t i = 2; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
            jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8), jpeg[i + 6] = static_cast<std::uint8_t>(height);
            jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8), jpeg[i + 8] = static_cast<std::uint8_t>(width);
            return jpeg;
        }
    ADD_FAILURE() << "no frame header";
    return jpeg;
}

// A grey progressive JPEG of `count` scans (64 to 704): the DC, then each
// AC coefficient alone, in as many successive approximation steps (at most
// 11, Al from 10 down) as the count needs.
Bytes compress_scans(int count) {
    std::vector<jpeg_scan_info> scans = {{1, {0}, 0, 0, 0, 0}};
    int left = count - 1;
    for (int k = 1; k <= 63; ++k) {
        const int steps = std::min(11, left - (63 - k));
        scans.push_back({1, {0}, k, k, 0, steps - 1});
        for (int al = steps - 1; al > 0; --al) scans.push_back({1, {0}, k, k, al, al - 1});
        left -= steps;
    }
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = c.image_height = 16;
    c.input_components = 1;
    c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    c.scan_info = scans.data();
    c.num_scans = static_cast<int>(scans.size());
    jpeg_start_compress(&c, TRUE);
    JSAMPLE row[16];
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) row[x] = static_cast<JSAMPLE>(x * y);
        JSAMPROW rows[] = {row};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    Bytes jpeg(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return jpeg;
}

// Bytes that are no marker between the last scan and EOI.
Bytes junk_before_eoi(Bytes jpeg) {
    const Bytes junk = text("junk after the last scan");
    jpeg.insert(jpeg.end() - 2, junk.begin(), junk.end());
    return jpeg;
}

TEST(JpegReader, BaselineAndProgressiveConvert) {
    for (const bool progressive : {false, true}) {
        const Outcome o = run_to_p4(compress(37, 21, progressive), qpbm::Options{});
        ASSERT_EQ(o.status, Status::ok);
        EXPECT_EQ(o.bytes.size(), text("P4\n# Created by Quorvel\n37 21\n").size() + 5 * 21);
    }
}

// As Pillow and ImageMagick take them: damage after the last scan, which a
// baseline read never reaches and a progressive one passes, and as many
// scans as an encoder may write.
TEST(JpegReader, WholePicturesConvertAsTheirCleanCopies) {
    const struct {
        const char* what;
        Bytes jpeg;
        Bytes clean;
    } cases[] = {
        {"baseline, junk before EOI", junk_before_eoi(compress(37, 21, false)), compress(37, 21, false)},
        {"progressive, junk before EOI", junk_before_eoi(compress(37, 21, true)), compress(37, 21, true)},
        {"500 scans", compress_scans(500), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = run_to_p4(c.jpeg, qpbm::Options{});
        ASSERT_EQ(o.status, Status::ok);
        if (!c.clean.empty()) {
            EXPECT_EQ(o.bytes, run_to_p4(c.clean, qpbm::Options{}).bytes);
        }
    }
}

TEST(JpegReader, AReaderThreadWritesTheSameBytes) {
    for (const bool progressive : {false, true}) expect_same_bytes_in_thread(compress(700, 500, progressive));
}

// One refusal each, with libjpeg's own words where it is libjpeg that refuses.
TEST(JpegReader, HostileFilesAreRefused) {
    const Bytes good = compress(64, 48, false);
    struct Case {
        const char* what;
        Bytes jpeg;
        Status status;
        const char* words;  // part of libjpeg's text
        std::uint64_t max_pixels = 0;
    };
    Bytes not_jpeg = {0xFF, 0xD8, 0xFF, 0x00, 'n', 'o', 't', ' ', 'a', ' ', 'J', 'P', 'E', 'G'};
    const Case cases[] = {
        {"truncated", Bytes(good.begin(), good.begin() + static_cast<long>(good.size() / 2)), Status::jpeg_refused,
         "Premature end"},
        {"over libjpeg's dimension", with_size(good, 65535, 48), Status::jpeg_refused, "65500"},
        // Taken at the check (a P4 holds it): the scan ends long before.
        {"a header of 65000 x 65000", with_size(good, 65000, 65000), Status::jpeg_refused, ""},
        // 4 x 10^8 pixels of coefficients, read whole before the first row.
        {"progressive over the memory cap", with_size(compress(64, 48, true), 20000, 20000), Status::jpeg_refused,
         "store"},
        {"no markers", not_jpeg, Status::jpeg_refused, "0xFF 0x00, not a marker"},
        {"more scans than an encoder writes", compress_scans(501), Status::jpeg_too_many_scans, ""},
        {"max_pixels", good, Status::too_many_pixels, "", 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qpbm::Options options;
        options.max_pixels = c.max_pixels;
        const Outcome o = run_to_p4(c.jpeg, options);
        EXPECT_EQ(o.status, c.status);
        if (c.status == Status::jpeg_refused) {
            EXPECT_NE(std::string(o.facts.library_text).find(c.words), std::string::npos) << o.facts.library_text;
        }
    }
}

// Piped, a JPEG is kept up to twice its samples, 64 bytes a row and 64 MiB:
// with a short tail it converts as the file does, with one without end it
// is refused at that bound.
TEST(JpegReader, APipeIsKeptUpToWhatItsPictureCanTake) {
    const Bytes jpeg = compress(37, 21, true);
    constexpr std::uint64_t kPipeSlack = 4u << 20;  // the pipe's buffer and a spliced block
    TempDir dir;
    write_file(dir.file("in.jpg"), jpeg);
    qpbm::Direction d = qpbm::Direction::detect;
    qpbm::Facts facts;
    static qpbm::Workspace work;
    ASSERT_EQ(qpbm::convert_with(d, dir.file("in.jpg").c_str(), dir.file("file.pbm").c_str(), work, facts,
                                 qpbm::kDefaultOptions),
              Status::ok);
    EXPECT_EQ(convert_piped(jpeg, 5000, true, qpbm::kDefaultOptions, UINT64_MAX, dir), static_cast<int>(Status::ok));
    EXPECT_EQ(read_file(dir.file("out")), read_file(dir.file("file.pbm")));
    const std::uint64_t bound = 2 * 37 * 21 * 3 + 21 * 64 + (std::uint64_t{64} << 20);
    // Before its header, a JPEG is kept as far as its metadata may go.
    const std::uint64_t metadata = std::uint64_t{64} << 20;
    const Bytes app0 = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    const struct {
        const char* what;
        Bytes start;
        Status status;
        std::uint64_t most;
    } cases[] = {
        {"a tail without end", jpeg, Status::input_too_long, bound + kPipeSlack},
        {"no marker after SOI", {0xFF, 0xD8, 0xFF}, Status::jpeg_refused, kPipeSlack},
        {"fill bytes without end", {0xFF, 0xD8, 0xFF, 0xFF}, Status::input_too_long, metadata + kPipeSlack},
        {"no frame after APP0", app0, Status::input_too_long, metadata + kPipeSlack},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(dir.file("fifo"));
        EXPECT_EQ(convert_piped(c.start, UINT64_MAX, false, qpbm::kDefaultOptions, c.most, dir),
                  static_cast<int>(c.status));
    }
}

}  // namespace
}  // namespace qpbm_test

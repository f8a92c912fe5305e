// PNG in and out through the joiner. Inputs are built here from the PNG
// layout (zlib for the compressed rows), and the expected bits follow from
// the sample rules: a sample v of depth d is (v * 255 + M div 2) div M with
// M = 2^d - 1, alpha (a channel or tRNS) is laid over white as
// (c * a + 255 * (255 - a) + 127) div 255, then luma decides.
#include "write/png.hpp"

#include <zlib.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "convert/codecs.hpp"
#include "core/limits.hpp"
#include "tests/conversion_support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Status;

const bool codecs_added = qpbm::add_codecs();

void be32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

void chunk(Bytes& png, const char* type, const Bytes& data) {
    be32(png, static_cast<std::uint32_t>(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    be32(png, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

Bytes deflate(const Bytes& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6), Z_OK);
    out.resize(size);
    return out;
}

unsigned channels_of(int type) { return type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1; }

struct Png {
    std::uint32_t width = 0, height = 0;
    int depth = 8, type = 0;
    std::vector<unsigned> samples;  // channels_of(type) a pixel, top row first
    std::vector<std::array<unsigned, 3>> palette;
    Bytes trns;

    Bytes ihdr(std::uint8_t interlace = 0) const {
        Bytes d;
        be32(d, width);
        be32(d, height);
        d.insert(d.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(type), 0, 0, interlace});
        return d;
    }
    // Unfiltered rows, samples packed from the highest bits.
    Bytes rows() const {
        Bytes raw;
        const std::size_t per_row = width * channels_of(type);
        for (std::uint32_t y = 0; y < height; ++y) {
            raw.push_back(0);
            unsigned acc = 0, bits = 0;
            for (std::size_t i = 0; i < per_row; ++i) {
                const unsigned v = samples[y * per_row + i];
                if (depth == 16) {
                    raw.push_back(static_cast<std::uint8_t>(v >> 8));
                    raw.push_back(static_cast<std::uint8_t>(v));
                    continue;
                }
                acc = acc << depth | v;
                bits += static_cast<unsigned>(depth);
                if (bits == 8) raw.push_back(static_cast<std::uint8_t>(acc)), acc = bits = 0;
            }
            if (bits != 0) raw.push_back(static_cast<std::uint8_t>(acc << (8 - bits)));
        }
        return raw;
    }
    Bytes encode() const {
        Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        chunk(png, "IHDR", ihdr());
        if (!palette.empty()) {
            Bytes p;
            for (const auto& c : palette)
                p.insert(p.end(), {std::uint8_t(c[0]), std::uint8_t(c[1]), std::uint8_t(c[2])});
            chunk(png, "PLTE", p);
        }
        if (!trns.empty()) chunk(png, "tRNS", trns);
        chunk(png, "IDAT", deflate(rows()));
        chunk(png, "IEND", {});
        return png;
    }

    // The 8-bit red, green and blue of pixel i by the rules.
    std::array<unsigned, 3> rgb(std::size_t i) const {
        const unsigned m = (1u << depth) - 1;
        auto to8 = [m](unsigned v) { return (v * 255 + m / 2) / m; };
        auto on_white = [](unsigned c, unsigned a) { return (c * a + 255 * (255 - a) + 127) / 255; };
        const unsigned* s = &samples[i * channels_of(type)];
        auto key = [this](int k) { return static_cast<unsigned>(trns[2 * k] << 8 | trns[2 * k + 1]); };
        switch (type) {
            case 0:
                if (!trns.empty() && s[0] == key(0)) return {255, 255, 255};
                return {to8(s[0]), to8(s[0]), to8(s[0])};
            case 4: {
                const unsigned g = on_white(to8(s[0]), to8(s[1]));
                return {g, g, g};
            }
            case 2:
                if (!trns.empty() && s[0] == key(0) && s[1] == key(1) && s[2] == key(2)) return {255, 255, 255};
                return {to8(s[0]), to8(s[1]), to8(s[2])};
            case 6:
                return {on_white(to8(s[0]), to8(s[3])), on_white(to8(s[1]), to8(s[3])), on_white(to8(s[2]), to8(s[3]))};
            default: {
                const unsigned a = s[0] < trns.size() ? trns[s[0]] : 255;
                const auto& c = palette[s[0]];
                return {on_white(c[0], a), on_white(c[1], a), on_white(c[2], a)};
            }
        }
    }
    // The raw PBM that luma at 128 gives.
    Bytes luma_p4() const {
        Bytes out = text("P4\n# Created by Quorvel\n" + std::to_string(width) + " " + std::to_string(height) + "\n");
        for (std::uint32_t y = 0; y < height; ++y)
            for (std::uint32_t x = 0; x < width; x += 8) {
                std::uint8_t byte = 0;
                for (std::uint32_t k = 0; k < 8 && x + k < width; ++k) {
                    const auto c = rgb(y * width + x + k);
                    if ((299 * c[0] + 587 * c[1] + 114 * c[2]) / 1000 < 128) byte |= 0x80 >> k;
                }
                out.push_back(byte);
            }
        return out;
    }
};

// Samples that cover 0, M and values that round either way.
std::vector<unsigned> ramp(std::size_t count, unsigned maxval, unsigned seed) {
    std::vector<unsigned> v;
    std::uint32_t s = seed;
    for (std::size_t i = 0; i < count; ++i) {
        s = s * 1664525u + 1013904223u;
        v.push_back(i % 5 == 0 ? 0 : i % 5 == 1 ? maxval : (s >> 8) % (maxval + 1));
    }
    return v;
}

qpbm::Options luma() {
    qpbm::Options o;
    o.method = qpbm::Method::luma;
    o.threshold = 128;
    return o;
}

Png picture(int type, int depth, std::uint32_t width = 21, std::uint32_t height = 5) {
    Png p{width, height, depth, type, {}, {}, {}};
    // Up to ten palette entries, as many as the depth can index.
    const unsigned maxval = type == 3 ? std::min(9u, (1u << depth) - 1) : (1u << depth) - 1;
    p.samples = ramp(std::size_t{width} * height * channels_of(type), maxval, 7u + depth);
    if (type == 3)
        for (unsigned i = 0; i <= maxval; ++i) p.palette.push_back({i * 25, 255 - i * 20, (i * 97) % 256});
    return p;
}

TEST(PngReader, EveryColourTypeAndDepthScalesByTheRule) {
    const std::pair<int, std::vector<int>> kinds[] = {
        {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
    for (const auto& [type, depths] : kinds)
        for (const int depth : depths) {
            SCOPED_TRACE("colour type " + std::to_string(type) + ", depth " + std::to_string(depth));
            const Png p = picture(type, depth);
            const Outcome o = run_to_p4(p.encode(), luma());
            ASSERT_EQ(o.status, Status::ok);
            EXPECT_EQ(o.bytes, p.luma_p4());
        }
}

TEST(PngReader, TransparencyIsLaidOverWhite) {
    Png grey = picture(0, 4);
    grey.trns = {0, 0};  // grey 0 is transparent: white, where it would be black
    Png rgb = picture(2, 16);
    rgb.samples[0] = rgb.samples[1] = rgb.samples[2] = 0x1234;
    rgb.trns = {0x12, 0x34, 0x12, 0x34, 0x12, 0x34};
    Png palette = picture(3, 8);
    palette.trns = {0, 128, 255};  // entries past the list are opaque
    for (const Png* p : {&grey, &rgb, &palette}) {
        const Outcome o = run_to_p4(p->encode(), luma());
        ASSERT_EQ(o.status, Status::ok);
        EXPECT_EQ(o.bytes, p->luma_p4());
    }
}

TEST(PngReader, AReaderThreadWritesTheSameBytes) {
    for (const int type : {0, 2, 3}) expect_same_bytes_in_thread(picture(type, 8, 700, 500).encode());
}

// libspng's memory is counted per reader, whichever thread allocates or
// frees: checked here, read in another thread (as with the reader thread)
// and again here and there (as Otsu does), then checked again, the reader
// holds what its first check held.
TEST(PngReader, LibspngMemoryIsCountedPerReaderAcrossThreads) {
    struct Sink : qpbm::RowSink {
        std::size_t rows = 0;
        bool take(std::size_t, std::size_t first, const std::uint8_t*, std::size_t count) override {
            rows += first + count == 300;
            return true;
        }
    };
    static qpbm::Buffers buffers;
    std::FILE* in = tmpfile();
    const Bytes png = picture(2, 8, 300, 200).encode();
    std::fwrite(png.data(), 1, png.size(), in);
    std::rewind(in);
    {
        qpbm::PngReader reader(buffers.read.png);
        qpbm::Picture picture;
        qpbm::Facts facts;
        ASSERT_EQ(reader.check(in, qpbm::ReadRequest{}, picture, facts), Status::ok);
        const std::size_t checked = reader.library_memory();
        EXPECT_GT(checked, 0u);
        Sink sink;
        Status status = Status::read_failed;
        std::thread([&] { status = reader.read(in, qpbm::ReadRequest{}, sink); }).join();
        EXPECT_EQ(status, Status::ok);
        EXPECT_EQ(reader.read(in, qpbm::ReadRequest{}, sink), Status::ok);
        EXPECT_EQ(sink.rows, 400u);
        EXPECT_GT(reader.library_memory(), 0u);
        std::thread([&] { EXPECT_EQ(reader.read(in, qpbm::ReadRequest{}, sink), Status::ok); }).join();
        std::rewind(in);
        ASSERT_EQ(reader.check(in, qpbm::ReadRequest{}, picture, facts), Status::ok);
        EXPECT_EQ(reader.library_memory(), checked);
    }
    std::fclose(in);
}

TEST(PngReader, OtsuReadsThePictureTwice) {
    const Png p = picture(2, 8, 40, 30);
    qpbm::Options otsu;
    otsu.method = qpbm::Method::otsu;
    const Outcome o = run_to_p4(p.encode(), otsu);
    ASSERT_EQ(o.status, Status::ok);
    EXPECT_EQ(o.bytes.size(), p.luma_p4().size());
}

// One refusal each: the check refuses before any row, the read when the
// stream turns out damaged.
TEST(PngReader, HostileFilesAreRefused) {
    const Bytes good = picture(0, 8).encode();
    struct Case {
        const char* what;
        Bytes png;
        Status status;
        std::uint64_t max_pixels = 0;
    };
    std::vector<Case> cases;
    {
        Png tall{1, 1000000000, 8, 0, {0}, {}, {}};  // a 1 x 10^9 header over one row
        Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        chunk(png, "IHDR", tall.ihdr());
        chunk(png, "IDAT", deflate({0, 0}));
        chunk(png, "IEND", {});
        cases.push_back({"1 x 10^9", png, Status::png_refused});
    }
    {
        // 9 x 10^8 pixels from a few bytes: the header is taken (a P4 holds
        // it), the stream runs out at row 32.
        Png bomb{30000, 30000, 1, 0, {}, {}, {}};
        Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        chunk(png, "IHDR", bomb.ihdr());
        chunk(png, "IDAT", deflate(Bytes(4000, 0)));
        chunk(png, "IEND", {});
        cases.push_back({"bomb", png, Status::png_refused});
        cases.push_back({"max_pixels", good, Status::too_many_pixels, 50});
    }
    cases.push_back({"truncated", Bytes(good.begin(), good.end() - 30), Status::png_refused});
    {
        Bytes bad_crc = good;
        bad_crc[29] ^= 1;  // the IHDR's CRC
        cases.push_back({"IHDR CRC", bad_crc, Status::png_refused});
    }
    {
        Png p = picture(0, 8);
        Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        chunk(png, "IHDR", p.ihdr());
        chunk(png, "IDAT", Bytes(40, 0xAB));  // not a zlib stream
        chunk(png, "IEND", {});
        cases.push_back({"zlib", png, Status::png_refused});
    }
    {
        Png p = picture(3, 4);
        p.samples[7] = 12;  // ten entries
        cases.push_back({"palette index", p.encode(), Status::png_bad_palette_index});
    }
    {
        Png wide{5000000, 1, 16, 6, {}, {}, {}};  // a 40 MB row
        Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        chunk(png, "IHDR", wide.ihdr());
        chunk(png, "IEND", {});
        cases.push_back({"row", png, Status::png_too_large});
        Png interlaced{8000, 8000, 8, 2, {}, {}, {}};  // 192 MB decoded whole
        png.resize(8);
        chunk(png, "IHDR", interlaced.ihdr(1));
        chunk(png, "IEND", {});
        cases.push_back({"interlaced", png, Status::png_too_large});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qpbm::Options o = luma();
        o.max_pixels = c.max_pixels;
        const Outcome outcome = run_to_p4(c.png, o);
        EXPECT_EQ(outcome.status, c.status);
        if (c.status == Status::png_refused) {
            EXPECT_NE(outcome.facts.library_text[0], '\0');
        }
    }
}

// A pipe is spooled up to twice the picture's samples, 64 bytes a row and
// 64 MiB: a PNG followed by a shorter tail converts as the file does, one
// followed by bytes without end is refused at that bound, and a header the
// check refuses is refused at once.
TEST(PngReader, APipeIsKeptUpToWhatItsPictureCanTake) {
    const Bytes png = picture(2, 8).encode();  // 21 x 5 RGB, 8 bits
    const std::uint64_t bound = qpbm::codec_input_bound(21, 5, 3, 1);
    EXPECT_EQ(bound, 2 * 21 * 5 * 3 + 5 * 64 + (std::uint64_t{64} << 20));
    // The signature and an IHDR, nothing after them.
    auto header = [](std::uint32_t side) {
        Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        chunk(b, "IHDR", Png{side, side, 8, 0, {}, {}, {}}.ihdr());
        return b;
    };
    constexpr std::uint64_t kPipeSlack = 4u << 20;  // the pipe's buffer and a spliced block
    struct Case {
        const char* what;
        Bytes start;
        std::uint64_t tail;
        std::uint64_t max_pixels;
        Status expected;
        std::uint64_t most;  // written into the pipe
    };
    const Case cases[] = {
        {"a short tail", png, 1000, 0, Status::ok, UINT64_MAX},
        {"a tail without end", png, UINT64_MAX, 0, Status::input_too_long, bound + kPipeSlack},
        // A 32-bit libspng refuses that row itself: its size overflows size_t.
        {"a row over the reader's memory", header(2147483647), UINT64_MAX, 0,
         sizeof(std::size_t) < 8 ? Status::png_refused : Status::png_too_large, kPipeSlack},
        {"over the pixel budget", header(4000), UINT64_MAX, 1000, Status::too_many_pixels, kPipeSlack},
    };
    TempDir dir;
    write_file(dir.file("in.png"), png);
    qpbm::Direction d = qpbm::Direction::detect;
    qpbm::Facts facts;
    static qpbm::Workspace work;
    ASSERT_EQ(qpbm::convert_with(d, dir.file("in.png").c_str(), dir.file("file.pbm").c_str(), work, facts,
                                 qpbm::kDefaultOptions),
              Status::ok);
    for (const Case& c : cases)
        for (const bool own_work : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (own_work ? ", own work block" : ", none"));
            std::filesystem::remove(dir.file("fifo"));
            std::filesystem::remove(dir.file("out"));
            qpbm::Options options;
            options.max_pixels = c.max_pixels;
            const int code = convert_piped(c.start, c.tail, own_work, options, c.most, dir);
            ASSERT_EQ(code, static_cast<int>(c.expected)) << (code == 250 ? "kept too much" : "");
            if (c.expected == Status::ok) {
                EXPECT_EQ(read_file(dir.file("out")), read_file(dir.file("file.pbm")));
            }
        }
}

// ---- the writer -------------------------------------------------------------

std::uint32_t read_be32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]);
}

TEST(PngWriter, OneBitGreyWithOnlyIhdrIdatIend) {
    for (const int width : {1, 8, 13, 70}) {
        SCOPED_TRACE(width);
        const int height = 9;
        // A raw PBM of diagonal stripes, read back from the PNG's rows.
        Bytes bits;
        std::string header = "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
        Bytes pbm = text(header);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; x += 8) {
                std::uint8_t byte = 0;
                for (int k = 0; k < 8 && x + k < width; ++k)
                    if ((x + k + y) % 3 == 0) byte |= 0x80 >> k;
                pbm.push_back(byte);
            }
        qpbm::Options options;
        options.to = qpbm::Format::png;
        const Outcome o = run_checked(pbm, [&](qpbm::Conversion& c, std::FILE* in, qpbm::Facts& facts) {
            return qpbm::check_conversion(c, *qpbm::reader_for(pbm.data(), pbm.size()), in, true, test_buffers(), facts,
                                          options);
        });
        ASSERT_EQ(o.status, Status::ok);
        const Bytes& png = o.bytes;
        ASSERT_GT(png.size(), 8u + 25 + 12);
        ASSERT_TRUE(
            std::equal(png.begin(), png.begin() + 8, Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}.begin()));
        std::vector<std::string> types;
        Bytes idat;
        for (std::size_t at = 8; at + 12 <= png.size();) {
            const std::uint32_t length = read_be32(png, at);
            ASSERT_LE(at + 12 + length, png.size());
            const std::string type(png.begin() + static_cast<long>(at) + 4, png.begin() + static_cast<long>(at) + 8);
            const Bytes body(png.begin() + static_cast<long>(at) + 4, png.begin() + static_cast<long>(at + 8 + length));
            EXPECT_EQ(read_be32(png, at + 8 + length), crc32(0, body.data(), static_cast<uInt>(body.size())));
            if (type == "IHDR") {
                ASSERT_EQ(length, 13u);
                EXPECT_EQ(read_be32(png, at + 8), static_cast<std::uint32_t>(width));
                EXPECT_EQ(read_be32(png, at + 12), static_cast<std::uint32_t>(height));
                EXPECT_EQ(Bytes(png.begin() + static_cast<long>(at) + 16, png.begin() + static_cast<long>(at) + 21),
                          (Bytes{1, 0, 0, 0, 0}));  // depth 1, grey, deflate, filter 0, no interlace
            }
            if (type == "IDAT") idat.insert(idat.end(), body.begin() + 4, body.end());
            if (types.empty() || types.back() != type) types.push_back(type);
            at += 12 + length;
        }
        EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
        const std::size_t stride = (static_cast<std::size_t>(width) + 7) / 8;
        Bytes rows(height * (stride + 1));
        uLongf size = static_cast<uLongf>(rows.size());
        ASSERT_EQ(uncompress(rows.data(), &size, idat.data(), static_cast<uLong>(idat.size())), Z_OK);
        ASSERT_EQ(size, rows.size());
        EXPECT_EQ(idat[1] >> 6, 2) << "zlib's level 6 flag";
        for (int y = 0; y < height; ++y) {
            EXPECT_EQ(rows[y * (stride + 1)], 0) << "no filter";
            for (std::size_t i = 0; i < stride; ++i) {
                std::uint8_t want = static_cast<std::uint8_t>(~pbm[header.size() + y * stride + i]);
                if (i + 1 == stride && width % 8 != 0) want &= static_cast<std::uint8_t>(0xFF00u >> (width % 8));
                EXPECT_EQ(rows[y * (stride + 1) + 1 + i], want) << "row " << y << " byte " << i;
            }
        }
        EXPECT_LE(png.size(), qpbm::kPngWriter.encoded_size(width, height, options));
    }
}

// The zlib stream of a PNG's IDATs, joined.
Bytes idat_of(const Bytes& png) {
    Bytes idat;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t length = read_be32(png, at);
        if (at + 12 + length > png.size()) break;
        if (std::equal(png.begin() + static_cast<long>(at) + 4, png.begin() + static_cast<long>(at) + 8, "IDAT"))
            idat.insert(idat.end(), png.begin() + static_cast<long>(at) + 8,
                        png.begin() + static_cast<long>(at + 8 + length));
        at += 12 + length;
    }
    return idat;
}

TEST(PngWriter, TheZlibLevelIsTheCallers) {
    // 300 x 40 of a pattern that compresses, so that the levels differ.
    Bytes pbm = text("P4\n300 40\n");
    for (int y = 0; y < 40; ++y)
        for (int i = 0; i < 38; ++i) pbm.push_back(static_cast<std::uint8_t>(i % 7 == y % 5 ? 0xF0 : 0x00));
    const std::size_t raw = 40 * (1 + 38);  // a filter byte and 38 bytes a row
    Bytes rows[3];
    const unsigned levels[] = {0, 6, 9};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(levels[k]);
        qpbm::Options options;
        options.to = qpbm::Format::png;
        options.png_level = levels[k];
        const Outcome o = run_checked(pbm, [&](qpbm::Conversion& c, std::FILE* in, qpbm::Facts& facts) {
            return qpbm::check_conversion(c, *qpbm::reader_for(pbm.data(), pbm.size()), in, true, test_buffers(), facts,
                                          options);
        });
        ASSERT_EQ(o.status, Status::ok);
        EXPECT_LE(o.bytes.size(), qpbm::kPngWriter.encoded_size(300, 40, options));
        const Bytes idat = idat_of(o.bytes);
        ASSERT_GT(idat.size(), 2u);
        // RFC 1950: CMF 8 (deflate) and a 32 KiB window; FLEVEL, FLG's top two
        // bits, is 0 for the fastest levels, 2 for the default, 3 for the best.
        EXPECT_EQ(idat[0], 0x78);
        EXPECT_EQ(idat[1] >> 6, levels[k] == 0 ? 0 : levels[k] == 6 ? 2 : 3);
        // RFC 1951: the first block's BTYPE, bits 1 and 2 of its first byte,
        // is 00 for a stored block.
        if (levels[k] == 0) {
            EXPECT_EQ((idat[2] >> 1) & 3, 0) << "stored";
            EXPECT_GT(idat.size(), raw);
        } else {
            EXPECT_NE((idat[2] >> 1) & 3, 0) << "compressed";
            EXPECT_LT(idat.size(), raw / 2);
        }
        rows[k].resize(raw);
        uLongf size = static_cast<uLongf>(raw);
        ASSERT_EQ(uncompress(rows[k].data(), &size, idat.data(), static_cast<uLong>(idat.size())), Z_OK);
        EXPECT_EQ(size, raw);
    }
    EXPECT_EQ(rows[0], rows[1]);
    EXPECT_EQ(rows[2], rows[1]);
}

TEST(PngWriter, RefusesAPictureWithoutPixels) {
    const Bytes pbm = text("P4\n0 3\n");
    qpbm::Options options;
    options.to = qpbm::Format::png;
    const Outcome o = run_checked(pbm, [&](qpbm::Conversion& c, std::FILE* in, qpbm::Facts& facts) {
        return qpbm::check_conversion(c, *qpbm::reader_for(pbm.data(), pbm.size()), in, true, test_buffers(), facts,
                                      options);
    });
    EXPECT_EQ(o.status, Status::png_empty_picture);
}

}  // namespace
}  // namespace qpbm_test

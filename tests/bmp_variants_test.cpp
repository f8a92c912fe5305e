// BMP variants that no peer program writes, built here from the format rules:
// 2-bit and core-header palettes, short and long palettes, masks of every
// shape and place, every RLE escape, rows wider than a block, truncation,
// pixel offsets inside the headers, and every refused variant's message.
#include <bit>
#include <cstdio>
#include <cstring>

#include "convert/convert.hpp"
#include "support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Direction;
using qpbm::Status;

// A BMP of any variant: a core header when info_size is 12, masks after a
// 40-byte header or inside a larger one, a palette, then `data`.
struct Variant {
    int width = 0, height = 0;
    std::uint16_t bits = 24;
    std::uint32_t compression = 0;
    std::uint32_t info_size = 40;
    std::vector<Pixel> palette = {};
    std::uint32_t colors_used = 0;
    std::vector<std::uint32_t> masks = {};  // 3, or 4 with alpha
    bool top_down = false;
    Bytes data = {};
    std::int64_t offset_shift = 0;  // moves bfOffBits from the end of the palette
};

Bytes build(const Variant& v) {
    const bool core = v.info_size == 12;
    Bytes info(std::max<std::size_t>(v.info_size, 40), 0);  // fields of any size, cut to it below
    put32(info, 0, v.info_size);
    if (core) {
        put16(info, 4, static_cast<std::uint32_t>(v.width));
        put16(info, 6, static_cast<std::uint32_t>(v.height));
        put16(info, 8, 1);
        put16(info, 10, v.bits);
    } else {
        put32(info, 4, static_cast<std::uint32_t>(v.width));
        put32(info, 8, static_cast<std::uint32_t>(v.top_down ? -v.height : v.height));
        put16(info, 12, 1);
        put16(info, 14, v.bits);
        put32(info, 16, v.compression);
        put32(info, 32, v.colors_used);
    }
    info.resize(v.info_size);
    Bytes after;
    for (std::size_t i = 0; i < v.masks.size(); ++i) {
        if (v.info_size >= 52) {
            put32(info, 40 + 4 * i, v.masks[i]);
        } else {
            after.resize(after.size() + 4);
            put32(after, after.size() - 4, v.masks[i]);
        }
    }
    Bytes table;
    for (const Pixel& p : v.palette) {
        table.insert(table.end(), {p.blue, p.green, p.red});
        if (!core) table.push_back(0x5A);  // the unused byte
    }
    Bytes b = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    b.insert(b.end(), info.begin(), info.end());
    b.insert(b.end(), after.begin(), after.end());
    b.insert(b.end(), table.begin(), table.end());
    put32(b, 10, static_cast<std::uint32_t>(static_cast<std::int64_t>(b.size()) + v.offset_shift));
    b.insert(b.end(), v.data.begin(), v.data.end());
    put32(b, 2, static_cast<std::uint32_t>(b.size()));
    return b;
}

std::size_t stride(std::int64_t width, unsigned bits) { return static_cast<std::size_t>((width * bits + 31) / 32 * 4); }

// Stored rows of `bits`-wide values, value(x, y) for picture row y from the
// top, leftmost pixel in the highest bits, words little-endian.
Bytes rows(int width, int height, unsigned bits, bool top_down, const std::function<std::uint32_t(int, int)>& value) {
    const std::size_t s = stride(width, bits);
    Bytes b(s * static_cast<std::size_t>(height), 0xA5);  // padding of junk
    for (int stored = 0; stored < height; ++stored) {
        const int y = top_down ? stored : height - 1 - stored;
        std::uint8_t* row = b.data() + s * static_cast<std::size_t>(stored);
        std::fill(row, row + (static_cast<std::size_t>(width) * bits + 7) / 8, 0);
        for (int x = 0; x < width; ++x) {
            const std::uint32_t v = value(x, y);
            if (bits < 8) {
                row[x * bits / 8] |= static_cast<std::uint8_t>(v << (8 - bits - x * bits % 8));
            } else {
                for (unsigned k = 0; k < bits / 8; ++k) row[x * bits / 8 + k] = static_cast<std::uint8_t>(v >> (8 * k));
            }
        }
    }
    return b;
}

std::string convert_bytes(const Bytes& bmp, Status expected = Status::ok) {
    TempDir dir;
    write_file(dir.file("in.bmp"), bmp);
    EXPECT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("out.pbm")), expected);
    return read_text(dir.file("out.pbm"));
}

// The conversion through the converter's own phases, to an output that
// cannot seek (written strictly in order) or one that can.
std::string convert_streams(const Bytes& bmp, bool seekable, Status expected = Status::ok) {
    static qpbm::Bmp2PbmBuffers buffers;
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(std::fwrite(bmp.data(), 1, bmp.size(), in), bmp.size());
    std::rewind(in);
    qpbm::BmpSource source;
    qpbm::Facts facts;
    Status status = qpbm::read_bmp_source(in, seekable, source, buffers, facts);
    if (status == Status::ok) status = qpbm::write_pbm(in, source, seekable, buffers, out);
    EXPECT_EQ(status, expected);
    std::string text;
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    std::fclose(in);
    std::fclose(out);
    return text;
}

// Palette entries on both sides of the threshold.
const std::vector<Pixel> kEdgePalette = {{255, 255, 255}, {99, 255, 255}, {100, 100, 100}, {255, 99, 255},
                                         {255, 255, 99},  {0, 0, 0},      {200, 150, 100}, {100, 100, 99}};

std::vector<Pixel> palette_of(std::size_t n) {
    std::vector<Pixel> p;
    for (std::size_t i = 0; i < n; ++i) p.push_back(kEdgePalette[(i * 5 + i / 8) % kEdgePalette.size()]);
    return p;
}

TEST(BmpPalette, EveryDepthHeaderAndRowOrder) {
    for (unsigned bits : {1u, 2u, 4u, 8u})
        for (std::uint32_t info : {12u, 40u, 124u})
            for (bool top_down : {false, true}) {
                if (info == 12 && top_down) continue;  // core headers are bottom-up only
                for (int width : {1, 3, 7, 8, 9, 17, 33, 61}) {
                    SCOPED_TRACE(testing::Message() << bits << "-bit, " << info << "-byte header, width " << width
                                                    << (top_down ? ", top-down" : ""));
                    const std::uint32_t count = 1u << bits;
                    auto index = [&](int x, int y) { return static_cast<std::uint32_t>(x * 7 + y * 3) % count; };
                    const std::vector<Pixel> palette = palette_of(count);
                    Variant v{.width = width,
                              .height = 3,
                              .bits = static_cast<std::uint16_t>(bits),
                              .info_size = info,
                              .palette = palette,
                              .top_down = top_down};
                    v.data = rows(width, 3, bits, top_down, index);
                    EXPECT_EQ(convert_bytes(build(v)),
                              expected_pbm(width, 3, [&](int x, int y) { return is_white(palette[index(x, y)]); }));
                }
            }
}

TEST(BmpPalette, ShortPalettesMakeLaterIndicesBlack) {
    struct Case {
        unsigned bits;
        std::uint32_t colors_used;
    };
    for (const Case c : {Case{1, 1}, Case{2, 3}, Case{4, 5}, Case{8, 2}, Case{8, 255}}) {
        SCOPED_TRACE(testing::Message() << c.bits << "-bit, " << c.colors_used << " colours");
        const std::vector<Pixel> palette(c.colors_used, kWhite);  // every listed colour white
        auto index = [&](int x, int y) { return static_cast<std::uint32_t>(x + y) % (1u << c.bits); };
        Variant v{.width = 11,
                  .height = 4,
                  .bits = static_cast<std::uint16_t>(c.bits),
                  .palette = palette,
                  .colors_used = c.colors_used};
        v.data = rows(11, 4, c.bits, false, index);
        EXPECT_EQ(convert_bytes(build(v)),
                  expected_pbm(11, 4, [&](int x, int y) { return index(x, y) < c.colors_used; }));
    }
}

TEST(BmpPalette, PalettesThatDoNotFitAreRefused) {
    Variant longer{.width = 2, .height = 1, .bits = 4, .palette = palette_of(17), .colors_used = 17};
    longer.data = Bytes(4, 0);
    Variant cut{.width = 0, .height = 1, .bits = 8, .palette = palette_of(256)};
    Bytes cut_file = build(cut);
    put32(cut_file, 10, static_cast<std::uint32_t>(cut_file.size()));
    cut_file.resize(cut_file.size() - 1);  // the file ends inside the last entry
    Variant over_pixels{.width = 2, .height = 1, .bits = 8, .palette = palette_of(256), .offset_shift = -4};
    over_pixels.data = Bytes(8, 0);
    convert_bytes(build(longer), Status::bmp_bad_palette_size);
    convert_bytes(cut_file, Status::bmp_palette_truncated);
    convert_bytes(build(over_pixels), Status::bmp_bad_pixel_offset);
}

// The smallest value of an n-bit channel that reaches the threshold, from the
// rule v * 255 >= 100 * (2^n - 1) directly.
std::uint64_t smallest_light(unsigned n) {
    const std::uint64_t max = (std::uint64_t{1} << n) - 1;
    std::uint64_t v = max * 100 / 255;
    while (v * 255 < 100 * max) ++v;
    return v;
}

TEST(BmpMasks, ChannelThresholdIsExactForEveryWidth) {
    for (unsigned n = 1; n <= 32; ++n) EXPECT_EQ(qpbm::channel_threshold(n), smallest_light(n)) << n << " bits";
    EXPECT_EQ(smallest_light(8), 100u);
    EXPECT_EQ(smallest_light(5), 13u);
    EXPECT_EQ(smallest_light(6), 25u);
    EXPECT_EQ(smallest_light(4), 6u);  // 6 of 15 is light
}

TEST(BmpMasks, EveryShapeAndPlaceOfMasks) {
    struct Case {
        const char* what;
        std::uint16_t bits;
        std::uint32_t compression, info_size;
        std::vector<std::uint32_t> masks;  // written to the file; red, green, blue (, alpha)
        std::vector<std::uint32_t> rule;   // the masks the pixels follow
    };
    const std::vector<std::uint32_t> m555 = {0x7C00, 0x03E0, 0x001F};
    const std::vector<std::uint32_t> m888 = {0xFF0000, 0x00FF00, 0x0000FF};
    const Case cases[] = {
        {"16-bit BI_RGB is 5-5-5", 16, 0, 40, {}, m555},
        {"16-bit 5-6-5 after a 40-byte header", 16, 3, 40, {0xF800, 0x07E0, 0x001F}, {0xF800, 0x07E0, 0x001F}},
        {"16-bit 4-4-4 in a 108-byte header", 16, 3, 108, {0x0F00, 0x00F0, 0x000F}, {0x0F00, 0x00F0, 0x000F}},
        {"16-bit 1-bit channels, alpha bit fields", 16, 6, 40, {0x4, 0x2, 0x1, 0x8000}, {0x4, 0x2, 0x1}},
        {"16-bit blue above red in a 52-byte header", 16, 3, 52, {0x001F, 0x03E0, 0x7C00}, {0x001F, 0x03E0, 0x7C00}},
        {"32-bit BI_RGB is blue, green, red, unused", 32, 0, 40, {}, m888},
        {"32-bit 10-10-10 in a 56-byte header",
         32,
         3,
         56,
         {0x3FF00000, 0x000FFC00, 0x000003FF},
         {0x3FF00000, 0x000FFC00, 0x000003FF}},
        {"32-bit alpha bit fields after a 40-byte header",
         32,
         6,
         40,
         {0xFF00, 0xFF0000, 0xFF000000, 0xFF},
         {0xFF00, 0xFF0000, 0xFF000000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Each channel at 0, just dark, just light or full, varied per pixel.
        auto level = [&](int x, int y, int channel) {
            const std::uint32_t mask = c.rule[static_cast<std::size_t>(channel)];
            const std::uint64_t light = smallest_light(static_cast<unsigned>(std::popcount(mask)));
            const std::uint64_t max = mask >> std::countr_zero(mask);
            const std::uint64_t values[] = {light, light - 1, max, 0, light, max};
            return values[static_cast<unsigned>(x * 5 + y * 3 + channel * 7) % 6];
        };
        auto word = [&](int x, int y) {
            std::uint64_t w = c.bits == 32 && c.compression == 0 ? 0xAB000000u : 0;  // junk in the unused byte
            if (c.masks.size() == 4) w |= c.masks[3];                                // and in the alpha bits
            for (int ch = 0; ch < 3; ++ch)
                w |= level(x, y, ch) << std::countr_zero(c.rule[static_cast<std::size_t>(ch)]);
            return static_cast<std::uint32_t>(w);
        };
        auto white = [&](int x, int y) {
            for (int ch = 0; ch < 3; ++ch)
                if (level(x, y, ch) <
                    smallest_light(static_cast<unsigned>(std::popcount(c.rule[static_cast<std::size_t>(ch)]))))
                    return false;
            return true;
        };
        Variant v{.width = 13,
                  .height = 3,
                  .bits = c.bits,
                  .compression = c.compression,
                  .info_size = c.info_size,
                  .masks = c.masks};
        v.data = rows(13, 3, c.bits, false, word);
        EXPECT_EQ(convert_bytes(build(v)), expected_pbm(13, 3, white));
    }
}

TEST(BmpMasks, MasksInALargeHeaderAreNotReadFromAfterIt) {
    // A 108-byte header whose own masks are 5-6-5; the 12 bytes after it (the
    // place of masks after a 40-byte header) say 5-5-5 and are not masks.
    Variant v{
        .width = 2, .height = 1, .bits = 16, .compression = 3, .info_size = 108, .masks = {0xF800, 0x07E0, 0x001F}};
    Bytes junk(12);
    put32(junk, 0, 0x7C00);
    put32(junk, 4, 0x03E0);
    put32(junk, 8, 0x001F);
    // Pixel 0: red 13 of 31, green 24 of 63 (dark), blue 31. Pixel 1: green 25 (light).
    Bytes data(4);
    put16(data, 0, 13u << 11 | 24u << 5 | 31u);
    put16(data, 2, 13u << 11 | 25u << 5 | 31u);
    junk.insert(junk.end(), data.begin(), data.end());
    v.data = junk;
    Bytes b = build(v);
    put32(b, 10, get32(b, 10) + 12);
    EXPECT_EQ(convert_bytes(b), "P1\n# Created by Quorvel\n2 1\n1 0 ");
}

TEST(BmpMasks, ZeroOrBrokenMasksAreRefused) {
    const std::vector<std::uint32_t> bad[] = {{0, 0x07E0, 0x001F},
                                              {0xF800, 0, 0x001F},
                                              {0xF800, 0x07E0, 0},
                                              {0xF00F, 0x07E0, 0x001F},
                                              {0xF800, 0x0500, 0x1F}};
    for (const auto& masks : bad)
        for (std::uint32_t info : {40u, 124u}) {
            Variant v{.width = 1, .height = 1, .bits = 16, .compression = 3, .info_size = info, .masks = masks};
            v.data = Bytes(4, 0xFF);
            convert_bytes(build(v), Status::bmp_bad_masks);
        }
    // Masks after a 40-byte header that the file cuts short.
    Variant cut{.width = 1, .height = 1, .bits = 32, .compression = 3, .masks = {0xFF0000, 0xFF00, 0xFF}};
    Bytes b = build(cut);
    b.resize(14 + 40 + 8);
    convert_bytes(b, Status::bmp_header_truncated);
}

// ---- RLE -------------------------------------------------------------------

struct RleCase {
    const char* what;
    int width, height;
    bool rle4;
    Bytes stream;
    std::vector<std::vector<int>> stored;  // indices per stored row, bottom first
};

// Index 0 (every unset pixel) is white, so unset pixels show; odd indices black.
std::vector<Pixel> rle_palette(int n) {
    std::vector<Pixel> p;
    for (int i = 0; i < n; ++i) p.push_back(i % 2 ? kBlack : kWhite);
    return p;
}

const std::vector<RleCase>& rle_cases() {
    static const std::vector<RleCase> cases = {
        {"RLE8 runs, odd and even absolute runs, clipping, end of line at a row's start, move, end of bitmap",
         6,
         4,
         false,
         {3,
          1,
          0,
          3,
          2,
          3,
          4,
          0,
          /* row 0 full */ 2,
          5,
          /* clipped */ 0,
          0,  // end of line
          0,
          0,  // row 1 left unset
          0,
          4,
          1,
          2,
          1,
          2,
          0,
          2,
          1,
          1,  // row 2, then move right 1, up 1
          1,
          3,
          0,
          1},  // row 3 at x 5, end of bitmap
         {{1, 1, 1, 2, 3, 4}, {0, 0, 0, 0, 0, 0}, {1, 2, 1, 2, 0, 0}, {0, 0, 0, 0, 0, 3}}},
        {"RLE8 stream ends early, mid-row", 4, 3, false, {2, 1, 0, 3, 3}, {{1, 1, 3, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}},
        {"RLE8 move past the top ends the picture", 3, 2, false, {1, 1, 0, 2, 0, 5, 1, 3}, {{1, 0, 0}, {0, 0, 0}}},
        {"RLE8 move right past the row end, then pixels clipped",
         3,
         2,
         false,
         {0, 2, 9, 0, 2, 1, 0, 0, 1, 3},
         {{0, 0, 0}, {3, 0, 0}}},
        {"RLE8 a run does not spill into the next row", 3, 2, false, {5, 1, 1, 3}, {{1, 1, 1}, {0, 0, 0}}},
        {"RLE4 runs alternate nibbles; absolute runs odd and even, padded",
         7,
         3,
         true,
         {5,
          0x12,
          0,
          3,
          0x34,
          0x50,
          /* 3 nibbles in 2 bytes, no pad */ 0,
          0,
          0,
          5,
          0x67,
          0x89,
          0xA0,
          0,
          /* 5 nibbles in 3 bytes and a pad */ 2,
          0xBC,
          0,
          0,
          0,
          4,
          0x13,
          0x57,
          0,
          1},
         {{1, 2, 1, 2, 1, 3, 4}, {6, 7, 8, 9, 10, 11, 12}, {1, 3, 5, 7, 0, 0, 0}}},
        {"RLE4 run clipped at the row end", 3, 1, true, {9, 0x31, 0, 1}, {{3, 1, 3}}},
    };
    return cases;
}

Bytes rle_file(const RleCase& c) {
    Variant v{.width = c.width,
              .height = c.height,
              .bits = static_cast<std::uint16_t>(c.rle4 ? 4 : 8),
              .compression = c.rle4 ? 2u : 1u,
              .palette = rle_palette(c.rle4 ? 16 : 256),
              .data = c.stream};
    return build(v);
}

std::string rle_expected(const RleCase& c) {
    return expected_pbm(c.width, c.height, [&](int x, int y) {
        return c.stored[static_cast<std::size_t>(c.height - 1 - y)][static_cast<std::size_t>(x)] % 2 == 0;
    });
}

TEST(BmpRle, EveryEscapeToAFileAndToAPipe) {
    for (const RleCase& c : rle_cases()) {
        SCOPED_TRACE(c.what);
        const Bytes bmp = rle_file(c);
        EXPECT_EQ(convert_bytes(bmp), rle_expected(c));
        EXPECT_EQ(convert_streams(bmp, true), rle_expected(c));
        EXPECT_EQ(convert_streams(bmp, false), rle_expected(c));
    }
}

TEST(BmpRle, RowsStraddlingLinesAndBlocksLandInPlace) {
    // 7 x 13 and 61 x 5 rows cross the 30-token lines at every phase; a row of
    // 200,000 pixels crosses pieces of the row buffer. Each row: runs of its
    // own index, then unset pixels from an early end of line.
    for (const auto& [width, height] : {std::pair{7, 13}, std::pair{61, 5}, std::pair{200000, 3}}) {
        SCOPED_TRACE(testing::Message() << width << " x " << height);
        Bytes stream;
        std::vector<std::vector<int>> stored;
        for (int row = 0; row < height; ++row) {
            std::vector<int> indices(static_cast<std::size_t>(width), 0);
            const int set = width - row % 3;  // some rows end early
            for (int x = 0; x < set;) {
                const int n = std::min(255, set - x);
                const int index = (x / 255 + row) % 4;
                stream.insert(stream.end(), {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(index)});
                for (int k = 0; k < n; ++k) indices[static_cast<std::size_t>(x + k)] = index;
                x += n;
            }
            stream.insert(stream.end(), {0, 0});
            stored.push_back(indices);
        }
        const RleCase c{"", width, height, false, stream, stored};
        EXPECT_EQ(convert_bytes(rle_file(c)), rle_expected(c));
    }
}

TEST(BmpRle, RefusedWhenTopDownOrTooLargeForAPipe) {
    RleCase c = rle_cases()[0];
    Bytes top_down = rle_file(c);
    put32(top_down, 22, static_cast<std::uint32_t>(-c.height));
    convert_bytes(top_down, Status::bmp_rle_top_down);

    const RleCase wide{"", 1001, 1, false, {0, 1}, {}};
    const RleCase tall{"", 1, 1001, false, {0, 1}, {}};
    for (const RleCase& big : {wide, tall}) {
        convert_streams(rle_file(big), false, Status::bmp_rle_too_large);
        // To a file it converts: every pixel unset, index 0, white.
        EXPECT_EQ(convert_streams(rle_file(big), true),
                  expected_pbm(big.width, big.height, [](int, int) { return true; }));
    }
}

// ---- rows, offsets, refusals -------------------------------------------------

TEST(BmpRows, RowsWiderThanABlockAreReadInPieces) {
    struct Case {
        unsigned bits;
        int width;
    };
    // Each stored row is more than the 256 KiB block.
    for (const Case c : {Case{1, 2'100'001}, Case{8, 262'145}, Case{24, 90'001}, Case{32, 65'537}}) {
        SCOPED_TRACE(testing::Message() << c.bits << "-bit, width " << c.width);
        auto white = [](int x, int y) { return (x * 7 + y * 13) % 11 < 5; };
        Variant v{.width = c.width,
                  .height = 2,
                  .bits = static_cast<std::uint16_t>(c.bits),
                  .palette = c.bits <= 8 ? std::vector<Pixel>(1u << c.bits, kBlack) : std::vector<Pixel>{}};
        if (c.bits <= 8) v.palette[1] = kWhite;
        v.data = rows(c.width, 2, c.bits, false, [&](int x, int y) -> std::uint32_t {
            if (c.bits <= 8) return white(x, y) ? 1 : 0;
            return white(x, y) ? 0xFFFFFF : 0x63FFFF;  // red 0x63 = 99
        });
        EXPECT_EQ(convert_bytes(build(v)), expected_pbm(c.width, 2, white));
    }
}

TEST(BmpRows, TruncationFollowsTheLastRowsPixelBytes) {
    // The file must hold bfOffBits + stride * (height - 1) + ceil(width * bits / 8).
    for (unsigned bits : {1u, 2u, 4u, 8u, 16u, 24u, 32u}) {
        SCOPED_TRACE(testing::Message() << bits << "-bit");
        const int width = 9;
        Variant v{.width = width,
                  .height = 3,
                  .bits = static_cast<std::uint16_t>(bits),
                  .palette = bits <= 8 ? palette_of(1u << bits) : std::vector<Pixel>{}};
        v.data = rows(width, 3, bits, false, [](int x, int) { return static_cast<std::uint32_t>(x); });
        Bytes b = build(v);
        const std::size_t needed = get32(b, 10) + stride(width, bits) * 2 + (width * bits + 7) / 8;
        b.resize(needed);
        EXPECT_NE(convert_bytes(b).size(), 0u);  // converts without its padding
        b.pop_back();
        convert_bytes(b, Status::bmp_pixels_truncated);
    }
}

TEST(BmpOffsets, PixelDataInsideHeadersMasksOrPaletteIsRefused) {
    Variant masks{.width = 1, .height = 1, .bits = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F}};
    masks.data = Bytes(4, 0);
    Variant palette{.width = 1, .height = 1, .bits = 1, .palette = palette_of(2)};
    palette.data = Bytes(4, 0);
    Variant core{.width = 1, .height = 1, .bits = 24, .info_size = 12};
    core.data = Bytes(4, 0);
    struct Case {
        const char* what;
        Variant v;
        std::int64_t shift;  // from the end of the headers, masks and palette
    };
    const Case cases[] = {{"into the masks", masks, -1},
                          {"into the info header", masks, -13},
                          {"into the palette", palette, -4},
                          {"into the core header", core, -1},
                          {"just after the palette", palette, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Variant v = c.v;
        v.offset_shift = c.shift;
        v.data.resize(v.data.size() + 16);
        convert_bytes(build(v), c.shift < 0 ? Status::bmp_bad_pixel_offset : Status::ok);
    }
}

TEST(BmpRefusals, EachNamesWhatTheFileIs) {
    struct Case {
        std::uint16_t bits;
        std::uint32_t compression, info_size;
        Status status;
        const char* message;
    };
    const Case cases[] = {
        {0, 4, 40, Status::bmp_compressed, "JPEG-compressed BMP"},
        {0, 5, 124, Status::bmp_compressed, "PNG-compressed BMP"},
        {24, 4, 64, Status::bmp_compressed, "RLE24-compressed BMP (OS/2)"},
        {1, 3, 64, Status::bmp_compressed, "Huffman-compressed BMP (OS/2)"},
        {8, 11, 40, Status::bmp_compressed, "compression 11 is not supported"},
        {64, 0, 40, Status::bmp_bad_bit_count, "64 bits per pixel is not supported"},
        {3, 0, 40, Status::bmp_bad_bit_count, "3 bits per pixel is not supported"},
        {24, 3, 40, Status::bmp_bad_compression, "bit fields at 24 bits per pixel are not supported"},
        {8, 6, 40, Status::bmp_bad_compression, "bit fields at 8 bits per pixel are not supported"},
        {4, 1, 40, Status::bmp_bad_compression, "RLE8 at 4 bits per pixel"},
        {8, 2, 40, Status::bmp_bad_compression, "RLE4 at 8 bits per pixel"},
        {24, 0, 20, Status::bmp_bad_header_size, "20-byte information header is not a BMP header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Variant v{.width = 1, .height = 1, .bits = c.bits, .compression = c.compression, .info_size = c.info_size};
        v.data = Bytes(64, 0);
        TempDir dir;
        write_file(dir.file("in.bmp"), build(v));
        write_file(dir.file("out.pbm"), kSentinel);
        qpbm::Facts facts;
        EXPECT_EQ(
            qpbm::convert_file(Direction::bmp_to_pbm, dir.file("in.bmp").c_str(), dir.file("out.pbm").c_str(), facts),
            c.status);
        char text[200];
        EXPECT_STREQ(qpbm::describe_status(c.status, facts, text, sizeof text), c.message);
        EXPECT_EQ(read_text(dir.file("out.pbm")), kSentinel);
    }
}

TEST(BmpHeaders, TheSmallestCoreFileConverts) {
    // What ppmtobmp -os2 writes for one pixel: 14 + 12 header bytes and one
    // 24-bit row of 4 bytes.
    Variant v{.width = 1, .height = 1, .bits = 24, .info_size = 12, .data = {100, 100, 100, 0}};
    const Bytes b = build(v);
    ASSERT_EQ(b.size(), 30u);
    EXPECT_EQ(convert_bytes(b), "P1\n# Created by Quorvel\n1 1\n0 ");
    convert_bytes(Bytes(b.begin(), b.begin() + 25), Status::bmp_header_truncated);
}

}  // namespace
}  // namespace qpbm_test

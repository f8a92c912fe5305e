// The fast paths against the rules: both builds of the pixel loop for every
// channel value near the threshold, pictures spanning several row blocks
// either way up, the bit expansion of PBM to BMP, and pixel lines of every
// shape crossing input blocks.
#include <cstdio>
#include <cstring>

#include "convert/convert.hpp"
#include "read/values.hpp"
#include "support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Direction;
using qpbm::Status;

// A small deterministic generator, so that failures reproduce.
struct Lcg {
    std::uint32_t state;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

// Widths around every vector length (16 and 32 pixels) and line length (30
// tokens), and a few long ones.
std::vector<std::size_t> awkward_widths() {
    std::vector<std::size_t> widths;
    for (std::size_t w = 1; w <= 70; ++w) widths.push_back(w);
    for (std::size_t w : {95, 96, 97, 255, 999, 1001, 10000}) widths.push_back(w);
    return widths;
}

// Pixels whose channels sit on both sides of the threshold in every
// combination, then every value of each channel with the others light.
std::vector<Pixel> threshold_pixels() {
    const std::uint8_t near[] = {0, 1, 98, 99, 100, 101, 127, 128, 254, 255};
    std::vector<Pixel> pixels;
    for (std::uint8_t b : near)
        for (std::uint8_t g : near)
            for (std::uint8_t r : near) pixels.push_back({b, g, r});
    for (int v = 0; v < 256; ++v) {
        const auto c = static_cast<std::uint8_t>(v);
        pixels.push_back({c, 100, 255});
        pixels.push_back({255, c, 100});
        pixels.push_back({100, 255, c});
    }
    Lcg lcg{7};
    for (std::size_t i = pixels.size(); i > 1; --i) std::swap(pixels[i - 1], pixels[lcg.next() % i]);
    return pixels;
}

TEST(PixelTokens, BothBuildsFollowTheThresholdAtEveryWidth) {
    const std::vector<Pixel> pixels = threshold_pixels();
    std::vector<std::uint8_t> bytes;
    for (int copy = 0; copy < 12; ++copy)  // long enough for the widest row
        for (const Pixel& p : pixels) bytes.insert(bytes.end(), {p.blue, p.green, p.red});
    const std::size_t count = bytes.size() / 3;

    using Fn = void (*)(const std::uint8_t*, std::size_t, char*);
    const std::pair<const char*, Fn> builds[] = {{"dispatched", qpbm::pixel_tokens},
                                                 {"portable", qpbm::pixel_tokens_portable}};
    for (const auto& [name, fn] : builds) {
        SCOPED_TRACE(name);
        for (std::size_t width : awkward_widths()) {
            for (std::size_t first : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {  // unaligned starts too
                if (first + width > count) continue;
                SCOPED_TRACE(testing::Message() << "width " << width << " from pixel " << first);
                std::string tokens(2 * width + 1, '#');
                fn(bytes.data() + 3 * first, width, tokens.data());
                std::string expected;
                for (std::size_t x = first; x < first + width; ++x) {
                    const Pixel p{bytes[3 * x], bytes[3 * x + 1], bytes[3 * x + 2]};
                    expected += is_white(p) ? "0 " : "1 ";
                }
                expected += '#';  // nothing written past the last token
                ASSERT_EQ(tokens, expected);
            }
        }
    }
}

TEST(LumaValues, TheRuleAtEveryWidthAndStart) {
    // Random pixels, the extremes of S (0 and 255000), and greys, whose S is
    // a whole multiple of 1000.
    Lcg lcg{5};
    std::vector<std::uint8_t> bytes = {0, 0, 0, 255, 255, 255};
    for (int i = 0; i < 12000; ++i) bytes.push_back(static_cast<std::uint8_t>(lcg.next()));
    for (const int grey : {0, 1, 127, 128, 254, 255}) bytes.insert(bytes.end(), 3, static_cast<std::uint8_t>(grey));
    const std::size_t count = bytes.size() / 3;
    static qpbm::Bmp2PbmBuffers buffers;
    qpbm::BmpSource source;
    source.luma = true;
    for (std::size_t width : awkward_widths()) {
        for (std::size_t first : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
            if (first + width > count) continue;
            SCOPED_TRACE(testing::Message() << "width " << width << " from pixel " << first);
            std::vector<std::uint8_t> values(width + 1, 0x5A);
            qpbm::row_values(source, buffers, bytes.data() + 3 * first, width, values.data());
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint8_t* p = bytes.data() + 3 * (first + x);
                ASSERT_EQ(values[x], (299 * p[2] + 587 * p[1] + 114 * p[0]) / 1000) << "pixel " << x;
            }
            ASSERT_EQ(values[width], 0x5A);  // nothing written past the last value
        }
    }
}

TEST(LumaValues, RedFirstAndGreyRowsFollowTheRuleAtEveryWidth) {
    Lcg lcg{7};
    std::vector<std::uint8_t> bytes = {255, 255, 255, 0, 0, 0};
    for (int i = 0; i < 12000; ++i) bytes.push_back(static_cast<std::uint8_t>(lcg.next()));
    const std::size_t count = bytes.size() / 3;
    const qpbm::ValueRule luma{true, 0};
    const qpbm::ValueRule channels{false, 100};
    for (std::size_t width : awkward_widths()) {
        if (width + 1 > count) continue;
        SCOPED_TRACE(testing::Message() << "width " << width);
        std::vector<std::uint8_t> values(width + 1, 0x5A), flags(width + 1, 0x5A), grey(width + 1, 0x5A),
            grey_flags(width + 1, 0x5A);
        qpbm::rgb_values(bytes.data() + 3, width, values.data(), luma);
        qpbm::rgb_values(bytes.data() + 3, width, flags.data(), channels);
        qpbm::grey_values(bytes.data() + 1, width, grey.data(), luma);
        qpbm::grey_values(bytes.data() + 1, width, grey_flags.data(), channels);
        for (std::size_t x = 0; x < width; ++x) {
            const std::uint8_t* p = bytes.data() + 3 + 3 * x;  // red, green, blue
            ASSERT_EQ(values[x], (299 * p[0] + 587 * p[1] + 114 * p[2]) / 1000) << "pixel " << x;
            ASSERT_EQ(flags[x], p[0] >= 100 && p[1] >= 100 && p[2] >= 100 ? 255 : 0) << "pixel " << x;
            ASSERT_EQ(grey[x], bytes[1 + x]) << "pixel " << x;
            ASSERT_EQ(grey_flags[x], bytes[1 + x] >= 100 ? 255 : 0) << "pixel " << x;
        }
        for (const auto* row : {&values, &flags, &grey, &grey_flags}) ASSERT_EQ((*row)[width], 0x5A);
    }
}

TEST(ExpandBits, ThreeBytesPerBitAndNoFurther) {
    Lcg lcg{11};
    for (std::size_t count : awkward_widths()) {
        SCOPED_TRACE(count);
        std::vector<std::uint8_t> bits((count + 7) / 8);
        for (std::uint8_t& b : bits) b = static_cast<std::uint8_t>(lcg.next());
        std::vector<std::uint8_t> pixels(3 * count + 1, 0x5A);
        qpbm::expand_bits(bits.data(), count, pixels.data());
        for (std::size_t x = 0; x < count; ++x) {
            const std::uint8_t value = (bits[x / 8] >> (x % 8)) & 1 ? 0xFF : 0x00;
            ASSERT_EQ(pixels[3 * x], value) << "pixel " << x;
            ASSERT_EQ(pixels[3 * x + 1], value) << "pixel " << x;
            ASSERT_EQ(pixels[3 * x + 2], value) << "pixel " << x;
        }
        EXPECT_EQ(pixels.back(), 0x5A);  // exactly 3 * count bytes
    }
}

Pixel noise(int x, int y) {
    const unsigned h = (static_cast<unsigned>(x) * 2654435761u) ^ (static_cast<unsigned>(y) * 40503u + 12345u);
    return {static_cast<std::uint8_t>(97 + h % 6), static_cast<std::uint8_t>(96 + (h >> 7) % 8),
            static_cast<std::uint8_t>(98 + (h >> 13) % 4)};
}

TEST(Bmp2PbmBlocks, PicturesSpanningSeveralBlocksEitherWayUp) {
    // Two full blocks of rows and a short third one, whatever the block size.
    for (const int width : {1, 33, 1000, 1001, 10000}) {
        const std::size_t stride = stride_of(width);
        const int rows_per_block = static_cast<int>(std::max<std::size_t>(1, qpbm::kRowBlockSize / stride));
        const int height = 2 * rows_per_block + 3;
        for (const bool top_down : {false, true}) {
            SCOPED_TRACE(testing::Message() << width << " x " << height << (top_down ? " top-down" : " bottom-up"));
            BmpOptions options;
            options.top_down = top_down;
            options.padding = 0xEE;  // padding bytes read with the rows must not count
            TempDir dir;
            write_file(dir.file("in.bmp"), make_bmp(width, height, noise, options));
            ASSERT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("out.pbm")), Status::ok);
            EXPECT_EQ(read_text(dir.file("out.pbm")),
                      expected_pbm(width, height, [](int x, int y) { return is_white(noise(x, y)); }));
        }
    }
}

TEST(Bmp2PbmBlocks, ARowMissingPartWayIsAReadError) {
    // The file shrank after its size was checked: the block that reaches past
    // its end fails, the first one for a bottom-up file, a later one top-down.
    static qpbm::Bmp2PbmBuffers buffers;
    const int width = 1000;
    const int height = 3 * static_cast<int>(qpbm::kRowBlockSize / stride_of(width));
    for (const bool top_down : {false, true}) {
        SCOPED_TRACE(top_down ? "top-down" : "bottom-up");
        BmpOptions options;
        options.top_down = top_down;
        Bytes bmp = make_bmp(width, height, noise, options);
        bmp.resize(bmp.size() - stride_of(width));  // the last stored row is gone

        std::FILE* in = std::tmpfile();
        std::FILE* out = std::tmpfile();
        ASSERT_TRUE(in && out);
        ASSERT_EQ(std::fwrite(bmp.data(), 1, bmp.size(), in), bmp.size());
        qpbm::BmpSource source;
        source.width = width;
        source.height = height;
        source.top_down = top_down;
        source.pixel_offset = 54;
        source.stride = stride_of(width);
        EXPECT_EQ(qpbm::write_pbm(in, source, true, buffers, out), Status::read_failed);
        std::fclose(in);
        std::fclose(out);
    }
}

TEST(Pbm2BmpBlocks, LinesOfEveryShapeAcrossInputBlocks) {
    struct Case {
        int width, height;
        std::size_t lines;  // fewer than the picture needs leaves black pixels
    };
    const Case cases[] = {{999, 300, 12000}, {1000, 1000, 34000}, {7, 1000, 300}, {13, 40, 10}, {3001, 40, 4000}};
    Lcg lcg{3};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        // Mostly lines in the layout the library writes (LF or CR LF), with
        // short and long ones, lines without separators, comments, and other
        // characters in token places mixed in.
        std::string body = "\n";
        for (std::size_t line = 0; line < c.lines; ++line) {
            const std::uint32_t kind = lcg.next() % 16;
            if (kind == 3) {
                body += "# a comment 0 0 1\n";
                continue;
            }
            const std::size_t length = kind == 0 ? lcg.next() % 60 : kind == 1 ? 61 + lcg.next() % 140 : 60;
            for (std::size_t p = 0; p < length; ++p) {
                if (kind == 4)
                    body += "0110x"[lcg.next() % 5];
                else
                    body += p % 2 ? (kind == 5 && p == 31 ? '\t' : ' ') : "00110x"[lcg.next() % (kind == 6 ? 6 : 4)];
            }
            body += kind == 2 ? "\r\n" : "\n";
        }
        if (c.lines >= 1000) {
            ASSERT_GT(body.size(), 3 * qpbm::kPbmBlockSize);  // large ones cross blocks
        }

        TempDir dir;
        write_file(dir.file("in.pbm"),
                   "P1\n# Created by Quorvel\n" + std::to_string(c.width) + " " + std::to_string(c.height) + body);
        ASSERT_EQ(convert(Direction::pbm_to_bmp, dir.file("in.pbm"), dir.file("out.bmp")), Status::ok);
        const std::vector<bool> white =
            plain_pixels(body, static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height));
        const int width = c.width;
        EXPECT_EQ(read_file(dir.file("out.bmp")), make_bmp(c.width, c.height, [&](int x, int y) {
                      return white[static_cast<std::size_t>(y) * width + x] ? kWhite : kBlack;
                  }));
    }
}

}  // namespace
}  // namespace qpbm_test

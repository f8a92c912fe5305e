// The conversion options: raw PBM and 1-bit BMP layouts, the black-and-white
// methods against their rules (tests/method_reference.hpp), and the pixel
// and width limits.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "convert/convert.hpp"
#include "tests/method_reference.hpp"
#include "tests/support.hpp"

namespace {

using namespace qpbm_test;
using qpbm::Method;
using qpbm::Options;
using qpbm::Status;

std::string read_all(std::FILE* f) {
    std::string text;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    return text;
}

// BMP to PBM through the converter's phases, to an output that can seek or not.
std::string bmp_to_pbm(const Bytes& bmp, const Options& options, bool seekable = true, Status expected = Status::ok) {
    static qpbm::Bmp2PbmBuffers buffers;
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::fwrite(bmp.data(), 1, bmp.size(), in);
    std::rewind(in);
    qpbm::BmpSource source;
    qpbm::Facts facts;
    Status status = qpbm::read_bmp_source(in, seekable, source, buffers, facts, options);
    if (status == Status::ok) status = qpbm::write_pbm(in, source, seekable, buffers, out, options);
    EXPECT_EQ(status, expected);
    std::string text = read_all(out);
    std::fclose(in);
    std::fclose(out);
    return text;
}

std::string pbm_to_bmp(const std::string& pbm, const Options& options, bool seekable = true,
                       Status expected = Status::ok) {
    static qpbm::Pbm2BmpBuffers buffers;
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::fwrite(pbm.data(), 1, pbm.size(), in);
    std::rewind(in);
    qpbm::PbmSource source;
    qpbm::Facts facts;
    Status status = qpbm::read_pbm_source(in, seekable, source, buffers, facts, options);
    if (status == Status::ok) status = qpbm::write_bmp(in, source, seekable, buffers, out, options);
    EXPECT_EQ(status, expected);
    std::string text = read_all(out);
    std::fclose(in);
    std::fclose(out);
    return text;
}

Options with(Method method, bool raw = true) {
    Options o;
    o.method = method;
    o.raw = raw;
    o.threshold = method == Method::luma ? qpbm::kDefaultLumaThreshold : qpbm::kDefaultChannelThreshold;
    return o;
}

std::string raw_header(int width, int height) {
    return "P4\n# Created by Quorvel\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
}

Bytes grey_bmp(const LumaPicture& p) {
    return make_bmp(p.width, p.height, [&](int x, int y) {
        const auto v = static_cast<std::uint8_t>(p.at(x, y));
        return Pixel{v, v, v};  // a grey's luma is its value: 299 + 587 + 114 = 1000
    });
}

// The pixels of a plain or raw PBM the library wrote; true for black.
std::vector<bool> pbm_pixels(const std::string& pbm, int width, int height) {
    std::size_t at = 0;
    for (int line = 0; line < 3; ++line) at = pbm.find('\n', at) + 1;
    const std::string body = pbm.substr(at);
    if (pbm[1] == '4') return raw_pbm_pixels(body, width, height);
    std::vector<bool> black;
    for (bool white : plain_pixels(body, static_cast<std::size_t>(width) * height)) black.push_back(!white);
    return black;
}

TEST(RawPbm, RowsOfWholeBytesMostSignificantBitFirstPaddedWithZeros) {
    const int widths[] = {0,  1,  2,  3,  4,  5,  6,  7,    8,    9,     10,    11,   12,
                          13, 14, 15, 16, 17, 31, 33, 8191, 8193, 32767, 32769, 90001};
    for (int width : widths)
        for (int height : {0, 1, 2}) {
            auto white = [](int x, int y) { return (x + 2 * y) % 3 == 0; };
            const Bytes bmp = make_bmp(width, height, [&](int x, int y) { return white(x, y) ? kWhite : kBlack; });
            std::string expected = raw_header(width, height);
            for (int y = 0; y < height; ++y)
                for (int byte = 0; byte < (width + 7) / 8; ++byte) {
                    unsigned bits = 0;
                    for (int k = 0; k < 8; ++k) {
                        const int x = 8 * byte + k;
                        bits |= (x < width && !white(x, y) ? 1u : 0u) << (7 - k);
                    }
                    expected += static_cast<char>(bits);
                }
            for (bool seekable : {true, false})
                EXPECT_EQ(bmp_to_pbm(bmp, with(Method::channels), seekable), expected) << width << " x " << height;
        }
}

// Each method's bits on grey pictures equal the rule's, in plain and raw
// PBM, inverted or not, at sizes down to one pixel and up to rows that are
// read in pieces.
TEST(Methods, EveryMethodGivesTheBitsOfItsRule) {
    struct Case {
        const char* name;
        Method method;
    };
    const Case methods[] = {{"luma", Method::luma},         {"otsu", Method::otsu},
                            {"bayer", Method::bayer},       {"floyd-steinberg", Method::floyd_steinberg},
                            {"atkinson", Method::atkinson}, {"sauvola", Method::sauvola},
                            {"jarvis", Method::jarvis},     {"stucki", Method::stucki},
                            {"burkes", Method::burkes},     {"sierra", Method::sierra},
                            {"sierra2", Method::sierra2},   {"sierra-lite", Method::sierra_lite}};
    const std::pair<int, int> sizes[] = {{1, 1}, {1, 2}, {2, 1}, {3, 2}, {17, 3}, {40, 33}, {300, 40}, {90001, 2}};
    std::mt19937 random(7);
    for (const auto& [width, height] : sizes) {
        std::vector<LumaPicture> pictures(4, LumaPicture{width, height, {}});
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                pictures[0].y.push_back(width == 1 ? 128 : x * 255 / (width - 1));  // a ramp
                pictures[1].y.push_back((x + y) % 2 == 0 ? 30 : 220);               // a checkerboard
                pictures[2].y.push_back(static_cast<int>(random() % 256));          // noise
                // A page: flat paper with dark and faint marks, grain on its
                // middle third (Sauvola's clean and grainy rows).
                const int mark = (x * 7 + y * 3) % 29 == 0 ? 40 : (x + 2 * y) % 211 == 0 ? 200 : 230;
                const bool grain = 3 * y >= height && 3 * y < 2 * height;
                pictures[3].y.push_back(grain ? std::min(255, mark + static_cast<int>(random() % 41) - 20) : mark);
            }
        for (const LumaPicture& picture : pictures) {
            const Bytes bmp = grey_bmp(picture);
            for (const Case& c : methods) {
                const int windows[] = {3, 15, 255};
                for (int window :
                     c.method == Method::sauvola ? std::vector<int>(windows, windows + 3) : std::vector<int>{15}) {
                    if (static_cast<std::size_t>(window) * width > qpbm::kWindowRowsSize) continue;
                    Options o = with(c.method, (width + height) % 2 == 0);
                    o.window = static_cast<unsigned>(window);
                    o.invert = width == 17;
                    const std::string pbm = bmp_to_pbm(bmp, o);
                    std::vector<bool> expected = reference_method(c.name, picture, 128, window);
                    if (o.invert) expected.flip();
                    ASSERT_EQ(pbm_pixels(pbm, width, height), expected)
                        << c.name << " " << width << " x " << height << " window " << window;
                }
            }
        }
    }
}

TEST(Methods, OtsuTakesTheSmallestOfTiedThresholdsAndHalfwayForOneValue) {
    // Y 0, 1, 2 once each: t = 0 and t = 1 score 9 / 2 alike, so t = 0 and only Y 0 is black.
    const LumaPicture tie{3, 1, {0, 1, 2}};
    EXPECT_EQ(pbm_pixels(bmp_to_pbm(grey_bmp(tie), with(Method::otsu)), 3, 1), (std::vector<bool>{true, false, false}));
    for (int value : {127, 128}) {
        const LumaPicture flat{2, 2, std::vector<int>(4, value)};
        EXPECT_EQ(pbm_pixels(bmp_to_pbm(grey_bmp(flat), with(Method::otsu)), 2, 2), std::vector<bool>(4, value < 128));
    }
}

TEST(Methods, SauvolaDecidesATieExactly) {
    // The middle pixel's 3 x 3 window: 180, one 24 and seven 228, so m = 200,
    // s = sqrt(9 * 396864 - 1800^2) / 9 = 576 / 9 = 64, and
    // T = 200 (1 + 0.2 (64 / 128 - 1)) = 180 exactly: Y 180 is not above it.
    // With 181 the window moves T to about 180.09 only.
    for (int middle : {180, 181}) {
        LumaPicture p{3, 3, std::vector<int>(9, 228)};
        p.y[0] = 24;
        p.y[4] = middle;
        Options o = with(Method::sauvola);
        o.window = 3;
        EXPECT_EQ(pbm_pixels(bmp_to_pbm(grey_bmp(p), o), 3, 3)[4], middle == 180) << middle;
    }
}

TEST(Methods, LumaWeighsTheChannelsAndTruncates) {
    // Pure red is Y 76 (76.245), pure green 149, and 128 needs S of 128000.
    struct Case {
        Pixel pixel;
        unsigned threshold;
        bool black;
    };
    const Case cases[] =
        {
            {{0, 0, 255}, 76, false},     {{0, 0, 255}, 77, true},      {{0, 255, 0}, 149, false},
            {{0, 255, 0}, 150, true},     {{255, 255, 255}, 256, true}, {{0, 0, 0}, 0, false},
            {{126, 128, 128}, 128, true},  // S = 127772: 127 truncated, 128 rounded
        };
    for (const Case& c : cases) {
        Options o = with(Method::luma);
        o.threshold = c.threshold;
        const std::string pbm = bmp_to_pbm(make_bmp(1, 1, [&](int, int) { return c.pixel; }), o);
        EXPECT_EQ(pbm_pixels(pbm, 1, 1)[0], c.black) << c.threshold;
    }
}

TEST(Methods, ChannelsThresholdMovesTheLegacyRule) {
    // 24-bit: every channel must reach L; 16-bit 5-5-5: v * 255 >= L * 31.
    const Pixel grey{120, 120, 120};
    for (unsigned level : {0u, 120u, 121u, 255u}) {
        Options o = with(Method::channels, false);
        o.threshold = level;
        const std::string pbm = bmp_to_pbm(make_bmp(1, 1, [&](int, int) { return grey; }), o);
        EXPECT_EQ(pbm, expected_pbm(1, 1, [&](int, int) { return 120 >= level; }));
    }
    for (unsigned v : {14u, 15u, 16u}) {  // 14 * 255 = 3570, 15 * 255 = 3825 against 120 * 31 = 3720
        Bytes bmp = make_bmp(
            1, 1, [](int, int) { return kBlack; }, BmpOptions{40, 0, 16});
        const std::uint16_t word = static_cast<std::uint16_t>(v << 10 | v << 5 | v);
        bmp[54] = static_cast<std::uint8_t>(word), bmp[55] = static_cast<std::uint8_t>(word >> 8);
        Options o = with(Method::channels);
        o.threshold = 120;
        EXPECT_EQ(pbm_pixels(bmp_to_pbm(bmp, o), 1, 1)[0], v * 255 < 120 * 31) << v;
        // Luma takes each 5-bit channel to 8 bits, rounded: (v * 255 + 15) / 31.
        Options l = with(Method::luma);
        l.threshold = static_cast<unsigned>((v * 255 + 15) / 31);
        EXPECT_FALSE(pbm_pixels(bmp_to_pbm(bmp, l), 1, 1)[0]) << v;
        ++l.threshold;
        EXPECT_TRUE(pbm_pixels(bmp_to_pbm(bmp, l), 1, 1)[0]) << v;
    }
}

TEST(Methods, IndicesPastThePaletteAreTheColourBlack) {
    // 1x1, 8-bit, one palette entry (white), the pixel's index 1 past it:
    // (0, 0, 0), which thresholds of 0 pass and of 1 do not.
    Bytes bmp = palette_bmp(1, 1, 8, 1, {1, 0, 0, 0});
    bmp[54] = bmp[55] = bmp[56] = 255;
    for (const Method method : {Method::channels, Method::luma})
        for (const bool raw : {false, true})
            for (const unsigned level : {0u, 1u}) {
                Options o = with(method, raw);
                o.threshold = level;
                EXPECT_EQ(pbm_pixels(bmp_to_pbm(bmp, o), 1, 1)[0], level == 1)
                    << static_cast<int>(method) << " " << raw << " " << level;
            }
}

TEST(Methods, WholeRowMethodsRefuseRowsWiderThanTheyHold) {
    Options o = with(Method::sauvola);
    o.window = 255;
    const Bytes wide = make_bmp(16449, 1, [](int, int) { return kWhite; });  // 4 MiB / 255 = 16448
    bmp_to_pbm(wide, o, true, Status::too_wide_for_method);
    o.window = 15;
    EXPECT_EQ(pbm_pixels(bmp_to_pbm(wide, o), 16449, 1), std::vector<bool>(16449, false));
}

// 1-bit BMP: 62 header bytes (a black and a white palette entry), rows bottom
// first of ceil(width / 32) * 4 bytes, the leftmost pixel in the highest bit,
// a set bit white, padding zero.
TEST(BilevelBmp, HeaderPaletteAndRowsFollowTheLayout) {
    for (int width :
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 31, 32, 33, 63, 65, 8191, 8193, 32767, 32769})
        for (int height : {0, 1, 3}) {
            auto white = [](int x, int y) { return (x * 3 + y) % 4 != 0; };
            const std::string pbm = expected_pbm(width, height, white);
            const std::size_t stride = (static_cast<std::size_t>(width) + 31) / 32 * 4;
            Bytes expected(62 + stride * height, 0);
            expected[0] = 'B', expected[1] = 'M';
            put32(expected, 2, static_cast<std::uint32_t>(expected.size()));
            put32(expected, 10, 62);
            put32(expected, 14, 40);
            put32(expected, 18, static_cast<std::uint32_t>(width));
            put32(expected, 22, static_cast<std::uint32_t>(height));
            put16(expected, 26, 1);
            put16(expected, 28, 1);
            put32(expected, 34, static_cast<std::uint32_t>(stride * height));
            put32(expected, 46, 2);
            put32(expected, 50, 2);
            expected[58] = expected[59] = expected[60] = 0xFF;  // entry 1: white
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    if (white(x, y)) expected[62 + (height - 1 - y) * stride + x / 8] |= 0x80 >> (x % 8);
            Options o;
            o.bmp_bits = 1;
            for (bool seekable : {true, false}) {
                if (!seekable && width > qpbm::kMaxPbmWidth) continue;  // a pipe takes at most 1000 x 1000
                EXPECT_EQ(pbm_to_bmp(pbm, o, seekable), std::string(expected.begin(), expected.end()))
                    << width << " x " << height;
            }
        }
}

TEST(BilevelBmp, OnlyItsOwnSizeLimitApplies) {
    Options one;
    one.bmp_bits = 1;
    // 40000 x 40000 passes 4 GiB at 24 bits and takes 200 MB at 1 bit.
    pbm_to_bmp("P4 40000 40000 ", Options{}, true, Status::pbm_too_large);
    static qpbm::Pbm2BmpBuffers buffers;
    for (const auto& [header, status] : {std::pair{"P4 40000 40000 ", Status::ok},
                                         {"P4 2147483647 15 ", Status::ok},  // 62 + 268435456 * 15 fits
                                         {"P4 2147483647 16 ", Status::pbm_too_large}}) {
        std::FILE* in = std::tmpfile();
        std::fputs(header, in);
        std::rewind(in);
        qpbm::PbmSource source;
        qpbm::Facts facts;
        EXPECT_EQ(qpbm::read_pbm_source(in, true, source, buffers, facts, one), status) << header;
        std::fclose(in);
    }
}

// A few header bytes declaring 30000 x 30000 pixels are refused before the
// output is touched; a picture of exactly the limit converts.
TEST(PixelBudget, RefusesLargerPicturesBeforeTheOutputIsTouched) {
    TempDir dir;
    Bytes rle(70, 0);
    rle[0] = 'B', rle[1] = 'M';
    put32(rle, 10, 66), put32(rle, 14, 40), put32(rle, 18, 30000), put32(rle, 22, 30000);
    put16(rle, 26, 1), put16(rle, 28, 8), put32(rle, 30, 1), put32(rle, 46, 2);
    std::string p4 = "P4\n30000 30000\n";
    p4.append(5, '\0');
    ASSERT_EQ(p4.size(), 20u);
    write_file(dir.file("big.bmp"), rle);
    write_file(dir.file("big.pbm"), p4);
    Options o;
    o.max_pixels = 100000000;
    for (const auto& [in, direction] :
         {std::pair{"big.bmp", qpbm::Direction::bmp_to_pbm}, {"big.pbm", qpbm::Direction::pbm_to_bmp}}) {
        write_file(dir.file("out"), kSentinel);
        qpbm::Facts facts;
        EXPECT_EQ(qpbm::convert_file(direction, dir.file(in).c_str(), dir.file("out").c_str(), facts, o),
                  Status::too_many_pixels);
        EXPECT_EQ(read_text(dir.file("out")), kSentinel);
        char message[256];
        EXPECT_STREQ(qpbm::describe_status(Status::too_many_pixels, facts, message, sizeof message),
                     "30000 x 30000 is more pixels than the limit of 100000000");
    }
    write_file(dir.file("12.bmp"), make_bmp(4, 3, [](int, int) { return kWhite; }));
    for (std::uint64_t limit : {12u, 11u}) {
        o.max_pixels = limit;
        qpbm::Facts facts;
        EXPECT_EQ(qpbm::convert_file(qpbm::Direction::bmp_to_pbm, dir.file("12.bmp").c_str(),
                                     dir.file("12.pbm").c_str(), facts, o),
                  limit == 12 ? Status::ok : Status::too_many_pixels);
    }
}

}  // namespace

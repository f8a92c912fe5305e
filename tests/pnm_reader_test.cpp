// PGM, PPM and PAM input against the rules: a sample v of maxval M is
// (v * 255 + M div 2) div M in 8 bits, alpha a is laid over white as
// (c * a + 255 * (255 - a) + 127) div 255, and then every method decides as
// it does for a BMP of those pixels. Expected bits are worked out here from
// those rules, or (for the methods that look past one pixel) taken from the
// 24-bit BMP of the same pixels.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/conversion_support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Method;
using qpbm::Options;
using qpbm::Status;

Outcome run(const Bytes& input, Options options) { return run_to_p4(input, options); }

// 8-bit red, green and blue of each pixel, top row first.
struct Rgb {
    int width = 0, height = 0;
    std::vector<Pixel> pixels;  // blue, green, red, as the BMP helpers take them
};

unsigned to8(unsigned v, unsigned maxval) { return (v * 255 + maxval / 2) / maxval; }
unsigned on_white(unsigned c, unsigned a) { return (c * a + 255 * (255 - a) + 127) / 255; }

// The raw PBM a per-pixel rule gives: white(pixel) decides.
template <class White>
Bytes p4(const Rgb& p, White white) {
    std::string h = "P4\n# Created by Quorvel\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n";
    Bytes out(h.begin(), h.end());
    for (int y = 0; y < p.height; ++y)
        for (int i = 0; i < (p.width + 7) / 8; ++i) {
            std::uint8_t byte = 0;
            for (int k = 0; k < 8 && 8 * i + k < p.width; ++k)
                if (!white(p.pixels[static_cast<std::size_t>(y * p.width + 8 * i + k)])) byte |= 0x80 >> k;
            out.push_back(byte);
        }
    return out;
}

bool channels_white(Pixel c) { return c.red >= 100 && c.green >= 100 && c.blue >= 100; }
unsigned luma(Pixel c) { return (299u * c.red + 587u * c.green + 114u * c.blue) / 1000; }

// A picture in PGM, PPM or PAM: samples of `depth` per pixel, maxval `m`.
struct Netpbm {
    std::string magic;  // "P2", "P5", "P3", "P6" or "P7"
    int width, height, depth;
    unsigned maxval;
    std::vector<unsigned> samples;
    std::string tuple_type;  // P7

    bool plain() const { return magic == "P2" || magic == "P3"; }
    Bytes encode() const {
        std::string h = magic + "\n";
        if (magic == "P7")
            h += "WIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) + "\nDEPTH " +
                 std::to_string(depth) + "\nMAXVAL " + std::to_string(maxval) + "\nTUPLTYPE " + tuple_type +
                 "\nENDHDR\n";
        else
            h += std::to_string(width) + " " + std::to_string(height) + "\n" + std::to_string(maxval) + "\n";
        Bytes out = text(h);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const unsigned v = samples[i];
            if (plain()) {
                const std::string s = std::to_string(v) + ((i + 1) % 11 == 0 ? "\n" : " ");
                out.insert(out.end(), s.begin(), s.end());
            } else if (maxval > 255) {
                out.push_back(static_cast<std::uint8_t>(v >> 8));
                out.push_back(static_cast<std::uint8_t>(v));
            } else {
                out.push_back(static_cast<std::uint8_t>(v));
            }
        }
        return out;
    }
    // The 8-bit pixels by the rules; alpha is the last sample of 2 or 4.
    Rgb pixels() const {
        Rgb p{width, height, {}};
        for (std::size_t i = 0; i < samples.size(); i += depth) {
            unsigned c[4] = {};
            for (int k = 0; k < depth; ++k) c[k] = to8(samples[i + k], maxval);
            if (depth == 2) c[0] = on_white(c[0], c[1]);
            if (depth == 4)
                for (int k = 0; k < 3; ++k) c[k] = on_white(c[k], c[3]);
            const bool grey = depth <= 2;
            p.pixels.push_back(Pixel{static_cast<std::uint8_t>(grey ? c[0] : c[2]),
                                     static_cast<std::uint8_t>(grey ? c[0] : c[1]), static_cast<std::uint8_t>(c[0])});
        }
        return p;
    }
};

// Samples that cover 0, M and values that round either way at each maxval.
std::vector<unsigned> ramp(std::size_t count, unsigned maxval, unsigned seed) {
    std::vector<unsigned> v;
    std::uint32_t s = seed;
    for (std::size_t i = 0; i < count; ++i) {
        s = s * 1664525u + 1013904223u;
        v.push_back(i % 5 == 0 ? 0 : i % 5 == 1 ? maxval : (s >> 8) % (maxval + 1));
    }
    return v;
}

Options with(Method method, unsigned threshold) {
    Options o;
    o.method = method;
    o.threshold = threshold;
    return o;
}

TEST(PnmReader, SamplesOfEveryMaxvalClassScaleByTheRulePlainAndRaw) {
    const int width = 19, height = 7;
    for (const unsigned maxval : {1u, 2u, 255u, 256u, 65535u})
        for (const char* magic : {"P2", "P5", "P3", "P6"}) {
            const int depth = magic[1] == '2' || magic[1] == '5' ? 1 : 3;
            const Netpbm n{magic, width, height, depth, maxval, ramp(width * height * depth, maxval, maxval), ""};
            const Rgb p = n.pixels();
            SCOPED_TRACE(std::string(magic) + " maxval " + std::to_string(maxval));
            // The channels rule at 100 and luma at 128 look at single pixels.
            const Outcome channels = run(n.encode(), Options{});
            ASSERT_EQ(channels.status, Status::ok);
            EXPECT_EQ(channels.bytes, p4(p, channels_white));
            const Outcome lumas = run(n.encode(), with(Method::luma, 128));
            ASSERT_EQ(lumas.status, Status::ok);
            EXPECT_EQ(lumas.bytes, p4(p, [](Pixel c) { return luma(c) >= 128; }));
        }
}

TEST(PnmReader, PamTupleTypesAndAlphaOverWhite) {
    struct Case {
        const char* type;
        int depth;
        unsigned maxval;
    };
    const Case cases[] = {{"BLACKANDWHITE", 1, 1},       {"GRAYSCALE", 1, 255}, {"GRAYSCALE_ALPHA", 2, 255},
                          {"GRAYSCALE_ALPHA", 2, 65535}, {"RGB", 3, 1000},      {"RGB_ALPHA", 4, 255}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const int width = 12, height = 3;
        std::vector<unsigned> samples = ramp(width * height * c.depth, c.maxval, 7);
        if (c.depth == 2 || c.depth == 4)  // alpha 0, 128 and 255 in turn
            for (std::size_t i = c.depth - 1, k = 0; i < samples.size(); i += c.depth, ++k)
                samples[i] = c.maxval == 255 ? (k % 3 == 0 ? 0 : k % 3 == 1 ? 128 : 255) : samples[i];
        const Netpbm n{"P7", width, height, c.depth, c.maxval, samples, c.type};
        const Rgb p = n.pixels();
        for (const unsigned threshold : {1u, 100u, 200u}) {
            const Outcome o = run(n.encode(), with(Method::channels, threshold));
            ASSERT_EQ(o.status, Status::ok);
            EXPECT_EQ(o.bytes, p4(p, [&](Pixel px) {
                          return px.red >= threshold && px.green >= threshold && px.blue >= threshold;
                      }));
        }
    }
    // Alpha 0 is white whatever the colour; 255 is the colour itself.
    const Netpbm clear{"P7", 2, 1, 4, 255, {0, 0, 0, 0, 0, 0, 0, 255}, "RGB_ALPHA"};
    EXPECT_EQ(run(clear.encode(), Options{}).bytes, text("P4\n# Created by Quorvel\n2 1\n\x40"));
}

TEST(PnmReader, MethodsThatLookPastOnePixelDecideAsForTheSamePixelsInABmp) {
    const int width = 41, height = 17;
    const Netpbm n{"P6", width, height, 3, 255, ramp(width * height * 3, 255, 3), ""};
    const Rgb p = n.pixels();
    const Bytes bmp =
        make_bmp(width, height, [&](int x, int y) { return p.pixels[static_cast<std::size_t>(y * width + x)]; });
    const Netpbm grey{"P5", width, height, 1, 300, ramp(width * height, 300, 5), ""};
    const Rgb g = grey.pixels();
    const Bytes grey_bmp =
        make_bmp(width, height, [&](int x, int y) { return g.pixels[static_cast<std::size_t>(y * width + x)]; });
    for (const Method m : {Method::otsu, Method::floyd_steinberg, Method::atkinson, Method::bayer, Method::sauvola}) {
        Options o = with(m, qpbm::kDefaultLumaThreshold);
        for (const bool invert : {false, true}) {
            o.invert = invert;
            const Outcome want = run(bmp, o), got = run(n.encode(), o);
            ASSERT_EQ(want.status, Status::ok);
            ASSERT_EQ(got.status, Status::ok);
            EXPECT_EQ(got.bytes, want.bytes) << static_cast<int>(m);
            EXPECT_EQ(run(grey.encode(), o).bytes, run(grey_bmp, o).bytes) << static_cast<int>(m);
        }
    }
}

TEST(PnmReader, CommentsAndWhiteSpaceWhereverTheGrammarAllowsThem) {
    // Four pixels 0, 255, 255, 0: black, white, white, black.
    const Bytes want = text("P4\n# Created by Quorvel\n4 1\n\x90");
    const std::vector<std::string> raw = {
        std::string("P2#a\n4#b\n1\t#c\n255\r\n0 255\n#d\n255#e\n0"),
        std::string("P2 4 1 255 0#x\n255\v255\f0\n"),
        std::string("P5\n# one\n4 # two\n1\n# three\n255\n") + std::string("\x00\xff\xff\x00", 4),
        std::string("P7\n# a comment\nWIDTH 4\n\n  HEIGHT   1  \nDEPTH 1\r\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n") +
            std::string("\x00\xff\xff\x00", 4),
        std::string("P7\nWIDTH 4\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\n") + std::string("\x00\xff\xff\x00", 4),
        std::string("P5 4 1 255\n") + std::string("\x00\xff\xff\x00", 4) + "P5 1 1 255\n" + std::string(1, '\0'),
    };
    for (const std::string& input : raw) {
        SCOPED_TRACE(input);
        const Outcome o = run(text(input), Options{});
        ASSERT_EQ(o.status, Status::ok);
        EXPECT_EQ(o.bytes, want);
    }
}

TEST(PnmReader, RefusesWhatTheRulesDoNotAllowAndSaysWhere) {
    struct Case {
        std::string input;
        Status status;
        std::uint64_t at_byte;  // where a sample refusal points; 0 when none
    };
    const std::string pam = "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE ";
    const Case cases[] = {
        {"P2 2 1 0\n0 0", Status::pnm_bad_maxval, 0},
        {"P5 2 1 65536\n\x00\x00", Status::pnm_bad_maxval, 0},
        {"P2 2 1 99999999999\n0 0", Status::pnm_bad_maxval, 0},
        {"P2 -2 1 255\n", Status::pnm_bad_header, 0},
        {"P3 1 1", Status::pnm_header_truncated, 0},
        {"P2 3000000000 1 255\n", Status::pnm_too_large, 0},
        {"P6 1 1 255x\x00\x00\x00", Status::pnm_bad_header, 0},
        // Plain: a sample over the maxval, and a character that starts none.
        {"P2 2 1 200\n0 201", Status::pnm_sample_over_maxval, 13},
        {"P2 2 1 200\n0 x", Status::pnm_bad_sample, 13},
        {"P2 2 1 200\n0", Status::pnm_pixels_truncated, 12},
        // Raw: over the maxval is damage; byte 13 is the second sample's first.
        {std::string("P5 2 1 300\n\x00\x01\x01\x2d", 15), Status::pnm_damaged_sample, 13},
        {std::string("P5 2 1 7\n\x07\x08", 11), Status::pnm_damaged_sample, 10},
        {std::string("P6 2 1 255\n\x01\x02\x03", 14), Status::pnm_pixels_truncated, 0},
        {pam + "CMYK\nENDHDR\n\x00\x00", Status::pam_bad_tuple_type, 0},
        {pam + "RGB\nENDHDR\n\x00\x00", Status::pam_bad_depth, 0},
        {"P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE BLACKANDWHITE\nENDHDR\n\x00\x00", Status::pnm_bad_maxval,
         0},
        {"P7\nWIDTH 2\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n\x00\x00", Status::pam_missing_field, 0},
        {"P7\nWIDTH 2\nHEIGHT 1\nCOLOURS 3\nENDHDR\n", Status::pam_bad_line, 0},
        {"P7\nWIDTH 2\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nENDHDR\n", Status::pam_bad_depth, 0},
        {"P7\nWIDTH 2\nHEIGHT 1\n", Status::pnm_header_truncated, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const Outcome o = run(text(c.input), Options{});
        EXPECT_EQ(o.status, c.status);
        if (c.at_byte != 0) {
            EXPECT_EQ(o.facts.at_byte, c.at_byte);
        }
    }
    // The message names what it refuses.
    const Outcome cmyk = run(text(pam + "CMYK\nENDHDR\n"), Options{});
    char message[200];
    EXPECT_NE(std::string(qpbm::describe_status(cmyk.status, cmyk.facts, message, sizeof message)).find("\"CMYK\""),
              std::string::npos);
}

TEST(PnmReader, HonoursThePixelLimitBeforeReadingSamples) {
    Options o;
    o.max_pixels = 10;
    const Outcome big = run(text("P5 4 3 255\n"), o);  // no samples at all: the limit comes first
    EXPECT_EQ(big.status, Status::too_many_pixels);
}

}  // namespace
}  // namespace qpbm_test

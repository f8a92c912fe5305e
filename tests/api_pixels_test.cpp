// Pixels in memory through the shared library: qpbm_convert_pixels and
// qpbm_convert_pixels_file give the bytes that a PAM of the same samples
// gives through qpbm_convert_memory, and qpbm_detect_format names formats by
// their first bytes.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "library/qpbm.h"
#include "support.hpp"

namespace qpbm_test {
namespace {

Bytes from_memory(const Bytes& input, const qpbm_options& o, qpbm_status& status) {
    std::uint64_t size = 0;
    status = qpbm_output_size(input.data(), input.size(), QPBM_DETECT, &o, nullptr, 0, &size, nullptr);
    Bytes out(static_cast<std::size_t>(size));
    if (status == QPBM_OK)
        status = qpbm_convert_memory(input.data(), input.size(), out.data(), out.size(), &size, QPBM_DETECT, &o,
                                     nullptr, 0, nullptr);
    return out;
}

// The size first (a call with no room), then the conversion.
Bytes from_pixels(const qpbm_pixels& p, const qpbm_options& o, qpbm_status& status, qpbm_result* result = nullptr) {
    std::uint64_t size = 0;
    status = qpbm_convert_pixels(&p, nullptr, 0, &size, &o, nullptr, 0, result);
    if (status != QPBM_EOUTPUT_TOO_SMALL) return {};
    Bytes out(static_cast<std::size_t>(size));
    std::vector<unsigned char> work(qpbm_work_size() + 64);
    void* aligned = work.data() + (64 - reinterpret_cast<std::uintptr_t>(work.data()) % 64) % 64;
    status = qpbm_convert_pixels(&p, out.data(), out.size(), &size, &o, aligned, qpbm_work_size(), result);
    out.resize(static_cast<std::size_t>(size));
    return out;
}

struct Layout {
    qpbm_layout layout;
    int depth;
    const char* tuple_type;
    bool blue_first;
};

TEST(ApiPixels, EveryLayoutGivesTheBytesOfThePamOfItsSamples) {
    const Layout layouts[] = {
        {QPBM_LAYOUT_GRAY8, 1, "GRAYSCALE", false}, {QPBM_LAYOUT_GRAYA8, 2, "GRAYSCALE_ALPHA", false},
        {QPBM_LAYOUT_RGB8, 3, "RGB", false},        {QPBM_LAYOUT_RGBA8, 4, "RGB_ALPHA", false},
        {QPBM_LAYOUT_BGR8, 3, "RGB", true},         {QPBM_LAYOUT_BGRA8, 4, "RGB_ALPHA", true},
    };
    const int width = 23, height = 9;
    for (const Layout& l : layouts) {
        std::vector<std::uint8_t> samples(static_cast<std::size_t>(width * height * l.depth));
        std::uint32_t seed = 99u + l.depth;
        for (auto& s : samples) s = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
        std::string pam = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) + "\nDEPTH " +
                          std::to_string(l.depth) + "\nMAXVAL 255\nTUPLTYPE " + l.tuple_type + "\nENDHDR\n";
        for (std::size_t i = 0; i < samples.size(); i += l.depth)
            for (int k = 0; k < l.depth; ++k)
                pam += static_cast<char>(samples[i + (l.blue_first && k < 3 ? 2 - k : k)]);
        const qpbm_pixels pixels{samples.data(), width, height, static_cast<std::size_t>(width * l.depth), l.layout};
        for (const int bmp : {0, 1}) {
            SCOPED_TRACE(std::string(l.tuple_type) + (l.blue_first ? " BGR" : "") + (bmp ? " to BMP" : " to PBM"));
            qpbm_options o;
            qpbm_options_init(&o);
            o.method = QPBM_METHOD_FLOYD_STEINBERG;
            o.to = bmp ? QPBM_FORMAT_BMP : QPBM_FORMAT_PBM;
            o.bmp_bits = 1;
            qpbm_status want_status, got_status;
            qpbm_result result{};
            const Bytes want = from_memory(Bytes(pam.begin(), pam.end()), o, want_status);
            const Bytes got = from_pixels(pixels, o, got_status, &result);
            ASSERT_EQ(want_status, QPBM_OK);
            ASSERT_EQ(got_status, QPBM_OK);
            EXPECT_EQ(got, want);
            EXPECT_STREQ(result.format, "pixels");
            EXPECT_EQ(result.width, width);

            // The same to a file.
            const TempDir dir;
            const std::string path = dir.file("pixels.out");
            ASSERT_EQ(qpbm_convert_pixels_file(&pixels, path.c_str(), &o, nullptr, 0, nullptr), QPBM_OK);
            EXPECT_EQ(read_file(path), want);
        }
    }
}

TEST(ApiPixels, ArgumentsThatDescribeNoPixelsAreRefusedAndTouchNothing) {
    const std::uint8_t row[6] = {};
    struct Case {
        const char* name;
        qpbm_pixels pixels;
    };
    const Case cases[] = {
        {"no data", {nullptr, 2, 1, 6, QPBM_LAYOUT_RGB8}},
        {"stride shorter than a row", {row, 2, 2, 5, QPBM_LAYOUT_RGB8}},
        {"unknown layout", {row, 1, 1, 0, static_cast<qpbm_layout>(0)}},
        {"width over 2^31 - 1", {row, 0x80000000u, 1, 0, QPBM_LAYOUT_GRAY8}},
    };
    const TempDir dir;
    const std::string path = dir.file("refused.pbm");
    write_file(path, kSentinel);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint8_t out[64];
        std::uint64_t size = 99;
        EXPECT_EQ(qpbm_convert_pixels(&c.pixels, out, sizeof out, &size, nullptr, nullptr, 0, nullptr),
                  QPBM_EINVALID_ARGUMENT);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(qpbm_convert_pixels_file(&c.pixels, path.c_str(), nullptr, nullptr, 0, nullptr),
                  QPBM_EINVALID_ARGUMENT);
        EXPECT_EQ(read_text(path), kSentinel);
    }
    EXPECT_EQ(qpbm_convert_pixels(nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr), QPBM_EINVALID_ARGUMENT);
}

TEST(ApiPixels, AStrideThatDescribesNoMemorySaysHow) {
    const std::uint8_t row[6] = {};
    struct Case {
        qpbm_pixels pixels;
        const char* said;
    };
    const Case cases[] = {
        {{row, 2, 2, 5, QPBM_LAYOUT_RGB8}, "the row stride (5 bytes) is shorter than a row (6 bytes)"},
        {{row, 1, 3, SIZE_MAX / 2, QPBM_LAYOUT_GRAY8}, "bytes apart run past the end of the address space"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        std::uint8_t out[64];
        std::uint64_t size = 0;
        qpbm_result result{};
        EXPECT_EQ(qpbm_convert_pixels(&c.pixels, out, sizeof out, &size, nullptr, nullptr, 0, &result),
                  QPBM_EINVALID_ARGUMENT);
        EXPECT_NE(std::string(result.message).find(c.said), std::string::npos) << result.message;
    }
}

TEST(ApiPixels, ALayoutNoEnumeratorHasIsRefused) {
    const std::uint8_t row[4] = {};
    for (const int bad : {0, 7, 8, 99, -1, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(bad);
        qpbm_pixels pixels{row, 1, 1, 0, QPBM_LAYOUT_GRAY8};
        std::memcpy(&pixels.layout, &bad, sizeof bad);  // as a C caller may store any int
        std::uint8_t out[64];
        std::uint64_t size = 99;
        EXPECT_EQ(qpbm_convert_pixels(&pixels, out, sizeof out, &size, nullptr, nullptr, 0, nullptr),
                  QPBM_EINVALID_ARGUMENT);
        EXPECT_EQ(size, 0u);
    }
}

TEST(ApiPixels, FormatsAreToldByTheirFirstBytes) {
    struct Case {
        std::string first;
        qpbm_format format;
        int more;
    };
    const Case cases[] = {
        {"BM", QPBM_FORMAT_BMP, 0},  {"P1", QPBM_FORMAT_PBM, 0},  {"P4", QPBM_FORMAT_PBM, 0},
        {"P2", QPBM_FORMAT_PNM, 0},  {"P6", QPBM_FORMAT_PNM, 0},  {"P7\n", QPBM_FORMAT_PNM, 0},
        {"B", QPBM_FORMAT_AUTO, 1},  {"P", QPBM_FORMAT_AUTO, 1},  {"", QPBM_FORMAT_AUTO, 1},
        {"BX", QPBM_FORMAT_AUTO, 0}, {"P8", QPBM_FORMAT_AUTO, 0}, {"hello", QPBM_FORMAT_AUTO, 0},
    };
    for (const Case& c : cases) {
        int more = -1;
        EXPECT_EQ(qpbm_detect_format(c.first.data(), c.first.size(), &more), c.format) << c.first;
        EXPECT_EQ(more, c.more) << c.first;
    }
}

}  // namespace
}  // namespace qpbm_test

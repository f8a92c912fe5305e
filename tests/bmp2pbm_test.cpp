// BMP to PBM: the output layout, and every refusal leaving the output alone.
#include <climits>

#include "support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Direction;
using qpbm::Status;

// Channel values on both sides of the threshold, varied per pixel and channel.
Pixel around_threshold(int x, int y) {
    static const std::uint8_t values[] = {0, 98, 99, 100, 101, 255, 100, 99, 200};
    auto v = [&](int salt) { return values[static_cast<unsigned>(x * 7 + y * 13 + salt * 5) % 9]; };
    return {v(0), v(1), v(2)};
}

std::string bmp_to_pbm_text(const Bytes& bmp, Status expected = Status::ok) {
    TempDir dir;
    write_file(dir.file("in.bmp"), bmp);
    EXPECT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("out.pbm")), expected);
    return read_text(dir.file("out.pbm"));
}

TEST(Bmp2PbmLayout, ExactTextForSmallPictures) {
    struct Case {
        const char* what;
        Pixel pixel;
        int width, height;
        const char* text;
    };
    const Case cases[] = {
        {"1 x 1 at the threshold is white, no final line feed",
         {100, 100, 100},
         1,
         1,
         "P1\n# Created by Quorvel\n1 1\n0 "},
        {"blue 99 is black", {99, 255, 255}, 1, 1, "P1\n# Created by Quorvel\n1 1\n1 "},
        {"green 99 is black", {255, 99, 255}, 1, 1, "P1\n# Created by Quorvel\n1 1\n1 "},
        {"red 99 is black", {255, 255, 99}, 1, 1, "P1\n# Created by Quorvel\n1 1\n1 "},
        {"width 0 gives the header alone", {255, 255, 255}, 0, 4, "P1\n# Created by Quorvel\n0 4\n"},
        {"height 0 gives the header alone", {255, 255, 255}, 4, 0, "P1\n# Created by Quorvel\n4 0\n"},
        {"10 x 3 shares one line ending with a line feed",
         {0, 0, 0},
         10,
         3,
         "P1\n# Created by Quorvel\n10 3\n1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 \n"},
        {"31 x 1 wraps after 30 tokens and ends straight after the 31st",
         {255, 255, 255},
         31,
         1,
         "P1\n# Created by Quorvel\n31 1\n0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \n0 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Pixel p = c.pixel;
        EXPECT_EQ(bmp_to_pbm_text(make_bmp(c.width, c.height, [p](int, int) { return p; })), c.text);
    }
}

TEST(Bmp2PbmLayout, TopRowComesFirst) {
    // Stored row 0 (the bottom) black, stored row 1 (the top) white.
    const Bytes bmp = make_bmp(2, 2, [](int, int y) { return y == 0 ? kWhite : kBlack; });
    EXPECT_EQ(bmp_to_pbm_text(bmp), "P1\n# Created by Quorvel\n2 2\n0 0 1 1 ");
}

TEST(Bmp2PbmLayout, EveryPixelFollowsTheThresholdAcrossSizesAndLayouts) {
    struct Case {
        const char* what;
        int width, height;
        BmpOptions options;
    };
    BmpOptions top_down;
    top_down.top_down = true;
    BmpOptions v5_header;  // what ImageMagick writes: 124-byte information header
    v5_header.info_size = 124;
    BmpOptions palette_gap;  // pixels well after the headers, gap filled with junk
    palette_gap.pixel_offset = 54 + 1024;
    palette_gap.gap_fill = 0x37;
    BmpOptions junk_padding;  // padding bytes are never read as pixels
    junk_padding.padding = 0x11;
    const Case cases[] = {
        {"width 1, stride 4", 1, 7, {}},        {"width 2, stride 8", 2, 5, {}},
        {"width 3, stride 12", 3, 4, {}},       {"width 4, no padding", 4, 3, {}},
        {"row count crosses lines", 7, 13, {}}, {"lines cross rows", 61, 2, {}},
        {"30 tokens exactly", 30, 1, {}},       {"top-down", 5, 9, top_down},
        {"124-byte header", 33, 3, v5_header},  {"pixels after a gap", 6, 6, palette_gap},
        {"junk padding", 5, 4, junk_padding},   {"the widest row", 10000, 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes bmp = make_bmp(c.width, c.height, around_threshold, c.options);
        const std::string expected =
            expected_pbm(c.width, c.height, [](int x, int y) { return is_white(around_threshold(x, y)); });
        EXPECT_EQ(bmp_to_pbm_text(bmp), expected);
    }
}

TEST(Bmp2PbmLayout, ShortLastRowPaddingIsNotRequired) {
    // The last stored row needs its pixels but not its padding.
    Bytes bmp = make_bmp(1, 3, around_threshold);
    bmp.pop_back();
    EXPECT_EQ(bmp_to_pbm_text(bmp), expected_pbm(1, 3, [](int x, int y) { return is_white(around_threshold(x, y)); }));
}

TEST(Bmp2PbmRefusal, BadInputsLeaveTheOutputUntouched) {
    const auto plain = [](int w, int h) { return make_bmp(w, h, around_threshold); };
    auto with32 = [](Bytes b, std::size_t at, std::uint32_t v) {
        put32(b, at, v);
        return b;
    };
    auto with16 = [](Bytes b, std::size_t at, std::uint16_t v) {
        put16(b, at, v);
        return b;
    };
    auto prefix = [](Bytes b, std::size_t n) {
        b.resize(n);
        return b;
    };
    auto truncated = [](Bytes b, std::size_t by) {
        b.resize(b.size() - by);
        return b;
    };
    struct Case {
        const char* what;
        Bytes bmp;
        Status status;
    };
    const Case cases[] = {
        {"empty file", {}, Status::bmp_header_truncated},
        {"53 header bytes", prefix(plain(1, 1), 53), Status::bmp_header_truncated},
        {"no BM signature", with16(plain(2, 2), 0, 0x4142), Status::bmp_not_bmp},
        {"a short text file is not a BMP", {'P', '1', '\n'}, Status::bmp_not_bmp},
        {"64 bits per pixel", with16(plain(2, 2), 28, 64), Status::bmp_bad_bit_count},
        {"bit fields at 24 bits", with32(plain(2, 2), 30, 3), Status::bmp_bad_compression},
        {"16-byte OS/2 header", with32(plain(2, 2), 14, 16), Status::bmp_bad_header_size},
        {"pixel offset inside the header", with32(plain(2, 2), 10, 53), Status::bmp_bad_pixel_offset},
        {"pixel offset inside a 124-byte header",
         with32(make_bmp(2, 2, around_threshold, BmpOptions{.info_size = 124}), 10, 54), Status::bmp_bad_pixel_offset},
        {"negative width", with32(plain(2, 2), 18, static_cast<std::uint32_t>(-2)), Status::bmp_negative_width},
        {"width 10001 claimed by a 2 x 2 file", with32(plain(2, 2), 18, 10001), Status::bmp_pixels_truncated},
        {"height INT32_MIN", with32(plain(2, 2), 22, 0x80000000u), Status::bmp_bad_height},
        {"last pixel byte missing", truncated(plain(3, 3), 4), Status::bmp_pixels_truncated},
        {"top-down, last pixel byte missing",
         truncated(make_bmp(3, 3, around_threshold, BmpOptions{.top_down = true}), 4), Status::bmp_pixels_truncated},
        {"10000 x 2,000,000,000 claimed in 54 bytes",
         with32(with32(prefix(plain(1, 1), 54), 18, 10000), 22, 2000000000u), Status::bmp_pixels_truncated},
        {"pixel offset past the end", with32(plain(2, 2), 10, 0xFFFFFFFFu), Status::bmp_pixels_truncated},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir.file("in.bmp"), c.bmp);
        write_file(dir.file("out.pbm"), kSentinel);
        EXPECT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("out.pbm")), c.status);
        EXPECT_EQ(read_text(dir.file("out.pbm")), kSentinel);
    }
}

// Sizes claimed past 2 GiB and 4 GiB must be compared in 64 bits: where long
// and size_t are 32 bits (32-bit ARM) a wrapped sum would pass for a small one.
TEST(Bmp2PbmLargeFile, ClaimsPast2GiBAreRefusedNotWrapped) {
    auto header_only = [](std::int32_t width, std::int32_t height, std::uint32_t pixel_offset) {
        Bytes b = make_bmp(1, 1, around_threshold);
        b.resize(54);
        put32(b, 10, pixel_offset);
        put32(b, 18, static_cast<std::uint32_t>(width));
        put32(b, 22, static_cast<std::uint32_t>(height));
        return b;
    };
    struct Case {
        const char* what;
        Bytes bmp;
        std::uint64_t needed;  // offset + stride * (height - 1) + width * 3
    };
    const Case cases[] = {
        {"10000 x 100000 ends at 3,000,000,054: negative as a 32-bit long", header_only(10000, 100000, 54),
         54 + 30000ull * 99999 + 30000},
        {"10000 x 100000 from an offset near 4 GiB", header_only(10000, 100000, 0xFFFFFF00u),
         0xFFFFFF00ull + 30000ull * 99999 + 30000},
        {"1 x 9 ends 19 bytes past 4 GiB: 19 in 32 bits", header_only(1, 9, 0xFFFFFFF0u), (1ull << 32) + 19},
        {"top-down 10000 x 100000", header_only(10000, -100000, 54), 54 + 30000ull * 99999 + 30000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir.file("in.bmp"), c.bmp);
        write_file(dir.file("out.pbm"), kSentinel);
        qpbm::Facts facts;
        EXPECT_EQ(
            qpbm::convert_file(Direction::bmp_to_pbm, dir.file("in.bmp").c_str(), dir.file("out.pbm").c_str(), facts),
            Status::bmp_pixels_truncated);
        EXPECT_EQ(facts.needed_size, c.needed);
        EXPECT_EQ(facts.file_size, 54u);
        EXPECT_EQ(read_text(dir.file("out.pbm")), kSentinel);
    }
}

// A sparse file whose stored rows straddle the 4 GiB mark: the seeks and the
// size check need 64-bit offsets, and so does a file one byte short of them.
TEST(Bmp2PbmLargeFile, PixelsPast4GiBAreReadFromTheirOffsets) {
    constexpr std::uint64_t kOffset = 0xFFFFFFFCu;  // row 0 spans the 4 GiB mark
    constexpr int kWidth = 2, kHeight = 3;
    Bytes small = make_bmp(kWidth, kHeight, around_threshold);
    put32(small, 10, static_cast<std::uint32_t>(kOffset));
    TempDir dir;
    const std::string in = dir.file("in.bmp");
    {
        std::ofstream f(in, std::ios::binary);
        f.write(reinterpret_cast<const char*>(small.data()), 54);
        f.seekp(static_cast<std::streamoff>(kOffset));
        f.write(reinterpret_cast<const char*>(small.data() + 54), static_cast<std::streamsize>(small.size() - 54));
        ASSERT_TRUE(f.good());
    }
    const std::uint64_t size = kOffset + small.size() - 54;
    ASSERT_EQ(std::filesystem::file_size(in), size);

    EXPECT_EQ(convert(Direction::bmp_to_pbm, in, dir.file("out.pbm")), Status::ok);
    EXPECT_EQ(read_text(dir.file("out.pbm")),
              expected_pbm(kWidth, kHeight, [](int x, int y) { return is_white(around_threshold(x, y)); }));

    // The last row needs 6 pixel bytes and its 2 padding bytes are optional;
    // one byte fewer than the pixels is refused.
    std::filesystem::resize_file(in, size - 3);
    write_file(dir.file("short.pbm"), kSentinel);
    EXPECT_EQ(convert(Direction::bmp_to_pbm, in, dir.file("short.pbm")), Status::bmp_pixels_truncated);
    EXPECT_EQ(read_text(dir.file("short.pbm")), kSentinel);
}

TEST(Bmp2PbmRefusal, DescriptionsNameTheCause) {
    qpbm::Facts facts;
    facts.bit_count = 64;
    char text[160];
    EXPECT_STREQ(qpbm::describe_status(Status::bmp_bad_bit_count, facts, text, sizeof text),
                 "64 bits per pixel is not supported");
    // Every status has its own message.
    for (int a = 0; a <= static_cast<int>(Status::pbm_too_large); ++a)
        for (int b = a + 1; b <= static_cast<int>(Status::pbm_too_large); ++b)
            EXPECT_STRNE(qpbm::status_message(static_cast<Status>(a)), qpbm::status_message(static_cast<Status>(b)));
}

}  // namespace
}  // namespace qpbm_test

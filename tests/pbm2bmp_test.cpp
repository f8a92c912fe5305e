// PBM to BMP: header records, pixel order, token reading, refusals, lenient
// pixel data, and the round trip through both converters.
#include "support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Direction;
using qpbm::Status;

const std::string kHead = "P1\n# Created by Quorvel\n";

Bytes pbm_to_bmp(const std::string& pbm, Status expected = Status::ok) {
    TempDir dir;
    write_file(dir.file("in.pbm"), pbm);
    EXPECT_EQ(convert(Direction::pbm_to_bmp, dir.file("in.pbm"), dir.file("out.bmp")), expected);
    return read_file(dir.file("out.bmp"));
}

// The BMP of a black-and-white picture, laid out from the rules.
Bytes expected_bmp(int width, int height, const std::function<bool(int, int)>& white) {
    return make_bmp(width, height, [&](int x, int y) { return white(x, y) ? kWhite : kBlack; });
}

std::string repeated(const std::string& s, int n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

bool checker(int x, int y) { return (x + 2 * y) % 3 == 0; }

TEST(Pbm2BmpLayout, HeaderRecordsAndLengthFollowTheStride) {
    for (int width : {1, 2, 3, 4, 5, 1000}) {
        SCOPED_TRACE(width);
        const int height = 3;
        const Bytes bmp = pbm_to_bmp(expected_pbm(width, height, checker));
        const std::size_t stride = stride_of(width);
        ASSERT_EQ(bmp.size(), 54 + stride * height);
        EXPECT_EQ(get32(bmp, 2), 54 + stride * height);  // bfSize
        EXPECT_EQ(get32(bmp, 10), 54u);                  // bfOffBits
        EXPECT_EQ(get32(bmp, 34), stride * height);      // biSizeImage
        EXPECT_EQ(bmp, expected_bmp(width, height, checker));
    }
}

TEST(Pbm2BmpLayout, WhiteTopRowBlackBottomRowIs70Bytes) {
    const Bytes bmp = pbm_to_bmp(kHead + "2 2\n0 0 1 1 ");
    ASSERT_EQ(bmp.size(), 70u);
    EXPECT_EQ(get32(bmp, 2), 70u);
    EXPECT_EQ(get32(bmp, 34), 16u);
    EXPECT_EQ(Bytes(bmp.begin() + 54, bmp.begin() + 62), Bytes({0, 0, 0, 0, 0, 0, 0, 0}));  // bottom: black
    EXPECT_EQ(Bytes(bmp.begin() + 62, bmp.end()), Bytes({255, 255, 255, 255, 255, 255, 0, 0}));
}

TEST(Pbm2BmpLayout, EmptyPicturesAreTheHeadersAlone) {
    for (const char* dims : {"0 5\n", "5 0\n", "0 0\n"}) {
        SCOPED_TRACE(dims);
        const Bytes bmp = pbm_to_bmp(kHead + dims + "0 0 0 0 0 \n");
        ASSERT_EQ(bmp.size(), 54u);
        EXPECT_EQ(get32(bmp, 2), 54u);
        EXPECT_EQ(get32(bmp, 34), 0u);
    }
}

TEST(Pbm2BmpTokens, ReadingRules) {
    struct Case {
        const char* what;
        std::string pbm;
        int width, height;
        std::function<bool(int, int)> white;
    };
    const Case cases[] = {
        {"CR LF line ends throughout", "P1\r\n# Created by Quorvel\r\n3 2\r\n0 1 0 1 0 1 \r\n", 3, 2,
         [](int x, int y) { return (x + 3 * y) % 2 == 0; }},
        {"letters and spaces are black, only 0 is white", kHead + "4 1\n0 a   0 ", 4, 1,
         [](int x, int) { return x == 0 || x == 3; }},
        {"short last line, characters after the last token unused", kHead + "2 1\n0 0 1 1 1\n", 2, 1,
         [](int, int) { return true; }},
        {"a line feed inside a line ends its tokens: the rest are black", kHead + "3 2\n0 0\n0 0 0 0 \n", 3, 2,
         [](int x, int y) { return y == 0 && x < 2; }},
        {"tokens missing at the end are black", kHead + "3 2\n0 0 0 0 \n", 3, 2,
         [](int x, int y) { return y == 0 || x == 0; }},
        {"the last line is not applied twice", kHead + "31 1\n" + repeated("0 ", 30) + "\n", 31, 1,
         [](int x, int) { return x < 30; }},
        {"a pixel line longer than 99 characters goes on as the next line",
         kHead + "32 1\n" + repeated("0 ", 30) + std::string(39, 'x') + "0 1 \n", 32, 1,
         [](int x, int) { return x < 31; }},
        {"a long comment is read whole", "P1\n#" + std::string(300, 'c') + "\n2 1\n0 0 ", 2, 1,
         [](int, int) { return true; }},
        {"signs and leading blanks in the height", kHead + "2  +1\n1 0 ", 2, 1, [](int x, int) { return x == 1; }},
        {"23-digit width", kHead + std::string(22, '0') + "2 1\n0 1 ", 2, 1, [](int x, int) { return x == 0; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(pbm_to_bmp(c.pbm), expected_bmp(c.width, c.height, c.white));
    }
}

TEST(Pbm2BmpTokens, DimensionLineOf1000By99) {
    const Bytes bmp = pbm_to_bmp(expected_pbm(1000, 99, checker));
    EXPECT_EQ(get32(bmp, 18), 1000u);
    EXPECT_EQ(get32(bmp, 22), 99u);
    EXPECT_EQ(bmp, expected_bmp(1000, 99, checker));
}

TEST(Pbm2BmpRefusal, UntrustworthyHeadersLeaveTheOutputUntouched) {
    struct Case {
        const char* what;
        std::string pbm;
        Status status;
    };
    const Case cases[] = {
        {"empty file", "", Status::pbm_missing_lines},
        {"magic line only", "P1\n", Status::pbm_missing_lines},
        {"no dimension line", "P1\n# c\n", Status::pbm_missing_lines},
        {"raw P4", "P4\n# c\n2 2\n\xC0\x00", Status::pbm_bad_magic},
        {"dimensions on the magic line", "P1 2 2\n0 0 0 0\n", Status::pbm_bad_magic},
        {"no comment line", "P1\n2 2\n0 0 0 0 \n", Status::pbm_bad_comment},
        {"no space", kHead + "22\n0 0 0 0 \n", Status::pbm_bad_dimension_line},
        {"no line feed at the end", kHead + "2 2", Status::pbm_bad_dimension_line},
        {"no line feed within 99 characters", kHead + "2 2" + std::string(100, ' ') + "\n",
         Status::pbm_bad_dimension_line},
        {"width without digits", kHead + "x 2\n", Status::pbm_bad_number},
        {"height without digits", kHead + "2 \n", Status::pbm_bad_number},
        {"24-digit width", kHead + std::string(23, '0') + "2 2\n", Status::pbm_number_too_long},
        {"negative width", kHead + "-1 2\n", Status::pbm_negative_dimension},
        {"negative height", kHead + "2 -3\n", Status::pbm_negative_dimension},
        {"width 1001", kHead + "1001 2\n", Status::pbm_too_large},
        {"height 1001", kHead + "2 1001\n", Status::pbm_too_large},
        {"20-digit width", kHead + "99999999999999999999 1\n", Status::pbm_too_large},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir.file("in.pbm"), c.pbm);
        write_file(dir.file("out.bmp"), kSentinel);
        EXPECT_EQ(convert(Direction::pbm_to_bmp, dir.file("in.pbm"), dir.file("out.bmp")), c.status);
        EXPECT_EQ(read_text(dir.file("out.bmp")), kSentinel);
    }
}

TEST(Pbm2BmpState, AnEarlierCallLeavesNoPixelsBehind) {
    const Bytes white = pbm_to_bmp(expected_pbm(10, 10, [](int, int) { return true; }));
    EXPECT_EQ(white, expected_bmp(10, 10, [](int, int) { return true; }));
    // Same size, only the first 30 tokens (three rows): the rest must be black.
    const Bytes truncated = pbm_to_bmp(kHead + "10 10\n" + repeated("0 ", 30) + "\n");
    EXPECT_EQ(truncated, expected_bmp(10, 10, [](int, int y) { return y < 3; }));
}

TEST(RoundTrip, EveryPixelIsTheThresholdResult) {
    auto noise = [](int x, int y) {
        const unsigned h = static_cast<unsigned>(x) * 2654435761u ^ static_cast<unsigned>(y) * 40503u;
        return Pixel{static_cast<std::uint8_t>(80 + h % 40), static_cast<std::uint8_t>(90 + (h >> 8) % 30),
                     static_cast<std::uint8_t>(95 + (h >> 16) % 20)};
    };
    for (auto [width, height] : {std::pair{1, 1}, {31, 7}, {640, 3}, {1000, 1000}}) {
        SCOPED_TRACE(testing::Message() << width << " x " << height);
        TempDir dir;
        write_file(dir.file("in.bmp"), make_bmp(width, height, noise));
        ASSERT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("mid.pbm")), Status::ok);
        ASSERT_EQ(convert(Direction::pbm_to_bmp, dir.file("mid.pbm"), dir.file("out.bmp")), Status::ok);
        EXPECT_EQ(read_file(dir.file("out.bmp")),
                  expected_bmp(width, height, [&](int x, int y) { return is_white(noise(x, y)); }));
    }
}

}  // namespace
}  // namespace qpbm_test

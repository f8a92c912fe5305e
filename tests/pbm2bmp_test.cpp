// PBM to BMP: header records, pixel order, the plain and raw reading rules,
// refusals, lenient pixel data, and the round trip through both converters.
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

// A picture given as text rows of '0' and '1', top row first.
std::function<bool(int, int)> rows_of(std::vector<std::string> rows) {
    return [rows](int x, int y) { return rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] == '0'; };
}

TEST(Pbm2BmpPlain, ReadingRules) {
    struct Case {
        const char* what;
        std::string pbm;
        int width, height;
        std::function<bool(int, int)> white;
    };
    const std::string j_rows[] = {"000010", "000010", "000010", "000010", "000010",
                                  "000010", "100010", "011100", "000000", "000000"};
    std::string j_pbm = "P1\n# This is an example bitmap of the letter \"J\"\n6 10\n";
    for (const std::string& row : j_rows) {
        for (char c : row) j_pbm += std::string(1, c) + " ";
        j_pbm.back() = '\n';
    }
    const Case cases[] = {
        {"the letter J: a comment line, then six tokens a line", j_pbm, 6, 10,
         rows_of({std::begin(j_rows), std::end(j_rows)})},
        {"tokens without separators", "P1\n4 2\n01100110", 4, 2, rows_of({"0110", "0110"})},
        {"lines of any length, across rows", "P1\n3 2\n0\n11 0\n\n1 0", 3, 2, rows_of({"011", "010"})},
        {"comments in the pixels, ended by LF or CR", "P1\n3 2\n0 # 0 0 0\n1 #c\r0\t# last\n1 0 1", 3, 2,
         rows_of({"010", "101"})},
        {"CR LF line ends throughout", "P1\r\n# c\r\n3 2\r\n0 1 0\r\n1 0 1\r\n", 3, 2, rows_of({"010", "101"})},
        {"every white-space byte separates", "P1\t3\v2\f0\r1 0\n1 0 1", 3, 2, rows_of({"010", "101"})},
        {"no comment line, dimensions on the magic line", "P1 2 2 0 1 1 0", 2, 2, rows_of({"01", "10"})},
        {"comments in the header, right after the magic and the width", "P1#c\n3#c\n2\n010101", 3, 2,
         rows_of({"010", "101"})},
        {"a comment right after the height", "P1 2 1#c 1 1\n00", 2, 1, rows_of({"00"})},
        {"leading zeros", "P1 0003 0001\n010", 3, 1, rows_of({"010"})},
        {"text after the height counts as pixels", "P1\n3 1 x0\n111", 3, 1, rows_of({"101"})},
        {"letters, NUL and signs are black, only 0 is white", std::string("P1 5 1\na0\0-0", 12), 5, 1,
         rows_of({"10110"})},
        {"pixels the file does not reach are black", "P1\n3 2\n0 0 0 0", 3, 2, rows_of({"000", "011"})},
        {"no pixels at all", "P1\n2 2", 2, 2, rows_of({"11", "11"})},
        {"reading stops at the last pixel", "P1\n2 1\n0 0 1 1 garbage", 2, 1, rows_of({"00"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(pbm_to_bmp(c.pbm), expected_bmp(c.width, c.height, c.white));
    }
}

// A raw PBM from rows of '0' and '1' (1 black), each packed most significant
// bit first and padded with `padding` bits.
std::string raw_pbm(const std::string& header, const std::vector<std::string>& rows, bool padding) {
    std::string pbm = header;
    for (const std::string& row : rows) {
        for (std::size_t x = 0; x < row.size(); x += 8) {
            unsigned byte = padding ? 0xFF : 0x00;
            for (std::size_t bit = 0; bit < 8; ++bit)
                if (x + bit < row.size()) byte = (byte & ~(0x80u >> bit)) | (row[x + bit] == '1' ? 0x80u >> bit : 0);
            pbm += static_cast<char>(byte);
        }
    }
    return pbm;
}

TEST(Pbm2BmpRaw, ReadingRules) {
    struct Case {
        const char* what;
        std::string header;
        std::vector<std::string> rows;
        std::size_t cut = 0;  // bytes removed from the end
    };
    const Case cases[] = {
        {"width 3", "P4\n3 2\n", {"101", "010"}},
        {"width 8, whole bytes", "P4 8 2\n", {"10000001", "01111110"}},
        {"width 9, a byte and a bit", "P4 9 3\n", {"100000001", "011111110", "000000001"}},
        {"width 17", "P4\n# c\n17 1\n", {"10101010101010101"}},
        {"one white-space byte after the height, which may be a CR", "P4 2 1\r", {"10"}},
        {"a white-space byte that looks like a separator is a pixel byte", "P4 8 2 ", {"00100000", "00001010"}},
        {"leading zeros", "P4 04 01\n", {"0110"}},
        {"rows cut short are black", "P4 9 3\n", {"100000001", "011111110", "000000001"}, 4},
    };
    for (const Case& c : cases) {
        for (bool padding : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.what << (padding ? ", padding bits set" : ", padding bits clear"));
            std::string pbm = raw_pbm(c.header, c.rows, padding);
            pbm.resize(pbm.size() - c.cut);
            const int width = static_cast<int>(c.rows[0].size());
            const int height = static_cast<int>(c.rows.size());
            const std::size_t row_bytes = (c.rows[0].size() + 7) / 8;
            const std::size_t kept_rows = (pbm.size() - c.header.size()) / row_bytes;
            EXPECT_EQ(pbm_to_bmp(pbm), expected_bmp(width, height, [&](int x, int y) {
                          return static_cast<std::size_t>(y) < kept_rows &&
                                 c.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] == '0';
                      }));
        }
    }
}

TEST(Pbm2BmpRaw, FileEndingAfterTheHeightIsAllBlack) {
    EXPECT_EQ(pbm_to_bmp("P4 3 2"), expected_bmp(3, 2, [](int, int) { return false; }));
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
        {"empty file", "", Status::pbm_bad_magic},
        {"not a PBM", "XX 2 2\n", Status::pbm_bad_magic},
        {"plain PGM", "P2\n2 2\n1\n0 0 0 0", Status::pbm_bad_magic},
        {"lower-case magic", "p1\n2 2\n", Status::pbm_bad_magic},
        {"magic only", "P1", Status::pbm_header_truncated},
        {"no height", "P1\n# c\n2 ", Status::pbm_header_truncated},
        {"a comment running to the end", "P4 2 # 2\n", Status::pbm_header_truncated},
        {"a digit right after the magic", "P12 2\n", Status::pbm_bad_header_char},
        {"a NUL right after the magic", std::string("P1\0 2 2", 7), Status::pbm_bad_header_char},
        {"width without digits", "P1\nx 2\n", Status::pbm_bad_header_char},
        {"a letter between width and height", "P1\n2x2\n", Status::pbm_bad_header_char},
        {"a decimal point", "P1\n2.0 2\n", Status::pbm_bad_header_char},
        {"plus sign", "P1\n+2 2\n", Status::pbm_signed_number},
        {"negative height", "P1\n2 -3\n", Status::pbm_signed_number},
        {"width 2^31", "P1\n2147483648 1\n", Status::pbm_number_too_large},
        {"20-digit height", "P1\n1 99999999999999999999\n", Status::pbm_number_too_large},
        {"a raw height followed by a comment", "P4\n8 1#c\n\xFF", Status::pbm_no_raster_separator},
        {"a raw height followed by a pixel byte", "P4\n8 1\xFF", Status::pbm_no_raster_separator},
        {"a header over 64 KiB", "P1\n#" + std::string(65536, 'c') + "\n1 1\n0", Status::pbm_header_too_long},
        {"a BMP over 4 GiB", "P1\n40000 40000\n", Status::pbm_too_large},
        {"the widest width", "P1\n2147483647 1\n", Status::pbm_too_large},
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

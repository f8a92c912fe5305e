// The devices' writers (ESC/POS, ZPL, XBM), each decoded back by the rules of
// its format to the bits of the raw PBM that went in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "convert/codecs.hpp"
#include "tests/conversion_support.hpp"
#include "write/escpos.hpp"
#include "write/xbm.hpp"
#include "write/zpl.hpp"

namespace {

using qpbm::Format;
using qpbm::Status;
using namespace qpbm_test;

const bool codecs_added = qpbm::add_codecs();

// A picture as its rows of bits, a raw PBM's layout: rows of ceil(w / 8)
// bytes, the leftmost pixel in the highest bit, 1 black, padding 0.
struct Bits {
    std::uint32_t width = 0, height = 0;
    Bytes rows;
    std::size_t stride() const { return (width + 7) / 8; }
};

Bits picture(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    Bits b{width, height, Bytes(((width + 7) / 8) * height)};
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            // Runs, full rows, rows repeated, and rows blank but for their last pixel
            // (past the longest run one count says).
            const bool black =
                y % 7 == 3 || (y % 5 == 0 ? x + 1 == width : (x / 3 + y / 2 + seed) % 11 < 4 || x * 7 == y * 3);
            if (black) b.rows[y * b.stride() + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
    return b;
}

Bytes p4(const Bits& b) {
    Bytes out = text("P4\n" + std::to_string(b.width) + " " + std::to_string(b.height) + "\n");
    out.insert(out.end(), b.rows.begin(), b.rows.end());
    return out;
}

Outcome convert_to(const Bits& b, Format to) {
    qpbm::Options options;
    options.to = to;
    const Bytes input = p4(b);
    return run_checked(input, [&](qpbm::Conversion& c, std::FILE* in, qpbm::Facts& facts) {
        return qpbm::check_conversion(c, *qpbm::reader_for(input.data(), input.size()), in, false, test_buffers(),
                                      facts, options);
    });
}

// ESC @, bands of GS v 0 of at most 255 rows, ESC d 4.
Bits decode_escpos(const Bytes& f) {
    Bits b;
    std::size_t at = 0;
    EXPECT_TRUE(f.size() >= 5 && f[0] == 0x1B && f[1] == 0x40);
    at = 2;
    while (at + 8 <= f.size() && f[at] == 0x1D) {
        EXPECT_TRUE(f[at + 1] == 0x76 && f[at + 2] == 0x30 && f[at + 3] == 0);
        const std::size_t x = f[at + 4] | f[at + 5] << 8, y = f[at + 6] | f[at + 7] << 8;
        EXPECT_LE(y, 255u);
        EXPECT_TRUE(b.width == 0 || (b.width + 7) / 8 == x);
        b.width = static_cast<std::uint32_t>(x * 8);
        b.height += static_cast<std::uint32_t>(y);
        at += 8;
        if (at + x * y > f.size()) break;
        b.rows.insert(b.rows.end(), f.begin() + static_cast<long>(at), f.begin() + static_cast<long>(at + x * y));
        at += x * y;
    }
    EXPECT_EQ(Bytes(f.begin() + static_cast<long>(at), f.end()), (Bytes{0x1B, 0x64, qpbm::kEscPosFeedLines}));
    return b;
}

// ^XA^FO0,0^GFA,t,t,r,<compressed hex>^FS^XZ, by ZPL's rules.
Bits decode_zpl(const Bytes& f) {
    const std::string s(f.begin(), f.end());
    Bits b;
    unsigned long long total = 0, again = 0, row = 0;
    int used = 0;
    EXPECT_EQ(std::sscanf(s.c_str(), "^XA\n^FO0,0^GFA,%llu,%llu,%llu,%n", &total, &again, &row, &used), 3);
    const std::size_t end = s.rfind("^FS\n^XZ\n");
    EXPECT_TRUE(used > 0 && end != std::string::npos && end + 8 == s.size() && total == again && row > 0);
    if (used <= 0 || end == std::string::npos || row == 0) return b;
    std::string digits, line;
    std::size_t count = 0;
    auto end_row = [&](char fill) {
        line.append(2 * row - line.size(), fill);
        digits += line;
        line.clear();
    };
    for (std::size_t i = static_cast<std::size_t>(used); i < end; ++i) {
        const char c = s[i];
        if (c >= 'G' && c <= 'Y')
            count += static_cast<std::size_t>(c - 'G' + 1);
        else if (c >= 'g' && c <= 'z')
            count += static_cast<std::size_t>(c - 'g' + 1) * 20;
        else if (c == ',' || c == '!')
            end_row(c == ',' ? '0' : 'F');
        else if (c == ':')
            digits += digits.substr(digits.size() - 2 * row);
        else {
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(c))) << c;
            line.append(count == 0 ? 1 : count, c);
            count = 0;
            if (line.size() == 2 * row) end_row('0');
            EXPECT_LE(line.size(), 2 * row);
        }
    }
    EXPECT_TRUE(line.empty());
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        b.rows.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    b.width = static_cast<std::uint32_t>(row * 8);
    b.height = static_cast<std::uint32_t>(b.rows.size() / row);
    EXPECT_EQ(b.rows.size(), total);
    return b;
}

// The C array of an X bitmap: the leftmost pixel in each byte's lowest bit.
Bits decode_xbm(const Bytes& f) {
    const std::string s(f.begin(), f.end());
    Bits b;
    int used = 0;
    EXPECT_EQ(std::sscanf(s.c_str(),
                          "#define image_width %u\n#define image_height %u\nstatic unsigned char image_bits[] = {\n%n",
                          &b.width, &b.height, &used),
              2);
    for (std::size_t at = s.find("0x", static_cast<std::size_t>(used)); at != std::string::npos;
         at = s.find("0x", at + 4)) {
        unsigned v = static_cast<unsigned>(std::stoul(s.substr(at + 2, 2), nullptr, 16)), r = 0;
        for (int k = 0; k < 8; ++k) r |= ((v >> k) & 1u) << (7 - k);
        b.rows.push_back(static_cast<std::uint8_t>(r));
    }
    EXPECT_EQ(s.substr(s.size() - 4), " };\n");
    return b;
}

TEST(DeviceWriters, DecodeBackToTheBitsAtEveryWidth) {
    ASSERT_TRUE(codecs_added);
    const struct {
        Format to;
        Bits (*decode)(const Bytes&);
        bool exact_width;  // the format names the width in pixels, not bytes
    } kinds[] = {
        {Format::escpos, decode_escpos, false}, {Format::zpl, decode_zpl, false}, {Format::xbm, decode_xbm, true}};
    // Odd widths, a band's height and one past it, a run past 419 digits.
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{1, 1}, {7, 3}, {8, 255}, {9, 256}, {384, 40}, {2000, 9}};
    for (const auto& kind : kinds)
        for (const auto& [width, height] : sizes) {
            SCOPED_TRACE(std::to_string(static_cast<int>(kind.to)) + ": " + std::to_string(width) + " x " +
                         std::to_string(height));
            const Bits in = picture(width, height, width + height);
            const Outcome o = convert_to(in, kind.to);
            ASSERT_EQ(o.status, Status::ok);
            EXPECT_LE(o.bytes.size(), qpbm::writer_for(kind.to)->encoded_size(width, height, qpbm::Options{}));
            const Bits out = kind.decode(o.bytes);
            EXPECT_EQ(out.width, kind.exact_width ? width : (width + 7) / 8 * 8);
            EXPECT_EQ(out.height, height);
            EXPECT_TRUE(out.rows == in.rows);
        }
}

TEST(DeviceWriters, RefuseEmptyAndTooWidePictures) {
    const struct {
        Format to;
        std::uint32_t width, height;
        Status status;
    } cases[] = {{Format::escpos, 0, 5, Status::device_empty_picture},
                 {Format::zpl, 5, 0, Status::device_empty_picture},
                 {Format::xbm, 0, 0, Status::device_empty_picture},
                 {Format::zpl, qpbm::kZplMaxRowBytes * 8 + 1, 1, Status::device_too_wide}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        const Outcome o = convert_to(picture(c.width, c.height, 0), c.to);
        EXPECT_EQ(o.status, c.status);
        EXPECT_TRUE(o.bytes.empty());
    }
}

}  // namespace

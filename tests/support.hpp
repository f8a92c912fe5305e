// Test inputs built from the file layouts themselves, independently of the
// library's own encoders, plus small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "library/file_convert.hpp"

namespace qpbm_test {

using Bytes = std::vector<std::uint8_t>;

struct Pixel {
    std::uint8_t blue, green, red;
};

inline const Pixel kWhite{255, 255, 255};
inline const Pixel kBlack{0, 0, 0};

// Stored row size: width * 3 rounded up to a multiple of 4.
inline std::size_t stride_of(std::int64_t width) { return static_cast<std::size_t>((width * 3 + 3) / 4 * 4); }

inline void put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint32_t get32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// A palette BMP with 40-byte headers: its palette of `colours` zeroed
// entries at 54, then `pixels` (stored as they are), bfSize and bfOffBits set.
inline Bytes palette_bmp(int width, int height, std::uint16_t bits, std::uint32_t colours, const Bytes& pixels,
                         std::uint32_t compression = 0) {
    const std::size_t offset = 54 + 4 * colours;
    Bytes b(offset, 0);
    b[0] = 'B', b[1] = 'M';
    put32(b, 10, static_cast<std::uint32_t>(offset));
    put32(b, 14, 40);
    put32(b, 18, static_cast<std::uint32_t>(width));
    put32(b, 22, static_cast<std::uint32_t>(height));
    put16(b, 26, 1);
    put16(b, 28, bits);
    put32(b, 30, compression);
    put32(b, 46, colours);
    b.insert(b.end(), pixels.begin(), pixels.end());
    put32(b, 2, static_cast<std::uint32_t>(b.size()));
    return b;
}

// How to lay out a BMP; the defaults give the plain 54-byte-header form.
struct BmpOptions {
    std::uint32_t info_size = 40;
    std::uint32_t pixel_offset = 0;  // 0: right after the information header
    std::uint16_t bit_count = 24;
    std::uint32_t compression = 0;
    bool top_down = false;      // store a negative height, rows top first
    std::uint8_t padding = 0;   // value of the padding bytes (should not matter)
    std::uint8_t gap_fill = 0;  // bytes between the headers and the pixels
};

// pixel(x, y) gives the pixel at column x of picture row y, counted from the top.
using PixelFn = std::function<Pixel(int, int)>;

inline Bytes make_bmp(int width, int height, const PixelFn& pixel, BmpOptions o = {}) {
    const std::size_t stride = stride_of(width);
    const std::size_t offset = o.pixel_offset ? o.pixel_offset : 14 + o.info_size;
    Bytes b(offset + stride * static_cast<std::size_t>(height), o.gap_fill);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<std::uint32_t>(b.size()));
    put32(b, 6, 0);
    put32(b, 10, static_cast<std::uint32_t>(offset));
    std::fill(b.begin() + 14, b.begin() + 14 + o.info_size, 0);
    put32(b, 14, o.info_size);
    put32(b, 18, static_cast<std::uint32_t>(width));
    put32(b, 22, static_cast<std::uint32_t>(o.top_down ? -height : height));
    put16(b, 26, 1);
    put16(b, 28, o.bit_count);
    put32(b, 30, o.compression);
    put32(b, 34, static_cast<std::uint32_t>(stride * height));
    for (int stored = 0; stored < height; ++stored) {
        const int y = o.top_down ? stored : height - 1 - stored;
        std::uint8_t* row = b.data() + offset + stride * stored;
        for (int x = 0; x < width; ++x) {
            const Pixel p = pixel(x, y);
            row[3 * x] = p.blue;
            row[3 * x + 1] = p.green;
            row[3 * x + 2] = p.red;
        }
        std::fill(row + 3 * width, row + stride, o.padding);
    }
    return b;
}

// The PBM a picture should give: the three header lines, then one token per
// pixel, top row first, a line feed after every 30th token of the file.
inline std::string expected_pbm(int width, int height, const std::function<bool(int, int)>& white) {
    std::string s = "P1\n# Created by Quorvel\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
    long count = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            s += white(x, y) ? "0 " : "1 ";
            if (++count % 30 == 0) s += "\n";
        }
    return s;
}

// A different picture for each thread `t`: two calls that shared a buffer at
// once would mix their rows, and the mix would show in either output.
inline bool thread_white(int t, int x, int y) { return (x * (t + 1) + y) % (t + 2) == 0; }
inline Bytes thread_bmp(int t, int size) {
    return make_bmp(size, size, [t](int x, int y) { return thread_white(t, x, y) ? kWhite : kBlack; });
}
inline std::string thread_pbm(int t, int size) {
    return expected_pbm(size, size, [t](int x, int y) { return thread_white(t, x, y); });
}

// The pixels of a plain PBM's body (the bytes after the height's digits) by
// the reading rules, top row first: white space (SP, TAB, LF, VT, FF, CR) and
// comments ('#' to LF or CR) skipped, every other byte one pixel, '0' white;
// true for white. Pixels the body does not reach are black.
inline std::vector<bool> plain_pixels(const std::string& body, std::size_t count) {
    std::vector<bool> white;
    bool comment = false;
    for (char c : body) {
        if (white.size() == count) break;
        if (comment)
            comment = c != '\n' && c != '\r';
        else if (c == '#')
            comment = true;
        else if (std::string(" \t\n\v\f\r").find(c) == std::string::npos)
            white.push_back(c == '0');
    }
    white.resize(count, false);
    return white;
}

// The threshold rule, stated independently: white when every channel >= 100.
inline bool is_white(Pixel p) { return p.blue >= 100 && p.green >= 100 && p.red >= 100; }

// A fresh directory per test, removed afterwards.
class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // The process in the name: two builds' tests may run at once.
        std::string name =
            std::string("qpbm_") + info->test_suite_name() + "_" + info->name() + "_" + std::to_string(::getpid());
        for (char& c : name)
            if (c == '/') c = '_';
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
inline void write_file(const std::string& path, const std::string& text) {
    write_file(path, Bytes(text.begin(), text.end()));
}
inline Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
inline std::string read_text(const std::string& path) {
    const Bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

inline qpbm::Status convert(qpbm::Direction d, const std::string& in, const std::string& out) {
    qpbm::Facts facts;
    return qpbm::convert_file(d, in.c_str(), out.c_str(), facts);
}

inline const std::string kSentinel = "sentinel: must survive a refused conversion";

}  // namespace qpbm_test

// A plain reference decoder for every BMP variant the library reads, for
// the fuzz targets: palette, masks and RLE, sharing nothing with the library.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_support.hpp"

namespace qpbm_fuzz {

// The picture as the format rules describe it, top row first: whether a
// pixel passes the channels rule, and its luma. Only called on files the
// library accepted.
class Reference {
public:
    Reference(const std::uint8_t* d, std::size_t size) : d_(d), size_(size) {
        const std::uint32_t info = le32(d + 14);
        const bool core = info == 12;
        width_ = core ? le16(d + 18) : static_cast<std::int32_t>(le32(d + 18));
        const std::int32_t stored_height = core ? le16(d + 20) : static_cast<std::int32_t>(le32(d + 22));
        top_down_ = stored_height < 0;
        height_ = std::llabs(stored_height);
        bits_ = core ? le16(d + 24) : le16(d + 28);
        compression_ = core ? 0 : le32(d + 30);
        offset_ = le32(d + 10);
        std::uint64_t after = 14 + static_cast<std::uint64_t>(info);
        if (compression_ == 3 || compression_ == 6) {
            const std::uint64_t at = info >= 52 ? 14 + 40 : after;
            if (info < 52) after += compression_ == 6 ? 16 : 12;
            for (int i = 0; i < 3; ++i) masks_[i] = le32(d + at + 4 * i);
        } else if (bits_ == 16) {
            masks_[0] = 0x7C00, masks_[1] = 0x03E0, masks_[2] = 0x001F;
        } else if (bits_ == 32) {
            masks_[0] = 0xFF0000, masks_[1] = 0xFF00, masks_[2] = 0xFF;
        }
        if (bits_ <= 8) {
            const std::uint32_t used = core ? 0 : le32(d + 46);
            const std::size_t entries = used != 0 ? used : 1u << bits_;
            const std::size_t entry = core ? 3 : 4;
            for (std::size_t i = 0; i < entries; ++i) palette_.push_back(d + after + i * entry);
        }
        if (compression_ == 1 || compression_ == 2) decode_rle();
    }

    std::int64_t width() const { return width_; }
    std::int64_t height() const { return height_; }

    // Every channel reaches `level`: an n-bit channel's value v when
    // v * 255 >= level * (2^n - 1). Indices past the palette are black.
    bool white(std::int64_t x, std::int64_t y, unsigned level = 100) const {
        const Pixel p = pixel(x, y);
        if (p.masked) {
            for (std::uint32_t mask : masks_) {
                const std::uint64_t v = (p.word & mask) >> std::countr_zero(mask);
                const std::uint64_t max = (std::uint64_t{1} << std::popcount(mask)) - 1;
                if (v * 255 < level * max) return false;
            }
            return true;
        }
        return p.bgr[0] >= level && p.bgr[1] >= level && p.bgr[2] >= level;
    }

    // (299 R + 587 G + 114 B) div 1000, an n-bit channel taken to 8 bits as
    // (v * 255 + M div 2) div M with M = 2^n - 1.
    int luma(std::int64_t x, std::int64_t y) const {
        const Pixel p = pixel(x, y);
        std::uint64_t c[3] = {p.bgr[0], p.bgr[1], p.bgr[2]};
        if (p.masked)
            for (int i = 0; i < 3; ++i) {  // masks_ are red, green, blue
                const std::uint32_t mask = masks_[2 - i];
                const std::uint64_t max = (std::uint64_t{1} << std::popcount(mask)) - 1;
                const std::uint64_t v = (p.word & mask) >> std::countr_zero(mask);
                c[i] = (v * 255 + max / 2) / max;
            }
        return static_cast<int>((299 * c[2] + 587 * c[1] + 114 * c[0]) / 1000);
    }

private:
    struct Pixel {
        unsigned bgr[3] = {0, 0, 0};
        bool masked = false;
        std::uint32_t word = 0;
    };

    Pixel pixel(std::int64_t x, std::int64_t y) const {
        const std::int64_t stored = top_down_ ? y : height_ - 1 - y;
        if (compression_ == 1 || compression_ == 2) return index_pixel(rle_[stored * width_ + x]);
        const std::uint64_t stride = (static_cast<std::uint64_t>(width_) * bits_ + 31) / 32 * 4;
        const std::uint8_t* row = d_ + offset_ + static_cast<std::uint64_t>(stored) * stride;
        const std::uint64_t bit = static_cast<std::uint64_t>(x) * bits_;
        Pixel p;
        switch (bits_) {
            case 24: p.bgr[0] = row[3 * x], p.bgr[1] = row[3 * x + 1], p.bgr[2] = row[3 * x + 2]; return p;
            case 16: p.masked = true, p.word = le16(row + 2 * x); return p;
            case 32: p.masked = true, p.word = le32(row + 4 * x); return p;
            default: return index_pixel((row[bit / 8] >> (8 - bits_ - bit % 8)) & ((1u << bits_) - 1));
        }
    }

    Pixel index_pixel(unsigned index) const {
        Pixel p;
        if (index < palette_.size())
            for (int i = 0; i < 3; ++i) p.bgr[i] = palette_[index][i];
        return p;
    }

    // The indices an RLE stream sets, stored rows bottom first; the rest are 0.
    void decode_rle() {
        rle_.assign(static_cast<std::size_t>(width_ * height_), 0);
        const bool rle4 = compression_ == 2;
        std::uint64_t p = offset_;
        std::int64_t x = 0, y = 0;
        auto set = [&](unsigned index) {
            if (x < width_ && y < height_) rle_[y * width_ + x] = static_cast<std::uint8_t>(index);
            ++x;
        };
        while (y < height_ && p + 2 <= size_) {
            const unsigned count = d_[p], value = d_[p + 1];
            p += 2;
            if (count > 0) {
                for (unsigned k = 0; k < count; ++k) set(!rle4 ? value : k % 2 == 0 ? value >> 4 : value & 15);
            } else if (value == 0) {
                x = 0;
                ++y;
            } else if (value == 1) {
                break;
            } else if (value == 2) {
                if (p + 2 > size_) break;
                x += d_[p];
                y += d_[p + 1];
                p += 2;
            } else {
                const std::uint64_t bytes = rle4 ? (value + 1) / 2 : value;
                for (unsigned k = 0; k < value && p + (rle4 ? k / 2 : k) < size_; ++k) {
                    const unsigned b = d_[p + (rle4 ? k / 2 : k)];
                    set(!rle4 ? b : k % 2 == 0 ? b >> 4 : b & 15);
                }
                p += bytes + bytes % 2;
            }
        }
    }

    const std::uint8_t* d_;
    std::size_t size_;
    std::int64_t width_, height_;
    bool top_down_;
    unsigned bits_;
    std::uint32_t compression_;
    std::uint64_t offset_;
    std::uint32_t masks_[3] = {};
    std::vector<const std::uint8_t*> palette_;  // blue, green, red of each entry
    std::vector<std::uint8_t> rle_;
};

}  // namespace qpbm_fuzz

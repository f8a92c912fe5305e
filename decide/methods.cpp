// What every method shares: the widest row each takes, the decider's set-up, the
// packing of decisions into bits, and the whole-row methods' row by row.
// The families: decide/threshold.cpp, decide/diffusion.cpp, decide/local.cpp.
#include "decide/methods.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qpbm {

std::uint64_t max_row_width(const Options& options) {
    if (!needs_whole_rows(options.method)) return 0;
    if (options.method == Method::sauvola)
        return std::min<std::uint64_t>(kMaxRowMethodWidth, kWindowRowsSize / options.window);
    return kMaxRowMethodWidth;
}

Decider::Decider(const Options& options, std::size_t width, std::size_t height, int otsu, MethodBuffers& buffers)
    : method_(options.method),
      invert_(options.invert),
      whole_(needs_whole_rows(options.method)),
      width_(width),
      height_(height),
      b_(buffers) {
    switch (method_) {
        case Method::channels: level_ = kChannelsWhite; break;
        case Method::luma: level_ = options.threshold; break;
        case Method::otsu: level_ = otsu >= 0 ? static_cast<unsigned>(otsu) + 1 : kDefaultLumaThreshold; break;
        default: break;
    }
    if (whole_) {
        for (auto& row : b_.errors) clear_errors(row);
        window_ = options.window;
        radius_ = window_ / 2;
        if (method_ == Method::sauvola) {
            std::memset(b_.column_sums, 0, width * sizeof b_.column_sums[0]);
            std::memset(b_.column_squares, 0, width * sizeof b_.column_squares[0]);
        }
    }
}

// Clears a row of errors as far as the picture's width reaches, margins
// included: only that much is ever used, and touched.
void Decider::clear_errors(std::int32_t* row) const {
    std::memset(row, 0, (width_ + 2 * kDiffusionMargin) * sizeof row[0]);
}

// Inverts the decisions if asked, and clears the bits past the last pixel.
void Decider::finish_bits(std::uint8_t* bits, std::size_t count) const {
    const std::size_t bytes = (count + 7) / 8;
    if (invert_)
        for (std::size_t i = 0; i < bytes; ++i) bits[i] = static_cast<std::uint8_t>(~bits[i]);
    if (count % 8 != 0) bits[bytes - 1] &= static_cast<std::uint8_t>(0xFF00u >> (count % 8));
}

// Packs flags[0, count) into bits, eight to a byte, the first in the highest
// bit: a multiply gathers the low bit of each of eight bytes into the top byte.
void Decider::pack(std::size_t count, std::uint8_t* bits) const {
    constexpr std::uint64_t kGather = 0x8040201008040201ULL;
    std::uint8_t* flags = b_.flags;
    std::memset(flags + count, 0, 8);  // the last group's missing pixels are white
    for (std::size_t g = 0; g < (count + 7) / 8; ++g) {
        // The eight flags as a little-endian word: the first in the lowest byte.
        std::uint64_t x = 0;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&x, flags + 8 * g, sizeof x);
        } else {
            for (unsigned k = 0; k < 8; ++k) x |= static_cast<std::uint64_t>(flags[8 * g + k]) << (8 * k);
        }
        bits[g] = static_cast<std::uint8_t>((x * kGather) >> 56);
    }
    finish_bits(bits, count);
}

bool Decider::push_row(const std::uint8_t* values, BitRowSink& sink) {
    const std::size_t k = pushed_;
    if (method_ != Method::sauvola) {
        if (method_ == Method::floyd_steinberg)
            diffuse_floyd_steinberg(k, values, b_.bits);
        else if (method_ == Method::atkinson)
            diffuse_atkinson(values, b_.bits);
        else
            diffuse_kernel(k, values, b_.bits);
        ++pushed_;
        ++decided_;
        return sink.row(b_.bits, width_);
    }
    // Row k takes the ring slot of row k - W, which no later row's window holds.
    if (k >= window_ && removed_below_ <= k - window_) {
        add_window_row(k - window_, -1);
        removed_below_ = k - window_ + 1;
    }
    std::memcpy(b_.window_rows + (k % window_) * width_, values, width_);
    add_window_row(k, 1);
    ++pushed_;
    // Row y can be decided once row min(y + r, last) is in.
    while (decided_ < height_ && std::min(height_ - 1, decided_ + radius_) <= k) {
        decide_sauvola(decided_, b_.bits);
        ++decided_;
        if (!sink.row(b_.bits, width_)) return false;
    }
    return true;
}

}  // namespace qpbm

// The decision stage: rows of pixel values in, rows of black-and-white bits
// out, top row first. A reader hands over each pixel as one byte: its luma
// Y = (299 R + 587 G + 114 B) div 1000, or, for the channels rule, 255 when
// every channel reaches the threshold and 0 when one does not. The bits go to
// an encoder in the raw PBM's order: the leftmost pixel in the highest bit of
// its byte, 1 black, the bits past the row's end 0.
//
// Per-pixel methods (channels, luma, otsu once its threshold is known, bayer)
// decide any piece of a row that starts on a multiple of 8, so rows of any
// width go through in pieces. Error diffusion and Sauvola need whole rows,
// which bounds the width they take: their state is a few rows wide.
//
// Every bit is fixed by integer arithmetic, so every platform gives the same
// bits. Sauvola's rule, a comparison with a square root, is squared into
// whole numbers; doubles decide it where their rounding cannot matter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffers.hpp"
#include "core/options.hpp"

namespace qpbm {

// Luma, truncated as bilevel conversions elsewhere truncate it.
constexpr unsigned luma(unsigned blue, unsigned green, unsigned red) {
    return (299 * red + 587 * green + 114 * blue) / 1000;
}

// An n-bit channel value v as an 8-bit one, rounded: (v * 255 + M / 2) / M
// with M = 2^n - 1.
constexpr unsigned channel_to_8bit(std::uint64_t v, unsigned bits) {
    const std::uint64_t max = (std::uint64_t{1} << bits) - 1;
    return static_cast<unsigned>((v * 255 + max / 2) / max);
}

// The value a reader gives a pixel for the channels rule.
inline constexpr std::uint8_t kChannelsWhite = 255;
inline constexpr std::uint8_t kChannelsBlack = 0;

// Otsu compares sums of up to 2^40 pixels exactly in 256 bits.
inline constexpr std::uint64_t kMaxOtsuPixels = std::uint64_t{1} << 40;

// The widest row the method takes; 0 for any width.
std::uint64_t max_row_width(const Options& options);

// Otsu's threshold t over Y's histogram: the t in 0..254 that splits the
// pixels into two non-empty classes {Y <= t} and {Y > t} with the largest
// (N1 S0 - N0 S1)^2 / (N0 N1), the smallest t on a tie; -1 when no t splits
// them (a single value).
int otsu_threshold(const std::uint64_t (&histogram)[256]);

// Adds the values of a piece of a row (at most kMaxRowMethodWidth) to the histogram.
void add_to_histogram(const std::uint8_t* values, std::size_t count, MethodBuffers& buffers);

// Where decided rows go, top first.
class BitRowSink {
public:
    virtual bool row(const std::uint8_t* bits, std::size_t width) = 0;

protected:
    ~BitRowSink() = default;
};

class Decider {
public:
    // `otsu` is the threshold otsu_threshold gave, for the otsu method.
    Decider(const Options& options, std::size_t width, std::size_t height, int otsu, MethodBuffers& buffers);

    bool whole_rows() const { return whole_; }

    // Per-pixel methods: decides pixels [first, first + count) of row y
    // (first a multiple of 8) from values[0, count) into bits.
    void decide(std::size_t y, std::size_t first, const std::uint8_t* values, std::size_t count,
                std::uint8_t* bits) const;

    // Whole-row methods: takes the next row's values (all `width` of them)
    // and passes every row it can now decide to the sink. After the last
    // row, every row has been passed on. False when the sink fails.
    bool push_row(const std::uint8_t* values, BitRowSink& sink);

private:
    void diffuse_floyd_steinberg(std::size_t y, const std::uint8_t* values, std::uint8_t* bits);
    void diffuse_atkinson(const std::uint8_t* values, std::uint8_t* bits);
    void diffuse_kernel(std::size_t y, const std::uint8_t* values, std::uint8_t* bits);
    void decide_sauvola(std::size_t y, std::uint8_t* bits);
    void add_window_row(std::size_t k, int sign);
    void finish_bits(std::uint8_t* bits, std::size_t count) const;
    void clear_errors(std::int32_t* row) const;
    void pack(std::size_t count, std::uint8_t* bits) const;

    Method method_;
    bool invert_;
    bool whole_;
    unsigned level_ = 0;  // per-pixel methods: white when the value reaches it
    std::size_t width_, height_;
    std::size_t window_ = 0, radius_ = 0;
    std::size_t pushed_ = 0;         // rows taken
    std::size_t decided_ = 0;        // rows passed on
    std::size_t removed_below_ = 0;  // Sauvola: rows above this are out of the column sums
    bool grainy_ = false;            // Sauvola: the last row's paper left most blocks to the full rule
    MethodBuffers& b_;
};

}  // namespace qpbm

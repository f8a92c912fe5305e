#include "convert/methods.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qpbm {

namespace {

// ---- Bayer ------------------------------------------------------------------

// The 8 x 8 Bayer matrix, grown from M2 = [[0, 2], [3, 1]] by
// M2n[i][j] = 4 Mn[i mod n][j mod n] + M2[i div n][j div n].
struct BayerMatrix {
    unsigned m[8][8];
};

constexpr BayerMatrix make_bayer() {
    constexpr unsigned m2[2][2] = {{0, 2}, {3, 1}};
    BayerMatrix b{};
    unsigned prev[8][8] = {{0, 2}, {3, 1}};
    for (unsigned n = 2; n < 8; n *= 2) {
        unsigned next[8][8] = {};
        for (unsigned i = 0; i < 2 * n; ++i)
            for (unsigned j = 0; j < 2 * n; ++j) next[i][j] = 4 * prev[i % n][j % n] + m2[i / n][j / n];
        for (unsigned i = 0; i < 8; ++i)
            for (unsigned j = 0; j < 8; ++j) prev[i][j] = next[i][j];
    }
    for (unsigned i = 0; i < 8; ++i)
        for (unsigned j = 0; j < 8; ++j) b.m[i][j] = prev[i][j];
    return b;
}

constexpr BayerMatrix kBayer = make_bayer();
static_assert(kBayer.m[0][0] == 0 && kBayer.m[0][1] == 32 && kBayer.m[1][1] == 16 && kBayer.m[7][7] == 21);

// A pixel is white when its Y reaches 4 M + 2: levels 2, 6, ... 254.
constexpr unsigned bayer_level(std::size_t y, std::size_t x) { return 4 * kBayer.m[y % 8][x % 8] + 2; }

// ---- Error diffusion ------------------------------------------------------

// Errors are kept in sixteenths of a level: s = 16 Y + E is white from
// 16 * 128 on, and white stands for 16 * 255.
constexpr std::int32_t kErrorScale = 16;
constexpr std::int32_t kWhiteFrom = kErrorScale * 128;
constexpr std::int32_t kWhiteValue = kErrorScale * 255;

// ---- Otsu: exact comparison of fractions of up to 256 bits ------------------

struct Big {
    std::uint32_t limb[8] = {};  // least significant first
};

Big big(std::uint64_t v) {
    Big b;
    b.limb[0] = static_cast<std::uint32_t>(v);
    b.limb[1] = static_cast<std::uint32_t>(v >> 32);
    return b;
}

// a * b, which the callers keep below 2^256.
Big multiply(const Big& a, const Big& b) {
    Big r;
    for (int i = 0; i < 8; ++i) {
        std::uint64_t carry = 0;
        for (int j = 0; i + j < 8; ++j) {
            const std::uint64_t t = static_cast<std::uint64_t>(a.limb[i]) * b.limb[j] + r.limb[i + j] + carry;
            r.limb[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
    }
    return r;
}

int compare(const Big& a, const Big& b) {
    for (int i = 7; i >= 0; --i)
        if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i] ? -1 : 1;
    return 0;
}

// |a - b|
Big distance(const Big& a, const Big& b) {
    const bool swap = compare(a, b) < 0;
    const Big& hi = swap ? b : a;
    const Big& lo = swap ? a : b;
    Big r;
    std::int64_t borrow = 0;
    for (int i = 0; i < 8; ++i) {
        const std::int64_t t = static_cast<std::int64_t>(hi.limb[i]) - lo.limb[i] - borrow;
        borrow = t < 0 ? 1 : 0;
        r.limb[i] = static_cast<std::uint32_t>(t + (borrow << 32));
    }
    return r;
}

// N and S below 2^40 and 2^48: products below 2^88, their squares below
// 2^176, and those times N0 N1 (below 2^80) below 2^256.
Big product(std::uint64_t a, std::uint64_t b) { return multiply(big(a), big(b)); }

}  // namespace

int otsu_threshold(const std::uint64_t (&histogram)[256]) {
    std::uint64_t n = 0, s = 0;
    for (unsigned y = 0; y < 256; ++y) {
        n += histogram[y];
        s += y * histogram[y];
    }
    int best = -1;
    Big best_square, best_count;
    std::uint64_t n0 = 0, s0 = 0;
    for (unsigned t = 0; t < 255; ++t) {
        n0 += histogram[t];
        s0 += t * histogram[t];
        const std::uint64_t n1 = n - n0, s1 = s - s0;
        if (n0 == 0 || n1 == 0) continue;
        const Big d = distance(product(n1, s0), product(n0, s1));
        const Big square = multiply(d, d);
        const Big count = product(n0, n1);
        // square / count > best_square / best_count, without dividing.
        if (best < 0 || compare(multiply(square, best_count), multiply(best_square, count)) > 0) {
            best = static_cast<int>(t);
            best_square = square;
            best_count = count;
        }
    }
    return best;
}

std::uint64_t max_row_width(const Options& options) {
    if (!needs_whole_rows(options.method)) return 0;
    if (options.method == Method::sauvola) return std::min<std::uint64_t>(kMaxRowMethodWidth, kWindowRowsSize / options.window);
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
        std::memset(b_.errors, 0, sizeof b_.errors);
        window_ = options.window;
        radius_ = window_ / 2;
        if (method_ == Method::sauvola) {
            std::memset(b_.column_sums, 0, width * sizeof b_.column_sums[0]);
            std::memset(b_.column_squares, 0, width * sizeof b_.column_squares[0]);
        }
    }
}

// Inverts the decisions if asked, and clears the bits past the last pixel.
void Decider::finish_bits(std::uint8_t* bits, std::size_t count) const {
    const std::size_t bytes = (count + 7) / 8;
    if (invert_)
        for (std::size_t i = 0; i < bytes; ++i) bits[i] = static_cast<std::uint8_t>(~bits[i]);
    if (count % 8 != 0) bits[bytes - 1] &= static_cast<std::uint8_t>(0xFF00u >> (count % 8));
}

void Decider::decide(std::size_t y, std::size_t first, const std::uint8_t* values, std::size_t count,
                     std::uint8_t* bits) const {
    // The level of each column of a group of eight: all the same but for Bayer.
    unsigned levels[8];
    for (unsigned k = 0; k < 8; ++k) levels[k] = method_ == Method::bayer ? bayer_level(y, first + k) : level_;
    const std::size_t whole = count / 8;
    for (std::size_t g = 0; g < whole; ++g) {
        const std::uint8_t* v = values + 8 * g;
        unsigned byte = 0;
        for (unsigned k = 0; k < 8; ++k) byte = (byte << 1) | (v[k] < levels[k] ? 1u : 0u);
        bits[g] = static_cast<std::uint8_t>(byte);
    }
    if (count % 8 != 0) {
        unsigned byte = 0;
        for (unsigned k = 0; k < 8; ++k)
            byte = (byte << 1) | (k < count % 8 && values[8 * whole + k] < levels[k] ? 1u : 0u);
        bits[whole] = static_cast<std::uint8_t>(byte);
    }
    finish_bits(bits, count);
}

// Serpentine: even rows left to right, odd rows right to left, the error
// going 7/16 ahead, 3/16 behind below, 5/16 below and the rest ahead below.
void Decider::diffuse_floyd_steinberg(std::size_t y, const std::uint8_t* values, std::uint8_t* bits) {
    std::int32_t* here = b_.errors[y % 2] + kDiffusionMargin;
    std::int32_t* below = b_.errors[(y + 1) % 2] + kDiffusionMargin;
    const std::ptrdiff_t d = y % 2 == 0 ? 1 : -1;
    std::memset(bits, 0, (width_ + 7) / 8);
    for (std::size_t step = 0; step < width_; ++step) {
        const std::ptrdiff_t x = d > 0 ? static_cast<std::ptrdiff_t>(step) : static_cast<std::ptrdiff_t>(width_ - 1 - step);
        const std::int32_t s = kErrorScale * values[x] + here[x];
        const bool white = s >= kWhiteFrom;
        const std::int32_t e = s - (white ? kWhiteValue : 0);
        const std::int32_t a = (7 * e) >> 4, b = (3 * e) >> 4, c = (5 * e) >> 4;
        here[x + d] += a;
        below[x - d] += b;
        below[x] += c;
        below[x + d] += e - a - b - c;
        if (!white) bits[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
    }
    // This row's errors are used up: the row two below starts from zero.
    std::memset(b_.errors[y % 2], 0, sizeof b_.errors[0]);
}

// Every row left to right; an eighth of the error to each of six pixels and
// the rest dropped.
void Decider::diffuse_atkinson(const std::uint8_t* values, std::uint8_t* bits) {
    const std::size_t y = pushed_;
    std::int32_t* e0 = b_.errors[y % 3] + kDiffusionMargin;
    std::int32_t* e1 = b_.errors[(y + 1) % 3] + kDiffusionMargin;
    std::int32_t* e2 = b_.errors[(y + 2) % 3] + kDiffusionMargin;
    std::memset(bits, 0, (width_ + 7) / 8);
    for (std::size_t ux = 0; ux < width_; ++ux) {
        const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(ux);
        const std::int32_t s = kErrorScale * values[x] + e0[x];
        const bool white = s >= kWhiteFrom;
        const std::int32_t q = (s - (white ? kWhiteValue : 0)) >> 3;
        e0[x + 1] += q;
        e0[x + 2] += q;
        e1[x - 1] += q;
        e1[x] += q;
        e1[x + 1] += q;
        e2[x] += q;
        if (!white) bits[ux / 8] |= static_cast<std::uint8_t>(0x80u >> (ux % 8));
    }
    std::memset(b_.errors[y % 3], 0, sizeof b_.errors[0]);
}

// Adds row k of the window (sign 1) to the column sums, or takes it out (-1).
void Decider::add_window_row(std::size_t k, int sign) {
    const std::uint8_t* row = b_.window_rows + (k % window_) * width_;
    for (std::size_t x = 0; x < width_; ++x) {
        const std::uint32_t v = row[x];
        if (sign > 0) {
            b_.column_sums[x] += v;
            b_.column_squares[x] += v * v;
        } else {
            b_.column_sums[x] -= v;
            b_.column_squares[x] -= v * v;
        }
    }
}

// The window of row y is rows [y - r, y + r] and, for each pixel, columns
// [x - r, x + r], both clipped to the picture: m is the mean of Y there,
// s its standard deviation, and a pixel is white above m (1 + 0.2 (s / 128 - 1)).
void Decider::decide_sauvola(std::size_t y, std::uint8_t* bits) {
    constexpr double kSensitivity = 0.2;
    constexpr double kDynamicRange = 128.0;
    const std::size_t r = radius_;
    const std::size_t lo = y >= r ? y - r : 0;
    const std::size_t hi = std::min(height_ - 1, y + r);
    while (removed_below_ < lo) add_window_row(removed_below_++, -1);
    const std::uint64_t rows = hi - lo + 1;
    const std::uint8_t* luma_row = b_.window_rows + (y % window_) * width_;

    std::uint64_t sum = 0, squares = 0;
    for (std::size_t c = 0; c <= std::min(width_ - 1, r); ++c) {
        sum += b_.column_sums[c];
        squares += b_.column_squares[c];
    }
    std::memset(bits, 0, (width_ + 7) / 8);
    for (std::size_t x = 0; x < width_; ++x) {
        const std::size_t left = x >= r ? x - r : 0;
        const std::size_t right = std::min(width_ - 1, x + r);
        const double n = static_cast<double>(rows * (right - left + 1));
        const double m = static_cast<double>(sum) / n;
        const double variance = static_cast<double>(squares) / n - m * m;
        const double s = variance > 0 ? std::sqrt(variance) : 0.0;
        const double t = m * (1.0 + kSensitivity * (s / kDynamicRange - 1.0));
        if (!(luma_row[x] > t)) bits[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
        if (x + r + 1 < width_) {
            sum += b_.column_sums[x + r + 1];
            squares += b_.column_squares[x + r + 1];
        }
        if (x >= r) {
            sum -= b_.column_sums[x - r];
            squares -= b_.column_squares[x - r];
        }
    }
}

bool Decider::push_row(const std::uint8_t* values, BitRowSink& sink) {
    const std::size_t k = pushed_;
    if (method_ != Method::sauvola) {
        if (method_ == Method::floyd_steinberg)
            diffuse_floyd_steinberg(k, values, b_.bits);
        else
            diffuse_atkinson(values, b_.bits);
        ++pushed_;
        ++decided_;
        finish_bits(b_.bits, width_);
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
        finish_bits(b_.bits, width_);
        ++decided_;
        if (!sink.row(b_.bits, width_)) return false;
    }
    return true;
}

}  // namespace qpbm

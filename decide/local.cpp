// Sauvola's local threshold, from the mean and deviation of a window.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/vector_paths.hpp"
#include "decide/methods.hpp"

#if QPBM_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

namespace qpbm {

namespace {

// ---- Sauvola ---------------------------------------------------------------

// A whole number below 2^52 as a double, exactly: placed in the mantissa of
// 2^52 and 2^52 taken away. Unlike a conversion of a 64-bit integer, this
// vectorises without AVX-512.
QPBM_LOOP_BODY double exact_double(std::uint64_t v) {
    constexpr std::uint64_t kTwo52Bits = 0x4330000000000000ULL;
    constexpr double kTwo52 = 4503599627370496.0;
    const std::uint64_t bits = v | kTwo52Bits;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d - kTwo52;
}

// With n pixels in the window and S1, S2 the sums of Y and of Y^2 there,
// m = S1 / n and s = sqrt(D) / n with D = n S2 - S1^2 (never negative). So
// Y > m (1 + 0.2 (s / 128 - 1)) = m (0.8 + s / 640), times 640 n^2, reads
// L > S1 sqrt(D) with L = 640 n^2 Y - 512 n S1: white iff L > 0 and
// L^2 > S1^2 D. Every term is a whole number, so the rule is decided exactly,
// ties included, and every platform gives the same bits.
//
// L and D are below 2^51 and thus exact as doubles; L^2 and S1^2 D (below
// 2^102) are rounded once each. When they differ by more than 2^-48 of
// S1^2 D, which covers those roundings many times over, the doubles decide;
// the rest (in practice, exact ties) are left for whole numbers.
constexpr std::uint8_t kUndecided = 2;

// flags[i] = 0 (white), 1 (black) or kUndecided, from the window sums (the
// differences of two prefix sums) over `count` pixels. Vectorised.
QPBM_LOOP_BODY void sauvola_rule(const std::uint8_t* luma_row, const std::uint32_t* sum_hi, const std::uint32_t* sum_lo,
                                 const std::uint32_t* square_hi, const std::uint32_t* square_lo, std::uint32_t count,
                                 std::size_t n, std::uint8_t* flags) {
    constexpr double kAbove = 1.0 + 0x1p-48, kBelow = 1.0 - 0x1p-48;
    const double pixels = count;
    const double luma_weight = 640.0 * pixels * pixels;  // below 2^42
    const double sum_weight = 512.0 * pixels;
    for (std::size_t i = 0; i < n; ++i) {
        const double sum = exact_double(std::uint32_t{sum_hi[i] - sum_lo[i]});
        const double squares = exact_double(std::uint32_t{square_hi[i] - square_lo[i]});
        const double lead = luma_weight * luma_row[i] - sum_weight * sum;
        const double sum_squared = sum * sum;
        const double right = sum_squared * (pixels * squares - sum_squared);
        const double left = lead * lead;
        const unsigned white = (lead > 0) & (left > right * kAbove);
        const unsigned black = (lead <= 0) | (left < right * kBelow);
        flags[i] = static_cast<std::uint8_t>((1 - white) + (1 - white - black));
    }
}

QPBM_TARGET_AVX2 void sauvola_rule_avx2(const std::uint8_t* luma_row, const std::uint32_t* sum_hi,
                                        const std::uint32_t* sum_lo, const std::uint32_t* square_hi,
                                        const std::uint32_t* square_lo, std::uint32_t count, std::size_t n,
                                        std::uint8_t* flags) {
    sauvola_rule(luma_row, sum_hi, sum_lo, square_hi, square_lo, count, n, flags);
}

// Most pixels need none of that. As s is at most 127.5 (half the range), the
// threshold m (0.8 + s / 640) lies in [0.8 m, m): a pixel at or above the
// mean is white (unless the window is all black, m = 0) and one at or below
// 0.8 m black; only the pixels between are left undecided here. In whole
// numbers, below 2^27 for a window of up to 255 x 255.
QPBM_LOOP_BODY void sauvola_bounds(const std::uint8_t* luma_row, const std::uint32_t* sum_hi,
                                   const std::uint32_t* sum_lo, std::uint32_t count, std::size_t n,
                                   std::uint8_t* flags) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t sum = sum_hi[i] - sum_lo[i];
        const std::uint32_t scaled = count * luma_row[i];
        const unsigned white = (scaled >= sum) & (sum != 0);
        const unsigned black = 5 * scaled <= 4 * sum;
        flags[i] = static_cast<std::uint8_t>((1 - white) + (1 - white - black));
    }
}

QPBM_TARGET_AVX2 void sauvola_bounds_avx2(const std::uint8_t* luma_row, const std::uint32_t* sum_hi,
                                          const std::uint32_t* sum_lo, std::uint32_t count, std::size_t n,
                                          std::uint8_t* flags) {
    sauvola_bounds(luma_row, sum_hi, sum_lo, count, n, flags);
}

// a * b in 128 bits, as high and low halves.
struct Wide {
    std::uint64_t high, low;
};

Wide multiply_wide(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t kLow = 0xFFFFFFFF;
    const std::uint64_t ll = (a & kLow) * (b & kLow), lh = (a & kLow) * (b >> 32);
    const std::uint64_t hl = (a >> 32) * (b & kLow), hh = (a >> 32) * (b >> 32);
    const std::uint64_t middle = (ll >> 32) + (lh & kLow) + (hl & kLow);
    return {hh + (lh >> 32) + (hl >> 32) + (middle >> 32), (middle << 32) | (ll & kLow)};
}

// The rule in whole numbers, for a pixel the doubles left undecided.
bool sauvola_white(std::uint64_t y, std::uint64_t count, std::uint64_t sum, std::uint64_t squares) {
    const std::uint64_t luma_part = 640 * count * count * y;  // below 2^50
    const std::uint64_t sum_part = 512 * count * sum;         // below 2^49
    if (luma_part <= sum_part) return false;
    const std::uint64_t lead = luma_part - sum_part;
    const Wide left = multiply_wide(lead, lead);
    const Wide right = multiply_wide(sum * sum, count * squares - sum * sum);
    return left.high != right.high ? left.high > right.high : left.low > right.low;
}

// How a span is decided: by the bounds first, then the rule in doubles for
// each block they left a pixel of (clean paper: few are); or by the rule
// alone, which costs less where grain on the paper leaves most blocks open.
enum class SpanWay { bounds_first, rule_alone };

// Decides flags[0, n), the rule in whole numbers for exact ties. Returns
// whether most of the span needed the rule (always, by the rule alone).
bool sauvola_span(const std::uint8_t* luma_row, const std::uint32_t* sum_hi, const std::uint32_t* sum_lo,
                  const std::uint32_t* square_hi, const std::uint32_t* square_lo, std::uint32_t count, std::size_t n,
                  std::uint8_t* flags, SpanWay way) {
    const bool avx2 = use_avx2_path();
    const auto rule = [&](std::size_t i, std::size_t m) {
        if (avx2)
            sauvola_rule_avx2(luma_row + i, sum_hi + i, sum_lo + i, square_hi + i, square_lo + i, count, m, flags + i);
        else
            sauvola_rule(luma_row + i, sum_hi + i, sum_lo + i, square_hi + i, square_lo + i, count, m, flags + i);
    };
    constexpr std::size_t kBlock = 64;
    bool grainy = true;
    if (way == SpanWay::rule_alone) {
        rule(0, n);
    } else {
        if (avx2)
            sauvola_bounds_avx2(luma_row, sum_hi, sum_lo, count, n, flags);
        else
            sauvola_bounds(luma_row, sum_hi, sum_lo, count, n, flags);
        std::size_t open = 0;
        for (std::size_t i = 0; i < n; i += kBlock)
            open += std::memchr(flags + i, kUndecided, std::min(kBlock, n - i)) != nullptr;
        grainy = open * kBlock * 2 > n;
        if (grainy) {
            rule(0, n);
        } else if (open != 0) {
            for (std::size_t i = 0; i < n; i += kBlock) {
                const std::size_t m = std::min(kBlock, n - i);
                if (std::memchr(flags + i, kUndecided, m) != nullptr) rule(i, m);
            }
        }
    }
    std::uint8_t* const end = flags + n;
    for (std::uint8_t* at = flags;
         (at = static_cast<std::uint8_t*>(std::memchr(at, kUndecided, static_cast<std::size_t>(end - at)))) != nullptr;
         ++at) {
        const std::size_t i = static_cast<std::size_t>(at - flags);
        *at = !sauvola_white(luma_row[i], count, std::uint32_t{sum_hi[i] - sum_lo[i]},
                             std::uint32_t{square_hi[i] - square_lo[i]});
    }
    return grainy;
}

// Adds a row of Y to the sums of Y and Y^2 down each column, or takes it out.
QPBM_LOOP_BODY void update_columns(const std::uint8_t* row, bool add, std::uint32_t* sums, std::uint32_t* squares,
                                   std::size_t n) {
    if (add) {
        for (std::size_t x = 0; x < n; ++x) {
            const std::uint32_t v = row[x];
            sums[x] += v;
            squares[x] += v * v;
        }
    } else {
        for (std::size_t x = 0; x < n; ++x) {
            const std::uint32_t v = row[x];
            sums[x] -= v;
            squares[x] -= v * v;
        }
    }
}

QPBM_TARGET_AVX2 void update_columns_avx2(const std::uint8_t* row, bool add, std::uint32_t* sums,
                                          std::uint32_t* squares, std::size_t n) {
    update_columns(row, add, sums, squares, n);
}

// out[0] = 0 and out[x + 1] = out[x] + in[x], modulo 2^32: a window's sum,
// below 2^32, is still the difference of two of them.
void prefix_sums_portable(const std::uint32_t* in, std::size_t n, std::uint32_t* out) {
    std::uint32_t total = 0;
    out[0] = 0;
    for (std::size_t x = 0; x < n; ++x) out[x + 1] = total += in[x];
}

#if QPBM_HAVE_AVX2_PATH
// Eight at a time: the sums within each half, then the low half's total
// added to the high half, then the total before the eight to all of them.
// Only that total links one step to the next, by one addition.
QPBM_TARGET_AVX2 void prefix_sums_avx2(const std::uint32_t* in, std::size_t n, std::uint32_t* out) {
    const __m256i last_of_low = _mm256_set1_epi32(3), last = _mm256_set1_epi32(7);
    __m256i total = _mm256_setzero_si256();
    out[0] = 0;
    std::size_t x = 0;
    for (; x + 8 <= n; x += 8) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x));
        v = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
        v = _mm256_add_epi32(v, _mm256_slli_si256(v, 8));
        const __m256i low_total = _mm256_permutevar8x32_epi32(v, last_of_low);
        v = _mm256_add_epi32(v, _mm256_blend_epi32(_mm256_setzero_si256(), low_total, 0xF0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x + 1), _mm256_add_epi32(v, total));
        total = _mm256_add_epi32(total, _mm256_permutevar8x32_epi32(v, last));
    }
    for (; x < n; ++x) out[x + 1] = out[x] + in[x];
}
#endif

void prefix_sums(const std::uint32_t* in, std::size_t n, std::uint32_t* out) {
#if QPBM_HAVE_AVX2_PATH
    if (use_avx2_path()) return prefix_sums_avx2(in, n, out);
#endif
    prefix_sums_portable(in, n, out);
}

}  // namespace

// Adds row k of the window (sign 1) to the column sums, or takes it out (-1).
void Decider::add_window_row(std::size_t k, int sign) {
    const std::uint8_t* row = b_.window_rows + (k % window_) * width_;
    if (use_avx2_path())
        update_columns_avx2(row, sign > 0, b_.column_sums, b_.column_squares, width_);
    else
        update_columns(row, sign > 0, b_.column_sums, b_.column_squares, width_);
}

// The window of row y is rows [y - r, y + r] and, for each pixel, columns
// [x - r, x + r], both clipped to the picture: m is the mean of Y there,
// s its standard deviation, and a pixel is white above m (1 + 0.2 (s / 128 - 1)).
// The column sums are added up along the row first, so that a window's sum
// is the difference of two of them; the pixels whose window the picture's
// sides do not clip then share one count and go through in one vectorised run.
void Decider::decide_sauvola(std::size_t y, std::uint8_t* bits) {
    const std::size_t r = radius_, w = width_;
    const std::size_t lo = y >= r ? y - r : 0;
    const std::size_t hi = std::min(height_ - 1, y + r);
    while (removed_below_ < lo) add_window_row(removed_below_++, -1);
    const std::size_t rows = hi - lo + 1;
    const std::uint8_t* luma_row = b_.window_rows + (y % window_) * w;
    std::uint32_t* ps = b_.prefix_sums;
    std::uint32_t* pq = b_.prefix_squares;
    prefix_sums(b_.column_sums, w, ps);
    prefix_sums(b_.column_squares, w, pq);
    auto clipped = [&](std::size_t x) {
        const std::size_t left = x >= r ? x - r : 0;
        const std::size_t right = std::min(w - 1, x + r);
        sauvola_span(luma_row + x, ps + right + 1, ps + left, pq + right + 1, pq + left,
                     static_cast<std::uint32_t>(rows * (right - left + 1)), 1, b_.flags + x, SpanWay::rule_alone);
    };
    const std::size_t middle_begin = std::min(r, w);
    const std::size_t middle_end = std::max(middle_begin, w > r ? w - r : 0);
    for (std::size_t x = 0; x < middle_begin; ++x) clipped(x);
    // A grainy row is likely followed by another: the bounds are tried
    // again every kGrainCheck rows only.
    constexpr std::size_t kGrainCheck = 8;
    if (middle_end > middle_begin)
        grainy_ = sauvola_span(
            luma_row + middle_begin, ps + middle_begin + r + 1, ps + middle_begin - r, pq + middle_begin + r + 1,
            pq + middle_begin - r, static_cast<std::uint32_t>(rows * window_), middle_end - middle_begin,
            b_.flags + middle_begin, grainy_ && y % kGrainCheck != 0 ? SpanWay::rule_alone : SpanWay::bounds_first);
    for (std::size_t x = middle_end; x < w; ++x) clipped(x);
    pack(w, bits);
}

}  // namespace qpbm

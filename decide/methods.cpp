#include "decide/methods.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/vector_paths.hpp"

#if QPBM_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

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
// 7/16 of the white value, whole: so (7 (s - white)) >> 4 = ((7 s) >> 4) - kWhiteAhead.
constexpr std::int32_t kWhiteAhead = 7 * kWhiteValue / 16;
static_assert(7 * kWhiteValue % 16 == 0);

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

void sauvola_span(const std::uint8_t* luma_row, const std::uint32_t* sum_hi, const std::uint32_t* sum_lo,
                  const std::uint32_t* square_hi, const std::uint32_t* square_lo, std::uint32_t count, std::size_t n,
                  std::uint8_t* flags) {
    if (use_avx2_path())
        sauvola_rule_avx2(luma_row, sum_hi, sum_lo, square_hi, square_lo, count, n, flags);
    else
        sauvola_rule(luma_row, sum_hi, sum_lo, square_hi, square_lo, count, n, flags);
    std::uint8_t* const end = flags + n;
    for (std::uint8_t* at = flags;
         (at = static_cast<std::uint8_t*>(std::memchr(at, kUndecided, static_cast<std::size_t>(end - at)))) != nullptr;
         ++at) {
        const std::size_t i = static_cast<std::size_t>(at - flags);
        *at = !sauvola_white(luma_row[i], count, std::uint32_t{sum_hi[i] - sum_lo[i]},
                             std::uint32_t{square_hi[i] - square_lo[i]});
    }
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

void Decider::decide(std::size_t y, std::size_t first, const std::uint8_t* values, std::size_t count,
                     std::uint8_t* bits) const {
    std::uint8_t* flags = b_.flags;
    if (method_ == Method::bayer) {
        // The levels of a row repeat every 8 pixels; pieces start on a multiple of 8.
        constexpr std::size_t kSpan = 32;
        std::uint8_t levels[kSpan];
        for (std::size_t k = 0; k < kSpan; ++k) levels[k] = static_cast<std::uint8_t>(bayer_level(y, first + k));
        std::size_t i = 0;
        for (; i + kSpan <= count; i += kSpan)
            for (std::size_t k = 0; k < kSpan; ++k) flags[i + k] = values[i + k] < levels[k];
        for (; i < count; ++i) flags[i] = values[i] < levels[i % kSpan];
    } else if (level_ == 0 || level_ > 255) {
        std::memset(flags, level_ == 0 ? 0 : 1, count);
    } else {
        const std::uint8_t level = static_cast<std::uint8_t>(level_);
        for (std::size_t i = 0; i < count; ++i) flags[i] = values[i] < level;
    }
    pack(count, bits);
}

// One row of Floyd-Steinberg in direction D (+1 or -1): the error goes 7/16
// ahead, 3/16 behind below, 5/16 below and the rest ahead below. Only the
// share ahead links a pixel to the next, so the row is decided first with
// that share alone, and the row below is made afterwards in a pass without a
// chain, which vectorises.
namespace {

// a when `value` reaches `limit`, else b. On x86-64 a compare and a cmov,
// written out: the choice follows a dithered grey's pixels, which defeats
// any branch predictor, and the compiler may otherwise choose to branch.
inline std::int32_t choose(std::int32_t value, std::int32_t limit, std::int32_t a, std::int32_t b) {
#if defined(__GNUC__) && defined(__x86_64__)
    __asm__("cmpl %2, %1\n\tcmovge %3, %0" : "+r"(b) : "r"(value), "ir"(limit), "r"(a) : "cc");
    return b;
#else
    return value >= limit ? a : b;
#endif
}

// The loop carries q = 7 s rather than s: the share ahead is
// (7 e) >> 4 = (q >> 4) - 1785 when white, so the next pixel's
// q = 7 (16 Y + E) + 7 (q >> 4), less 7 x 1785 after a white pixel. The
// chain from one q to the next is then a shift, a multiply by 7 (two steps)
// and an addition, with the compare and select beside it. Each pixel's q is
// kept for the row below, with its decision.
template <int D>
void floyd_steinberg_row(std::int32_t* sevens, std::ptrdiff_t w) {
    constexpr std::int32_t kWhiteFromSevens = 7 * kWhiteFrom;
    std::ptrdiff_t x = D > 0 ? 0 : w - 1;
    std::int32_t q = sevens[x];
    for (std::ptrdiff_t left = w - 1; left > 0; --left) {
        const std::int32_t next = sevens[x + D];
        sevens[x] = q;
        q = choose(q, kWhiteFromSevens, next - 7 * kWhiteAhead, next) + 7 * (q >> 4);
        x += D;
    }
    sevens[x] = q;
}

// 7 (16 Y + E) of each pixel of a row, before the share ahead.
QPBM_LOOP_BODY void floyd_steinberg_bases(const std::uint8_t* values, const std::int32_t* here, std::int32_t* sevens,
                                          std::size_t w) {
    for (std::size_t x = 0; x < w; ++x) sevens[x] = 7 * (kErrorScale * values[x] + here[x]);
}

// below[x]: 3/16 of the error of the pixel after x in the row's direction
// (`later`), 5/16 of x's own, and what the pixel before it (`earlier`) has
// left after its 7/16, 3/16 and 5/16. The same integer sums the pixels'
// shares make one by one, in another order.
QPBM_LOOP_BODY void floyd_steinberg_below_rule(const std::int32_t* earlier, const std::int32_t* own,
                                               const std::int32_t* later, std::int32_t* below, std::size_t w) {
    for (std::size_t x = 0; x < w; ++x) {
        const std::int32_t e = earlier[x];
        const std::int32_t rest = e - ((7 * e) >> 4) - ((3 * e) >> 4) - ((5 * e) >> 4);
        below[x] = rest + ((5 * own[x]) >> 4) + ((3 * later[x]) >> 4);
    }
}

// Turns a row's q = 7 s into errors e = s, less 4080 for a white pixel, and
// decisions: s = q x 7^-1 modulo 2^32, exact since q is a multiple of 7.
QPBM_LOOP_BODY void errors_from_sevens(std::int32_t* row, std::uint8_t* flags, std::size_t w) {
    constexpr std::uint32_t kInverseOfSeven = 0xB6DB6DB7;
    static_assert(std::uint32_t{7} * kInverseOfSeven == 1);
    for (std::size_t x = 0; x < w; ++x) {
        const auto s = static_cast<std::int32_t>(static_cast<std::uint32_t>(row[x]) * kInverseOfSeven);
        flags[x] = s < kWhiteFrom;
        row[x] = s - (s >= kWhiteFrom ? kWhiteValue : 0);
    }
}

// After the serial loop: the decisions and the row below, from this row's q
// in direction d.
QPBM_LOOP_BODY void floyd_steinberg_after(std::int32_t* errors, int d, std::int32_t* below, std::uint8_t* flags,
                                          std::size_t w) {
    errors_from_sevens(errors, flags, w);
    errors[-1] = errors[w] = 0;
    floyd_steinberg_below_rule(errors - d, errors, errors + d, below, w);
}

QPBM_TARGET_AVX2 void floyd_steinberg_bases_avx2(const std::uint8_t* values, const std::int32_t* here,
                                                 std::int32_t* sevens, std::size_t w) {
    floyd_steinberg_bases(values, here, sevens, w);
}

QPBM_TARGET_AVX2 void floyd_steinberg_after_avx2(std::int32_t* errors, int d, std::int32_t* below, std::uint8_t* flags,
                                                 std::size_t w) {
    floyd_steinberg_after(errors, d, below, flags, w);
}

}  // namespace

// Serpentine: even rows left to right, odd rows right to left.
void Decider::diffuse_floyd_steinberg(std::size_t y, const std::uint8_t* values, std::uint8_t* bits) {
    const std::int32_t* here = b_.errors[y % 2] + kDiffusionMargin;
    std::int32_t* below = b_.errors[(y + 1) % 2] + kDiffusionMargin;
    std::int32_t* errors = b_.errors[2] + kDiffusionMargin;  // this row's q, then its errors; none past its ends
    const std::ptrdiff_t w = static_cast<std::ptrdiff_t>(width_);
    const int d = y % 2 == 0 ? 1 : -1;
    const bool avx2 = use_avx2_path();
    if (avx2)
        floyd_steinberg_bases_avx2(values, here, errors, width_);
    else
        floyd_steinberg_bases(values, here, errors, width_);
    if (d > 0)
        floyd_steinberg_row<1>(errors, w);
    else
        floyd_steinberg_row<-1>(errors, w);
    if (avx2)
        floyd_steinberg_after_avx2(errors, d, below, b_.flags, width_);
    else
        floyd_steinberg_after(errors, d, below, b_.flags, width_);
    pack(width_, bits);
}

// Every row left to right; an eighth of the error to each of six pixels and
// the rest dropped. The shares ahead in this row are carried in registers.
void Decider::diffuse_atkinson(const std::uint8_t* values, std::uint8_t* bits) {
    const std::size_t y = pushed_;
    std::uint8_t* const flags = b_.flags;
    const std::int32_t* e0 = b_.errors[y % 3] + kDiffusionMargin;
    std::int32_t* e1 = b_.errors[(y + 1) % 3] + kDiffusionMargin;
    std::int32_t* e2 = b_.errors[(y + 2) % 3] + kDiffusionMargin;  // no row has reached it yet
    const std::ptrdiff_t w = static_cast<std::ptrdiff_t>(width_);
    std::int32_t q1 = 0, q2 = 0;  // the shares of the last two pixels, which reach x
    for (std::ptrdiff_t x = 0; x < w; ++x) {
        // Everything but the last pixel's share is added first, so that the
        // next pixel waits for one addition after q, not two.
        const std::int32_t s = (kErrorScale * values[x] + e0[x] + q2) + q1;
        const bool white = s >= kWhiteFrom;
        const std::int32_t q = (s - (white ? kWhiteValue : 0)) >> 3;
        flags[x] = !white;
        e1[x - 1] += q2 + q1 + q;  // complete: pixels x - 2, x - 1 and x reach it
        e2[x] = q;
        q2 = q1;
        q1 = q;
    }
    e1[w - 1] += q2 + q1;
    e1[-1] = 0;  // the shares that fell outside the picture, dropped
    pack(width_, bits);
}

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
                     static_cast<std::uint32_t>(rows * (right - left + 1)), 1, b_.flags + x);
    };
    const std::size_t middle_begin = std::min(r, w);
    const std::size_t middle_end = std::max(middle_begin, w > r ? w - r : 0);
    for (std::size_t x = 0; x < middle_begin; ++x) clipped(x);
    if (middle_end > middle_begin)
        sauvola_span(luma_row + middle_begin, ps + middle_begin + r + 1, ps + middle_begin - r,
                     pq + middle_begin + r + 1, pq + middle_begin - r, static_cast<std::uint32_t>(rows * window_),
                     middle_end - middle_begin, b_.flags + middle_begin);
    for (std::size_t x = middle_end; x < w; ++x) clipped(x);
    pack(w, bits);
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

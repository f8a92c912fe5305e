// Error diffusion: Floyd-Steinberg, Atkinson, and the wider kernels.
#include <algorithm>
#include <cstring>

#include "core/vector_paths.hpp"
#include "decide/methods.hpp"

namespace qpbm {

namespace {

// ---- Error diffusion ------------------------------------------------------

// Errors are kept in sixteenths of a level: s = 16 Y + E is white from
// 16 * 128 on, and white stands for 16 * 255.
constexpr std::int32_t kErrorScale = 16;
constexpr std::int32_t kWhiteFrom = kErrorScale * 128;
constexpr std::int32_t kWhiteValue = kErrorScale * 255;
// 7/16 of the white value, whole: so (7 (s - white)) >> 4 = ((7 s) >> 4) - kWhiteAhead.
constexpr std::int32_t kWhiteAhead = 7 * kWhiteValue / 16;
static_assert(7 * kWhiteValue % 16 == 0);

}  // namespace

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

namespace {

// A kernel: the share of a pixel's error that each neighbour gets, in
// `divisor`ths, on this row (the two pixels ahead), the row below and the
// one below that (two pixels either side), ahead meaning the row's
// direction. Each share is the floor of weight x error / divisor; the pixel
// just ahead gets the rest, so that no error is lost but at the edges.
struct Kernel {
    std::int32_t divisor;
    std::int32_t ahead[2];    // x + d, x + 2d
    std::int32_t below[2][5];  // rows y + 1 and y + 2, x - 2d .. x + 2d
};

constexpr Kernel kernel_of(Method m) {
    switch (m) {
        case Method::jarvis: return {48, {7, 5}, {{3, 5, 7, 5, 3}, {1, 3, 5, 3, 1}}};
        case Method::stucki: return {42, {8, 4}, {{2, 4, 8, 4, 2}, {1, 2, 4, 2, 1}}};
        case Method::burkes: return {32, {8, 4}, {{2, 4, 8, 4, 2}, {0, 0, 0, 0, 0}}};
        case Method::sierra: return {32, {5, 3}, {{2, 4, 5, 4, 2}, {0, 2, 3, 2, 0}}};
        case Method::sierra2: return {16, {4, 3}, {{1, 2, 3, 2, 1}, {0, 0, 0, 0, 0}}};
        default: return {4, {2, 0}, {{0, 1, 1, 0, 0}, {0, 0, 0, 0, 0}}};  // sierra_lite
    }
}

// Rounds towards minus infinity, as a shift would, whatever the sign.
constexpr std::int32_t floor_div(std::int32_t v, std::int32_t by) { return v >= 0 ? v / by : -((by - 1 - v) / by); }

}  // namespace

// Serpentine, as Floyd-Steinberg: even rows left to right, odd rows right to
// left. Errors of rows y, y + 1 and y + 2 in a ring of three; the shares
// past a row's ends fall in its margins and are dropped.
void Decider::diffuse_kernel(std::size_t y, const std::uint8_t* values, std::uint8_t* bits) {
    const Kernel k = kernel_of(method_);
    std::int32_t* e0 = b_.errors[y % 3] + kDiffusionMargin;
    std::int32_t* below[2] = {b_.errors[(y + 1) % 3] + kDiffusionMargin, b_.errors[(y + 2) % 3] + kDiffusionMargin};
    const std::ptrdiff_t w = static_cast<std::ptrdiff_t>(width_), d = y % 2 == 0 ? 1 : -1;
    for (std::ptrdiff_t step = 0; step < w; ++step) {
        const std::ptrdiff_t x = d > 0 ? step : w - 1 - step;
        const std::int32_t s = kErrorScale * values[x] + e0[x];
        const bool white = s >= kWhiteFrom;
        const std::int32_t q = s - (white ? kWhiteValue : 0);
        b_.flags[x] = !white;
        std::int32_t given = 0;
        const std::int32_t second = floor_div(k.ahead[1] * q, k.divisor);
        e0[x + 2 * d] += second;
        given += second;
        for (int r = 0; r < 2; ++r)
            for (std::ptrdiff_t i = -2; i <= 2; ++i) {
                const std::int32_t share = floor_div(k.below[r][i + 2] * q, k.divisor);
                below[r][x + i * d] += share;
                given += share;
            }
        e0[x + d] += q - given;
    }
    clear_errors(e0 - kDiffusionMargin);  // row y + 3's, next
    pack(width_, bits);
}

}  // namespace qpbm

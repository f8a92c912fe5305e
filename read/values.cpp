#include "read/values.hpp"

#include <cstring>

#include "core/vector_paths.hpp"

#if QPBM_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

namespace qpbm {

namespace {

// Luma with the division by 1000 done as (S div 8) * 33555 >> 22, exact for
// every S up to 255000 and within 32 bits, so that the loop vectorises.
// `Blue` is the offset of blue in a pixel (0 for BGR, 2 for RGB).
template <unsigned Blue>
QPBM_LOOP_BODY void luma_by_rule(const std::uint8_t* pixel, std::size_t count, std::uint8_t* value) {
    for (std::size_t x = 0; x < count; ++x, pixel += 3) {
        const std::uint32_t s = 299u * pixel[2 - Blue] + 587u * pixel[1] + 114u * pixel[Blue];
        value[x] = static_cast<std::uint8_t>(((s >> 3) * 33555u) >> 22);
    }
}

QPBM_LOOP_BODY void flags_by_rule(const std::uint8_t* pixel, std::size_t count, std::uint8_t* value, unsigned level) {
    for (std::size_t x = 0; x < count; ++x, pixel += 3) {
        const bool white = (pixel[0] >= level) & (pixel[1] >= level) & (pixel[2] >= level);
        value[x] = white ? kChannelsWhite : kChannelsBlack;
    }
}

#if QPBM_HAVE_AVX2_PATH
// Luma of 32 pixels a step, as luma_by_rule computes it. The compiler's own
// vectorisation of the rule widens every channel to 32 bits and multiplies
// each apart; here one shuffle puts blue and green side by side in each
// pixel's 32-bit lane and one multiply-add weighs both, another weighs red,
// and the division runs on sixteen 16-bit lanes (S / 8 < 2^15).

// S / 8 of 8 pixels: 0-3 in the low 128-bit lane, 4-7 in the high one, each
// lane from the first 12 of the 16 bytes it loads. `Blue` as for luma_by_rule.
template <char Blue>
QPBM_TARGET_AVX2 inline __m256i luma_eighths(const std::uint8_t* p) {
    constexpr char B = Blue, R = 2 - Blue;
    const __m256i blue_green = _mm256_setr_epi8(B, -1, 1, -1, B + 3, -1, 4, -1, B + 6, -1, 7, -1, B + 9, -1, 10, -1,  //
                                                B, -1, 1, -1, B + 3, -1, 4, -1, B + 6, -1, 7, -1, B + 9, -1, 10, -1);
    const __m256i red = _mm256_setr_epi8(R, -1, -1, -1, R + 3, -1, -1, -1, R + 6, -1, -1, -1, R + 9, -1, -1, -1,  //
                                         R, -1, -1, -1, R + 3, -1, -1, -1, R + 6, -1, -1, -1, R + 9, -1, -1, -1);
    const __m256i v =
        _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 12), reinterpret_cast<const __m128i*>(p));
    const __m256i s =
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi8(v, blue_green), _mm256_set1_epi32(114 | 587 << 16)),
                         _mm256_madd_epi16(_mm256_shuffle_epi8(v, red), _mm256_set1_epi32(299)));
    return _mm256_srli_epi32(s, 3);
}

// Y of 16 pixels from their S / 8: (S / 8 * 33555) >> 22.
QPBM_TARGET_AVX2 inline __m256i luma_of_eighths(__m256i eighths) {
    return _mm256_srli_epi16(_mm256_mulhi_epu16(eighths, _mm256_set1_epi16(static_cast<short>(33555))), 6);
}

template <char Blue>
QPBM_TARGET_AVX2 void luma_avx2(const std::uint8_t* pixel, std::size_t count, std::uint8_t* value) {
    // The packs work within lanes, leaving groups of four pixels in the
    // order 0, 2, 4, 6 | 1, 3, 5, 7; one permutation puts them back.
    const __m256i in_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    std::size_t x = 0;
    // The last load of a step reads 4 bytes past its 96: stop 34 pixels short.
    for (; x + 34 <= count; x += 32) {
        const std::uint8_t* p = pixel + 3 * x;
        const __m256i first = luma_of_eighths(_mm256_packus_epi32(luma_eighths<Blue>(p), luma_eighths<Blue>(p + 24)));
        const __m256i second =
            luma_of_eighths(_mm256_packus_epi32(luma_eighths<Blue>(p + 48), luma_eighths<Blue>(p + 72)));
        const __m256i y = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(first, second), in_order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(value + x), y);
    }
    luma_by_rule<Blue>(pixel + 3 * x, count - x, value + x);
}
#endif

template <char Blue>
QPBM_TARGET_AVX2 void colour_values_avx2(const std::uint8_t* pixels, std::size_t count, std::uint8_t* values,
                                         ValueRule rule) {
    if (rule.luma)
#if QPBM_HAVE_AVX2_PATH
        luma_avx2<Blue>(pixels, count, values);
#else
        luma_by_rule<Blue>(pixels, count, values);
#endif
    else
        flags_by_rule(pixels, count, values, rule.level);
}

QPBM_LOOP_BODY void grey_by_rule(const std::uint8_t* samples, std::size_t count, std::uint8_t* values, ValueRule rule) {
    if (rule.luma) {
        std::memcpy(values, samples, count);  // the luma of grey is the grey
        return;
    }
    for (std::size_t x = 0; x < count; ++x) values[x] = samples[x] >= rule.level ? kChannelsWhite : kChannelsBlack;
}

QPBM_TARGET_AVX2 void grey_values_avx2(const std::uint8_t* samples, std::size_t count, std::uint8_t* values,
                                       ValueRule rule) {
    grey_by_rule(samples, count, values, rule);
}

}  // namespace

void bgr_values_portable(const std::uint8_t* pixels, std::size_t count, std::uint8_t* values, ValueRule rule) {
    if (rule.luma)
        luma_by_rule<0>(pixels, count, values);
    else
        flags_by_rule(pixels, count, values, rule.level);
}

void bgr_values(const std::uint8_t* pixels, std::size_t count, std::uint8_t* values, ValueRule rule) {
    if (use_avx2_path())
        colour_values_avx2<0>(pixels, count, values, rule);
    else
        bgr_values_portable(pixels, count, values, rule);
}

void rgb_values(const std::uint8_t* pixels, std::size_t count, std::uint8_t* values, ValueRule rule) {
    if (use_avx2_path())
        colour_values_avx2<2>(pixels, count, values, rule);
    else if (rule.luma)
        luma_by_rule<2>(pixels, count, values);
    else
        flags_by_rule(pixels, count, values, rule.level);  // the same whatever the channels' order
}

void grey_values(const std::uint8_t* samples, std::size_t count, std::uint8_t* values, ValueRule rule) {
    if (use_avx2_path())
        grey_values_avx2(samples, count, values, rule);
    else
        grey_by_rule(samples, count, values, rule);
}

}  // namespace qpbm

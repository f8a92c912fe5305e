// The greyscale and colour members of the netpbm family, as read.
//
// PGM and PPM: the magic ("P2" plain PGM, "P5" raw PGM, "P3" plain PPM, "P6"
// raw PPM), then the width, the height and the maxval M, each after white
// space and/or comments, by the header grammar of read/netpbm_input.hpp.
//   - plain: samples are decimal numbers, each after white space and/or
//     comments;
//   - raw: exactly one white-space byte after M, then the samples, one byte
//     each when M < 256, else two, most significant first.
// A PGM pixel is one grey sample; a PPM pixel is red, green and blue.
//
// PAM ("P7"): after the magic, lines of a keyword and its value, up to a line
// that is "ENDHDR"; '#' lines are comments:
//
//   P7
//   WIDTH 227
//   HEIGHT 149
//   DEPTH 3
//   MAXVAL 255
//   TUPLTYPE RGB
//   ENDHDR
//
// then raw samples as in PPM, DEPTH per pixel. The tuple types read are
// BLACKANDWHITE (depth 1, maxval 1, 1 white: the opposite of PBM), GRAYSCALE,
// GRAYSCALE_ALPHA, RGB and RGB_ALPHA; without a TUPLTYPE line the depth
// names one of the last four.
//
// Rows follow top first; a stream may hold more pictures after the first,
// which are not read. M is 1 to 65535, and no sample may pass it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qpbm {

inline constexpr char kPlainPgmKind = '2';
inline constexpr char kPlainPpmKind = '3';
inline constexpr char kRawPgmKind = '5';
inline constexpr char kRawPpmKind = '6';
inline constexpr char kPamKind = '7';

inline constexpr std::uint32_t kPnmMaxvalMax = 65535;
// Samples of a maxval over this take two bytes in a raw raster.
inline constexpr std::uint32_t kPnmOneByteMaxval = 255;
// The samples of one pixel, at most: red, green, blue and alpha.
inline constexpr unsigned kPnmDepthMax = 4;
// A PAM header line, keyword and value, is at most this long (netpbm's own
// limit is lower).
inline constexpr std::size_t kPamLineMax = 256;

// A sample v of maxval M as 8 bits: round(v * 255 / M).
constexpr std::uint8_t scale_sample(std::uint32_t v, std::uint32_t maxval) {
    return static_cast<std::uint8_t>((v * 255u + maxval / 2) / maxval);
}

// An 8-bit channel c of opacity a, laid over white.
constexpr std::uint8_t over_white(std::uint32_t c, std::uint32_t a) {
    return static_cast<std::uint8_t>((c * a + 255u * (255u - a) + 127u) / 255u);
}

}  // namespace qpbm

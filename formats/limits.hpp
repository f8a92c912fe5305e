// The largest pictures the static buffers hold. The buffers are fixed at
// build time so that a conversion never allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/bmp.hpp"

namespace qpbm {

// BMP to PBM streams the picture through buffers of whole stored rows, or of
// pieces of a row wider than a buffer, so any width and height convert.
//
// An RLE BMP lists its rows bottom first. To a file, each row's text goes
// straight to its place; a pipe must get the rows top first, so the picture
// is decoded during the check into a one-bit image of at most this size.
inline constexpr std::int32_t kMaxRlePipeWidth = 1000;
inline constexpr std::int32_t kMaxRlePipeHeight = 1000;
inline constexpr std::size_t kRleImageSize =
    static_cast<std::size_t>(kMaxRlePipeWidth) * static_cast<std::size_t>(kMaxRlePipeHeight) / 8;

// PBM to BMP gathers the whole picture, since the PBM lists rows top first and
// the BMP stores them bottom first. Every pixel is black or white, so the
// picture is kept at one bit per pixel: the largest takes 125,000 bytes,
// which a process touches in 31 pages instead of the 733 that 3,000,000
// bytes of finished pixels would take. Rows sit a fixed pitch apart.
inline constexpr std::int32_t kMaxPbmWidth = 1000;
inline constexpr std::int32_t kMaxPbmHeight = 1000;
inline constexpr std::size_t kImageRowPitch = 125;
inline constexpr std::size_t kImageBufferSize = kImageRowPitch * kMaxPbmHeight;
static_assert(kImageRowPitch * 8 == static_cast<std::size_t>(kMaxPbmWidth));

}  // namespace qpbm

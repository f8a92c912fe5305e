// The limits of the static buffers. They are fixed at build time so that a
// conversion never allocates.
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

// PBM to BMP writes a regular file a block of rows at a time, each at its
// place in the file, at any size. An output that cannot seek (a pipe) must be
// written bottom row first, so the whole picture is gathered before it:
// these are the largest pictures that can go that way. Every pixel is black
// or white, so the picture is kept at one bit per pixel: the largest takes
// 125,000 bytes. Rows sit a fixed pitch apart.
inline constexpr std::int32_t kMaxPbmWidth = 1000;
inline constexpr std::int32_t kMaxPbmHeight = 1000;
inline constexpr std::size_t kImageRowPitch = 125;
inline constexpr std::size_t kImageBufferSize = kImageRowPitch * kMaxPbmHeight;
static_assert(kImageRowPitch * 8 == static_cast<std::size_t>(kMaxPbmWidth));

}  // namespace qpbm

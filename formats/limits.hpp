// The largest pictures the two static buffers hold. Both buffers are fixed at
// build time so that a conversion never allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/bmp.hpp"

namespace qpbm {

// BMP to PBM streams one stored row at a time through the row buffer.
inline constexpr std::int32_t kMaxBmpWidth = 10000;
inline constexpr std::size_t kRowBufferSize = 30000;
static_assert(kRowBufferSize == static_cast<std::size_t>(kMaxBmpWidth) * kBytesPerPixel);

// PBM to BMP gathers the whole picture, since the PBM lists rows top first and
// the BMP stores them bottom first. Rows sit a fixed pitch apart.
inline constexpr std::int32_t kMaxPbmWidth = 1000;
inline constexpr std::int32_t kMaxPbmHeight = 1000;
inline constexpr std::size_t kImageRowPitch = 3000;
inline constexpr std::size_t kImageBufferSize = kImageRowPitch * kMaxPbmHeight;
static_assert(kImageRowPitch == static_cast<std::size_t>(kMaxPbmWidth) * kBytesPerPixel);

}  // namespace qpbm

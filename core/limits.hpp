// The limits of the static buffers. They are fixed at build time so that a
// conversion never allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bmp_format.hpp"
#include "core/pbm_format.hpp"

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

// BMP input is read a block at a time, as many whole stored rows as fit in
// this many bytes (at least one), with one seek per block. A row larger than
// a block is read and converted in pieces.
inline constexpr std::size_t kRowBlockSize = 256 * 1024;

// Pixels converted at once, whole rows or a piece of one: as many as a block
// of 24-bit rows holds, so that 24-bit pictures go through in the same blocks
// whatever else is read.
inline constexpr std::size_t kBlockPixelsMax = kRowBlockSize / kBytesPerPixel;
// An RLE run is stored eight bytes at a time and may write this far past
// its end, into bytes that later pixels or a zero fill overwrite.
inline constexpr std::size_t kRleRunSlack = 8;
// The plain PBM text of a block of pixels: a token each, a line feed per 30.
inline constexpr std::size_t kBlockTextSize = kBlockPixelsMax * kTokenSize + kBlockPixelsMax / kTokensPerLine + 1;
// The tokens of the pixels of one byte of a palette picture (at most eight
// pixels, of one bit each), one entry per byte value.
inline constexpr std::size_t kByteTokensSize = 8 * kTokenSize;

// PBM input is read this many bytes at a time once the header is known (the
// header itself in small reads, so that a refusal reads little).
inline constexpr std::size_t kPbmBlockSize = 64 * 1024;

// A BMP is written a block of this many bytes at a time: whole stored rows
// when a row fits, else one row in pieces of kRowPiecePixels pixels.
inline constexpr std::size_t kBmpBlockSize = 256 * 1024;
inline constexpr std::size_t kRowPiecePixels = kBmpBlockSize / kBytesPerPixel / 8 * 8;
static_assert(bmp_stride(kRowPiecePixels) <= kBmpBlockSize, "a piece and its padding fit a block");
static_assert(bmp_stride(kMaxPbmWidth) <= kBmpBlockSize, "a gathered row fits a block");

}  // namespace qpbm

namespace qpbm {

// A picture a codec library decodes is taken at any size its format allows:
// it streams a row (or a band) at a time, and the output's writer refuses
// what its own format cannot hold (a BMP past 4 GiB, a PNG row past
// kPngMaxRowBytes, an uncompressed TIFF past 4 GiB); in memory, the caller's
// buffer is the limit.

// A piped PNG or JPEG is spooled up to a bound that no sane encoding of its
// picture passes, and refused past it: twice its decoded samples (a JPEG of
// noise at quality 100 takes about 1.6 times; a PNG at zlib level 0 its
// samples and a filter byte a row), kCodecRowAllowance bytes a row (a
// streaming PNG writer's chunk and flush for every row) and
// kCodecMetadataAllowance for the rest (ICC profiles, Exif, text, a trailer
// such as a motion photo's video).
inline constexpr std::uint64_t kCodecRowAllowance = 64;
inline constexpr std::uint64_t kCodecMetadataAllowance = std::uint64_t{64} << 20;

// That bound, for `channels` samples a pixel of `sample_bytes` bytes each.
// Saturates rather than wrap.
inline std::uint64_t codec_input_bound(std::uint64_t width, std::uint64_t height, unsigned channels,
                                       unsigned sample_bytes) {
    constexpr std::uint64_t kMax = UINT64_MAX;
    const std::uint64_t per_pixel = std::uint64_t{channels} * sample_bytes * 2;
    if (width != 0 && height > kMax / width) return kMax;
    const std::uint64_t pixels = width * height;
    if (per_pixel != 0 && pixels > kMax / per_pixel) return kMax;
    const std::uint64_t samples = pixels * per_pixel;
    if (height > (kMax - samples) / kCodecRowAllowance) return kMax;
    const std::uint64_t rows = samples + height * kCodecRowAllowance;
    return rows > kMax - kCodecMetadataAllowance ? kMax : rows + kCodecMetadataAllowance;
}

// The most pixels a picture is held whole as bits, a bit a pixel (256 MiB):
// to turn or flip it, or to choose a document page's code. A 46,000-pixel
// square, past any page or photo.
inline constexpr std::uint64_t kMaxHeldPixels = std::uint64_t{1} << 31;

}  // namespace qpbm

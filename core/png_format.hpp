// PNG as this library reads and writes it, through libspng.
//
// The file: an 8-byte signature, then chunks of a 4-byte big-endian length,
// a 4-byte type, the data and a CRC-32 of type and data. IHDR comes first:
// width and height (4 bytes each, 1 to 2^31 - 1), bit depth, colour type,
// compression 0, filter 0, interlace (0 none, 1 Adam7). PLTE and tRNS come
// before the first IDAT; the IDATs hold one zlib stream of filtered rows;
// IEND ends the file.
//
// Colour types and the bit depths each may have:
//   0 grey        1, 2, 4, 8, 16   tRNS: one grey sample that is transparent
//   2 RGB         8, 16            tRNS: one RGB triple that is transparent
//   3 palette     1, 2, 4, 8       tRNS: an alpha byte per palette entry
//   4 grey+alpha  8, 16
//   6 RGBA        8, 16
// Samples are unsigned, 16-bit ones most significant byte first; rows are
// packed, the leftmost pixel in the highest bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qpbm {

inline constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

namespace png_colour {
inline constexpr unsigned grey = 0;
inline constexpr unsigned rgb = 2;
inline constexpr unsigned palette = 3;
inline constexpr unsigned grey_alpha = 4;
inline constexpr unsigned rgba = 6;
}  // namespace png_colour

// Samples a pixel of a colour type holds.
constexpr unsigned png_channels(unsigned colour_type) {
    switch (colour_type) {
        case png_colour::rgb: return 3;
        case png_colour::grey_alpha: return 2;
        case png_colour::rgba: return 4;
        default: return 1;
    }
}

// A stored row (its samples, without the filter byte) larger than this is
// refused: the reader holds one, and libspng two more.
inline constexpr std::uint64_t kPngMaxRowBytes = 32u << 20;
// An interlaced (Adam7) picture is decoded whole, as stored (a 1-bit picture
// takes a bit a pixel, an 8-bit RGB one 3 bytes): larger ones are refused.
inline constexpr std::uint64_t kPngMaxInterlacedBytes = 128u << 20;
// What libspng may allocate for itself: its two scanlines, the inflate
// state and the ancillary chunks it keeps.
inline constexpr std::size_t kPngLibraryMemory = 96u << 20;
// What one reader's or writer's libspng context holds of it.
struct PngMemory {
    std::size_t in_use = 0;
};
// The longest chunk it reads, and what it keeps of ancillary chunks in all.
inline constexpr std::size_t kPngMaxChunkSize = 16u << 20;
inline constexpr std::size_t kPngMaxChunkCache = 16u << 20;

}  // namespace qpbm

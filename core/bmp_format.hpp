// The BMP layouts this library reads, and the 24-bit one it writes.
//
// A file is a 14-byte file header, an information header, optional colour
// masks, an optional palette, then the pixel rows. All integers are
// little-endian.
//
//   offset size field            value we write
//        0    2 bfType           0x4D42 ("BM")
//        2    4 bfSize           54 + stride * height
//        6    2 bfReserved1      0
//        8    2 bfReserved2      0
//       10    4 bfOffBits        54
//       14    4 biSize           40
//       18    4 biWidth          width, signed
//       22    4 biHeight         height, signed (negative: rows stored top first)
//       26    2 biPlanes         1
//       28    2 biBitCount       24
//       30    4 biCompression    0 (BI_RGB)
//       34    4 biSizeImage      stride * height
//       38..53  XPelsPerMeter, YPelsPerMeter, ClrUsed (at 46), ClrImportant: 0
//
// Information headers of 40 bytes or more share those fields (52, 56, 108
// and 124 bytes are the common longer ones; from 52 bytes on the red, green
// and blue masks are the header's own fields at 40, 44 and 48 of it, the
// alpha mask at 52). The OS/2 1.x core header is 12 bytes: biSize, then a
// 16-bit unsigned width and height at 18 and 20, planes at 22 and the bit
// count at 24; it has no compression, and its rows are stored bottom first.
//
// Pixels: 1, 2, 4 or 8 bits are palette indices, the leftmost pixel in the
// highest bits of its byte. Palette entries are blue, green, red and, after
// any header but the core one, a fourth unused byte. The palette has
// biClrUsed entries, or 2^bits when that is 0. 16 and 32 bits are masked
// channels: without masks (BI_RGB) 16 bits are 5-5-5 and 32 bits blue,
// green, red and an unused byte. With BI_BITFIELDS (or BI_ALPHABITFIELDS) the
// masks follow a 40-byte header (12 bytes, or 16 with the alpha mask).
// 24 bits are blue, green, red. A stored row takes `stride` bytes, width *
// bits rounded up to a multiple of 32 bits; rows are stored bottom row first
// unless the height is negative.
//
// RLE8 (8 bits) and RLE4 (4 bits) rows run bottom first as pairs of bytes:
// n > 0 then v is a run of n pixels (RLE4: the two nibbles of v in turn);
// 0 then 0 ends the line, 0 then 1 ends the bitmap, 0 2 dx dy moves right dx
// and up dy, 0 then n >= 3 is n literal indices padded to a 16-bit boundary.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qpbm {

inline constexpr std::size_t kFileHeaderSize = 14;
inline constexpr std::size_t kInfoHeaderSize = 40;
inline constexpr std::size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;  // 54
inline constexpr std::uint32_t kPixelDataOffset = kHeadersSize;
inline constexpr std::uint16_t kBmpMagic = 0x4D42;
inline constexpr std::uint16_t kBitsPerPixel = 24;
inline constexpr std::uint32_t kCompressionNone = 0;
inline constexpr std::uint32_t kBytesPerPixel = 3;
inline constexpr std::uint32_t kRowAlignment = 4;

// What the reader takes besides the 24-bit layout above.
inline constexpr std::size_t kCoreHeaderSize = 12;       // OS/2 1.x
inline constexpr std::size_t kMasksInHeaderSize = 52;    // from this size on, the masks are header fields
inline constexpr std::size_t kMaskFieldsSize = 12;       // red, green, blue masks after a 40-byte header
inline constexpr std::size_t kAlphaMaskFieldsSize = 16;  // the same and an alpha mask
inline constexpr std::size_t kPaletteEntrySize = 4;
inline constexpr std::size_t kCorePaletteEntrySize = 3;

// biCompression values. Old OS/2 files reuse 3 for Huffman (1 bit) and 4 for
// RLE24 (24 bits).
namespace bmp_compression {
inline constexpr std::uint32_t rgb = 0;
inline constexpr std::uint32_t rle8 = 1;
inline constexpr std::uint32_t rle4 = 2;
inline constexpr std::uint32_t bitfields = 3;
inline constexpr std::uint32_t jpeg = 4;
inline constexpr std::uint32_t png = 5;
inline constexpr std::uint32_t alpha_bitfields = 6;
}  // namespace bmp_compression

// RLE escapes: the byte after a 0 count.
namespace bmp_rle {
inline constexpr std::uint8_t end_of_line = 0;
inline constexpr std::uint8_t end_of_bitmap = 1;
inline constexpr std::uint8_t move = 2;
}  // namespace bmp_rle

// Field offsets from the start of the file.
namespace bmp_field {
inline constexpr std::size_t bfType = 0;
inline constexpr std::size_t bfSize = 2;
inline constexpr std::size_t bfOffBits = 10;
inline constexpr std::size_t biSize = 14;
inline constexpr std::size_t biWidth = 18;
inline constexpr std::size_t biHeight = 22;
inline constexpr std::size_t biPlanes = 26;
inline constexpr std::size_t biBitCount = 28;
inline constexpr std::size_t biCompression = 30;
inline constexpr std::size_t biSizeImage = 34;
inline constexpr std::size_t biXPelsPerMeter = 38;  // signed; 0: no resolution
inline constexpr std::size_t biYPelsPerMeter = 42;
inline constexpr std::size_t biClrUsed = 46;
inline constexpr std::size_t biClrImportant = 50;
inline constexpr std::size_t bcWidth = 18;  // core header fields
inline constexpr std::size_t bcHeight = 20;
inline constexpr std::size_t bcBitCount = 24;
}  // namespace bmp_field

// Offsets of the masks inside an information header of 52 bytes or more.
inline constexpr std::size_t kRedMaskField = 40;
inline constexpr std::size_t kGreenMaskField = 44;
inline constexpr std::size_t kBlueMaskField = 48;

inline std::uint16_t read_le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

inline std::uint32_t read_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Two's complement reinterpretation, well defined since C++20.
inline std::int32_t read_le32s(const std::uint8_t* p) { return static_cast<std::int32_t>(read_le32(p)); }

inline void write_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void write_le32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Bytes of one stored 24-bit row. Computed in 64 bits so that no int32 width overflows.
inline constexpr std::uint64_t bmp_stride(std::uint64_t width) {
    return (width * kBytesPerPixel + (kRowAlignment - 1)) / kRowAlignment * kRowAlignment;
}

// Bytes of one stored row of `bits` per pixel: width * bits rounded up to 32 bits.
inline constexpr std::uint64_t bmp_stride(std::uint64_t width, std::uint32_t bits) {
    return (width * bits + 31) / 32 * kRowAlignment;
}

// The reader looks at the first kHeaderProbeSize bytes at most: the file
// header, the fields of any information header up to its masks, and masks
// that follow a header of 40 to 51 bytes.
inline constexpr std::size_t kHeaderProbeSize = kFileHeaderSize + kMasksInHeaderSize + kAlphaMaskFieldsSize;

// The header fields a reader looks at. A core header has no compression and
// no colour count, and its width and height are unsigned 16-bit fields.
struct BmpHeader {
    std::uint16_t type;
    std::uint32_t pixel_offset;  // bfOffBits
    std::uint32_t info_size;     // biSize
    std::int32_t width;
    std::int32_t height;
    std::uint16_t bit_count;
    std::uint32_t compression;
    std::uint32_t colors_used;      // biClrUsed
    std::int32_t x_pels_per_metre;  // 0 in a core header, which has none
    std::int32_t y_pels_per_metre;
};

// Decodes the fields from the first bytes of a file whose information header
// size is 12 or at least 40 (bytes past the file's end read as zero).
inline BmpHeader decode_bmp_header(const std::uint8_t (&bytes)[kHeaderProbeSize]) {
    BmpHeader h;
    h.type = read_le16(bytes + bmp_field::bfType);
    h.pixel_offset = read_le32(bytes + bmp_field::bfOffBits);
    h.info_size = read_le32(bytes + bmp_field::biSize);
    if (h.info_size == kCoreHeaderSize) {
        h.width = read_le16(bytes + bmp_field::bcWidth);
        h.height = read_le16(bytes + bmp_field::bcHeight);
        h.bit_count = read_le16(bytes + bmp_field::bcBitCount);
        h.compression = bmp_compression::rgb;
        h.colors_used = 0;
        h.x_pels_per_metre = h.y_pels_per_metre = 0;
    } else {
        h.width = read_le32s(bytes + bmp_field::biWidth);
        h.height = read_le32s(bytes + bmp_field::biHeight);
        h.bit_count = read_le16(bytes + bmp_field::biBitCount);
        h.compression = read_le32(bytes + bmp_field::biCompression);
        h.colors_used = read_le32(bytes + bmp_field::biClrUsed);
        h.x_pels_per_metre = read_le32s(bytes + bmp_field::biXPelsPerMeter);
        h.y_pels_per_metre = read_le32s(bytes + bmp_field::biYPelsPerMeter);
    }
    return h;
}

// The headers of a bottom-up BMP of the given size with no compression:
// `bits` per pixel, pixels at `offset` (after `colors` palette entries, which
// the caller fills in) and every field not listed in the table above zero.
// Sizes wrap to 32 bits as the format stores them; callers keep pictures
// small enough that they never do.
inline void encode_bmp_headers(std::uint8_t* bytes, std::int32_t width, std::int32_t height, std::uint16_t bits,
                               std::uint32_t colors) {
    const std::uint64_t image_size =
        bmp_stride(static_cast<std::uint64_t>(width), bits) * static_cast<std::uint64_t>(height);
    const std::uint32_t offset = static_cast<std::uint32_t>(kHeadersSize + colors * kPaletteEntrySize);
    for (std::size_t i = 0; i < offset; ++i) bytes[i] = 0;
    write_le16(bytes + bmp_field::bfType, kBmpMagic);
    write_le32(bytes + bmp_field::bfSize, static_cast<std::uint32_t>(offset + image_size));
    write_le32(bytes + bmp_field::bfOffBits, offset);
    write_le32(bytes + bmp_field::biSize, kInfoHeaderSize);
    write_le32(bytes + bmp_field::biWidth, static_cast<std::uint32_t>(width));
    write_le32(bytes + bmp_field::biHeight, static_cast<std::uint32_t>(height));
    write_le16(bytes + bmp_field::biPlanes, 1);
    write_le16(bytes + bmp_field::biBitCount, bits);
    write_le32(bytes + bmp_field::biCompression, kCompressionNone);
    write_le32(bytes + bmp_field::biSizeImage, static_cast<std::uint32_t>(image_size));
    write_le32(bytes + bmp_field::biClrUsed, colors);
    write_le32(bytes + bmp_field::biClrImportant, colors);
}

// The 54 header bytes of the 24-bit BMP we write.
inline void encode_bmp_header(std::uint8_t (&bytes)[kHeadersSize], std::int32_t width, std::int32_t height) {
    encode_bmp_headers(bytes, width, height, kBitsPerPixel, 0);
}

// The 1-bit BMP we write: the same headers with a bit count of 1 and two
// palette entries, black (index 0) and white (index 1), so the pixels start
// at 62. Rows are bottom first, the leftmost pixel in the highest bit, a set
// bit white, padded with zero bits and bytes to a multiple of 32 bits.
inline constexpr std::uint16_t kBilevelBitsPerPixel = 1;
inline constexpr std::uint32_t kBilevelColors = 2;
inline constexpr std::size_t kBilevelHeadersSize = kHeadersSize + kBilevelColors * kPaletteEntrySize;  // 62

inline void encode_bmp1_header(std::uint8_t (&bytes)[kBilevelHeadersSize], std::int32_t width, std::int32_t height) {
    encode_bmp_headers(bytes, width, height, kBilevelBitsPerPixel, kBilevelColors);
    // Palette entry 0 stays black; entry 1 is white: blue, green, red, 0.
    bytes[kHeadersSize + kPaletteEntrySize + 0] = 0xFF;
    bytes[kHeadersSize + kPaletteEntrySize + 1] = 0xFF;
    bytes[kHeadersSize + kPaletteEntrySize + 2] = 0xFF;
}

}  // namespace qpbm

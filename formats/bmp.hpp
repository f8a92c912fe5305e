// The 24-bit BMP subset this library reads and writes.
//
// A file is a 14-byte file header, a 40-byte information header (readers
// accept a longer one), then the pixel rows. All integers are little-endian.
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
//       38..53  XPelsPerMeter, YPelsPerMeter, ClrUsed, ClrImportant: 0
//
// A pixel is 3 bytes: blue, green, red. A stored row takes `stride` bytes,
// width * 3 rounded up to a multiple of 4, the padding being zero. Rows are
// stored bottom row first unless the height is negative.
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
}  // namespace bmp_field

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

// Bytes of one stored row. Computed in 64 bits so that no int32 width overflows.
inline constexpr std::uint64_t bmp_stride(std::uint64_t width) {
    return (width * kBytesPerPixel + (kRowAlignment - 1)) / kRowAlignment * kRowAlignment;
}

// The header fields a reader looks at, decoded from the first 54 bytes.
struct BmpHeader {
    std::uint16_t type;
    std::uint32_t pixel_offset;  // bfOffBits
    std::uint32_t info_size;     // biSize
    std::int32_t width;
    std::int32_t height;
    std::uint16_t bit_count;
    std::uint32_t compression;
};

inline BmpHeader decode_bmp_header(const std::uint8_t (&bytes)[kHeadersSize]) {
    BmpHeader h;
    h.type = read_le16(bytes + bmp_field::bfType);
    h.pixel_offset = read_le32(bytes + bmp_field::bfOffBits);
    h.info_size = read_le32(bytes + bmp_field::biSize);
    h.width = read_le32s(bytes + bmp_field::biWidth);
    h.height = read_le32s(bytes + bmp_field::biHeight);
    h.bit_count = read_le16(bytes + bmp_field::biBitCount);
    h.compression = read_le32(bytes + bmp_field::biCompression);
    return h;
}

// The 54 header bytes of a bottom-up 24-bit BMP of the given size; every field
// not listed in the table above is zero. Sizes wrap to 32 bits as the format
// stores them; callers keep pictures small enough that they never do.
inline void encode_bmp_header(std::uint8_t (&bytes)[kHeadersSize], std::int32_t width, std::int32_t height) {
    const std::uint64_t image_size = bmp_stride(static_cast<std::uint64_t>(width)) * static_cast<std::uint64_t>(height);
    for (auto& b : bytes) b = 0;
    write_le16(bytes + bmp_field::bfType, kBmpMagic);
    write_le32(bytes + bmp_field::bfSize, static_cast<std::uint32_t>(kHeadersSize + image_size));
    write_le32(bytes + bmp_field::bfOffBits, kPixelDataOffset);
    write_le32(bytes + bmp_field::biSize, kInfoHeaderSize);
    write_le32(bytes + bmp_field::biWidth, static_cast<std::uint32_t>(width));
    write_le32(bytes + bmp_field::biHeight, static_cast<std::uint32_t>(height));
    write_le16(bytes + bmp_field::biPlanes, 1);
    write_le16(bytes + bmp_field::biBitCount, kBitsPerPixel);
    write_le32(bytes + bmp_field::biCompression, kCompressionNone);
    write_le32(bytes + bmp_field::biSizeImage, static_cast<std::uint32_t>(image_size));
}

}  // namespace qpbm

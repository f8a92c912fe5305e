// The two converters, on streams. Each runs in two phases: the first reads and
// checks the input and is the only one that refuses it, so a caller opens the
// output only once the input is known good; the second writes the output.
// Neither allocates: the caller owns the buffers, and the library keeps one
// static set per converter.
#pragma once

#include <cstdint>
#include <cstdio>

#include "convert/status.hpp"
#include "formats/bmp.hpp"
#include "formats/limits.hpp"
#include "formats/pbm.hpp"

namespace qpbm {

// ---- BMP to PBM -----------------------------------------------------------

// Stored rows are read a block at a time, as many whole rows as fit in this
// many bytes (at least one), with one seek per block. A row larger than a
// block is read and converted in pieces.
inline constexpr std::size_t kRowBlockSize = 256 * 1024;

// Pixels converted at once, whole rows or a piece of one: as many as a block
// of 24-bit rows holds, so that 24-bit pictures go through in the same blocks
// whatever else is read. Each is a token, with a line feed per 30 tokens.
inline constexpr std::size_t kBlockPixelsMax = kRowBlockSize / kBytesPerPixel;
inline constexpr std::size_t kBlockTextSize = kBlockPixelsMax * kTokenSize + kBlockPixelsMax / kTokensPerLine + 1;

// The tokens of the pixels of one byte of a palette picture (at most eight
// pixels, of one bit each), one entry per byte value.
inline constexpr std::size_t kByteTokensSize = 8 * kTokenSize;

struct Bmp2PbmBuffers {
    std::uint8_t rows[kRowBlockSize];           // whole stored rows, a piece of one, or RLE bytes
    char tokens[kBlockPixelsMax * kTokenSize];  // the tokens of those pixels, before line feeds
    char text[kBlockTextSize];                  // their text, written at once
    char byte_tokens[256][kByteTokensSize];     // palette pictures: tokens by byte value (RLE: by index)
    std::uint8_t indices[kBlockPixelsMax];      // RLE: palette indices of a row or a piece of one
    std::uint8_t image[kRleImageSize];          // RLE to a pipe: the picture, a bit per pixel, set for white
};

// How stored pixels become tokens.
enum class BmpPixels : std::uint8_t {
    bgr24,     // blue, green, red bytes
    indexed,   // 1, 2, 4 or 8-bit palette indices, through byte_tokens
    masked16,  // 16-bit words, through masks
    masked32,  // 32-bit words, through masks
    rle,       // RLE8 or RLE4 palette indices
};

// Where the pixels of a checked BMP are and how to read them. The defaults
// are a 24-bit picture.
struct BmpSource {
    std::int32_t width = 0;
    std::int32_t height = 0;  // always >= 0
    bool top_down = false;    // rows stored top first (negative biHeight)
    std::uint64_t pixel_offset = 0;
    std::uint64_t stride = 0;
    BmpPixels pixels = BmpPixels::bgr24;
    std::uint32_t bit_count = 24;
    // Masked pixels: red, green and blue masks, and for each the smallest
    // masked value whose channel reaches the threshold.
    std::uint32_t masks[3] = {};
    std::uint32_t thresholds[3] = {};
    bool gathered = false;  // RLE: the check decoded the picture into buffers.image
};

// Reads and checks the headers, masks and palette, and that the pixels are
// all there; fills buffers.byte_tokens for a palette picture. An RLE picture
// for an output that cannot seek is decoded into buffers.image here. Writes
// nothing.
Status read_bmp_source(std::FILE* in, bool output_seekable, BmpSource& source, Bmp2PbmBuffers& buffers, Facts& facts);

// Writes the PBM header and one token per pixel, top row first. Fails only
// when reading or writing fails.
Status write_pbm(std::FILE* in, const BmpSource& source, bool output_seekable, Bmp2PbmBuffers& buffers, std::FILE* out);

// The tokens of `count` pixels of a stored row whose bytes start at `bytes`,
// "0 " or "1 " per pixel and no line feeds, into tokens[0, 2 * count).
void row_tokens(const BmpSource& source, const Bmp2PbmBuffers& buffers, const std::uint8_t* bytes, std::size_t count,
                char* tokens);

// The tokens of `count` pixels (blue, green, red each). Uses the widest vector
// instructions the processor offers.
void pixel_tokens(const std::uint8_t* pixels, std::size_t count, char* tokens);

// The same with only the instructions every processor of the target has.
void pixel_tokens_portable(const std::uint8_t* pixels, std::size_t count, char* tokens);

// The smallest value of an n-bit channel (mask width n, 1 to 32) that
// reaches the threshold: v * 255 >= 100 * (2^n - 1).
std::uint32_t channel_threshold(unsigned bits);

// ---- PBM to BMP -----------------------------------------------------------

// The pixel lines are read this many bytes at a time, and the BMP is written
// through a stream buffer of the same size.
inline constexpr std::size_t kPbmBlockSize = 64 * 1024;
static_assert(kPbmBlockSize > kLineReadMax, "a block holds a whole read");

// Pixel bytes of one BMP row, made eight pixels (one byte of the image) at a time.
inline constexpr std::size_t kImageRowPixelBytes = kImageRowPitch * 8 * kBytesPerPixel;
static_assert(kImageRowPixelBytes >= bmp_stride(kMaxPbmWidth), "a row and its padding fit");

struct Pbm2BmpBuffers {
    // The picture, one bit per pixel, set for white: bit x % 8 of byte x / 8
    // of buffer row k is pixel x of stored BMP row k (row 0 is the bottom of
    // the picture). Rows are kImageRowPitch bytes apart whatever the width.
    std::uint8_t image[kImageBufferSize];
    char input[kPbmBlockSize];                      // the pixel lines, one block of the input
    char row_chars[kMaxPbmWidth + kTokensPerLine];  // token characters of a row and the next line
    std::uint8_t row_pixels[kImageRowPixelBytes];   // one BMP row on its way out
    char output[kPbmBlockSize];                     // the output stream's buffer (set by the caller)
};

struct PbmSource {
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// Reads and checks the three header lines.
Status read_pbm_header(std::FILE* in, PbmSource& source, Facts& facts);

// Reads and checks the header, then gathers the pixels.
Status read_pbm_source(std::FILE* in, bool output_seekable, PbmSource& source, Pbm2BmpBuffers& buffers,
                       Facts& facts);

// Reads the tokens into the image buffer. Lenient: pixels no token reaches
// are black. Fails only on a read error.
Status gather_pbm_pixels(std::FILE* in, const PbmSource& source, Pbm2BmpBuffers& buffers);

// Packs `count` token characters, one per pixel, into bits of the image: set
// for "0" (white), clear for any other character (black). Reads and packs
// whole bytes: chars[count, count rounded up to 8) must be readable, and the
// bits they give are never used.
void pack_token_bits(const char* chars, std::size_t count, std::uint8_t* bits);

// The pixel bytes of `count` bits of the image: three bytes of 0xFF for a set
// bit, of 0x00 for a clear one. Writes whole groups of eight pixels:
// pixels[3 * count, 24 * ((count + 7) / 8)) is overwritten too.
void expand_bits(const std::uint8_t* bits, std::size_t count, std::uint8_t* pixels);

// Writes the BMP headers and the rows, bottom row first, each padded to the stride.
Status write_bmp(std::FILE* in, const PbmSource& source, bool output_seekable, Pbm2BmpBuffers& buffers,
                 std::FILE* out);

// The standard decimal conversion of text[0, length): optional leading white
// space, an optional sign, digits, stopping at the first other character.
// Saturates instead of overflowing. False when there is no digit.
bool parse_decimal(const char* text, std::size_t length, std::int64_t& value);

}  // namespace qpbm

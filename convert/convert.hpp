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

// Tokens of one picture row at the largest width.
inline constexpr std::size_t kRowTokensSize = static_cast<std::size_t>(kMaxBmpWidth) * kTokenSize;

// Stored rows are read a block at a time, as many whole rows as fit in this
// many bytes (at least one), with one seek per block.
inline constexpr std::size_t kRowBlockSize = 256 * 1024;
static_assert(kRowBlockSize >= kRowBufferSize, "a block holds the widest row");

// Text of one block: a stored row takes at least 3 bytes per pixel, so a block
// holds at most kRowBlockSize / 3 pixels, each a token, and a line feed per 30.
inline constexpr std::size_t kBlockPixelsMax = kRowBlockSize / kBytesPerPixel;
inline constexpr std::size_t kBlockTextSize = kBlockPixelsMax * kTokenSize + kBlockPixelsMax / kTokensPerLine + 1;

struct Bmp2PbmBuffers {
    std::uint8_t rows[kRowBlockSize];  // whole stored rows, blue, green, red per pixel
    char tokens[kRowTokensSize];       // the tokens of one row, before line feeds
    char text[kBlockTextSize];         // the text of one block, written at once
};

// Where the pixels of a checked BMP are.
struct BmpSource {
    std::int32_t width = 0;
    std::int32_t height = 0;  // always >= 0
    bool top_down = false;    // rows stored top first (negative biHeight)
    std::uint64_t pixel_offset = 0;
    std::uint64_t stride = 0;
};

// Reads the headers and checks that the pixels are all there. Reads nothing
// else and writes nothing.
Status read_bmp_source(std::FILE* in, bool output_seekable, BmpSource& source, Bmp2PbmBuffers& buffers,
                       Facts& facts);

// Writes the PBM header and one token per pixel, top row first.
Status write_pbm(std::FILE* in, const BmpSource& source, bool output_seekable, Bmp2PbmBuffers& buffers,
                 std::FILE* out);

// The tokens of `count` pixels (blue, green, red each), "0 " or "1 " per pixel
// and no line feeds, into tokens[0, 2 * count). Uses the widest vector
// instructions the processor offers.
void pixel_tokens(const std::uint8_t* pixels, std::size_t count, char* tokens);

// The same with only the instructions every processor of the target has.
void pixel_tokens_portable(const std::uint8_t* pixels, std::size_t count, char* tokens);

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

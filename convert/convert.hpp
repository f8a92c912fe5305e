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
Status read_bmp_source(std::FILE* in, BmpSource& source, Facts& facts);

// Writes the PBM header and one token per pixel, top row first.
Status write_pbm(std::FILE* in, const BmpSource& source, std::FILE* out, Bmp2PbmBuffers& buffers);

// The tokens of `count` pixels (blue, green, red each), "0 " or "1 " per pixel
// and no line feeds, into tokens[0, 2 * count). Uses the widest vector
// instructions the processor offers.
void pixel_tokens(const std::uint8_t* pixels, std::size_t count, char* tokens);

// The same with only the instructions every processor of the target has.
void pixel_tokens_portable(const std::uint8_t* pixels, std::size_t count, char* tokens);

// ---- PBM to BMP -----------------------------------------------------------

// The input is read this many bytes at a time once the header is known (the
// header itself in small reads, so that a refusal reads little).
inline constexpr std::size_t kPbmBlockSize = 64 * 1024;

// The BMP is written a block of this many bytes at a time: whole stored rows
// when a row fits, else one row in pieces of kRowPiecePixels pixels.
inline constexpr std::size_t kBmpBlockSize = 256 * 1024;
inline constexpr std::size_t kRowPiecePixels = kBmpBlockSize / kBytesPerPixel / 8 * 8;
static_assert(bmp_stride(kRowPiecePixels) <= kBmpBlockSize, "a piece and its padding fit a block");
static_assert(bmp_stride(kMaxPbmWidth) <= kBmpBlockSize, "a gathered row fits a block");

struct Pbm2BmpBuffers {
    // The picture of an output that cannot seek, one bit per pixel, set for
    // white: bit x % 8 of byte x / 8 of buffer row k is pixel x of stored BMP
    // row k (row 0 is the bottom of the picture). Rows are kImageRowPitch
    // bytes apart whatever the width.
    std::uint8_t image[kImageBufferSize];
    char input[kPbmBlockSize];                   // the input, one block of it
    std::uint8_t row_bits[kRowPiecePixels / 8];  // one row or piece in bits, as in the image
    std::uint8_t block[kBmpBlockSize];           // BMP bytes on their way out
};

struct PbmSource {
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool raw = false;       // P4, else P1
    bool gathered = false;  // the pixels are in the image buffer
    // Input bytes the check read past the header, still in the input buffer.
    std::uint32_t buffered_begin = 0;
    std::uint32_t buffered_end = 0;
    bool input_ended = false;  // the input has no bytes after those
};

// Reads and checks the header. When the output cannot seek, also gathers the
// pixels into the image buffer, refusing pictures larger than it holds. Sets
// `in` unbuffered: the reads go straight into the input buffer.
Status read_pbm_source(std::FILE* in, bool output_seekable, PbmSource& source, Pbm2BmpBuffers& buffers, Facts& facts);

// Writes the BMP: the headers, then the rows, each padded to the stride. A
// seekable output takes blocks of rows at their places as the PBM's rows
// arrive top first; otherwise the gathered picture goes out bottom row first.
// Fails only on a read or write error. Sets `out` unbuffered: it is written
// in whole blocks.
Status write_bmp(std::FILE* in, const PbmSource& source, bool output_seekable, Pbm2BmpBuffers& buffers, std::FILE* out);

// The pixel bytes of `count` bits of the image: three bytes of 0xFF for a set
// bit, of 0x00 for a clear one, exactly 3 * count bytes.
void expand_bits(const std::uint8_t* bits, std::size_t count, std::uint8_t* pixels);

}  // namespace qpbm

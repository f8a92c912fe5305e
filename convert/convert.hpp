// The two converters, on streams. Each runs in two phases: the first reads and
// checks the input and is the only one that refuses it, so a caller opens the
// output only once the input is known good; the second writes the output.
// Neither allocates: the caller owns the buffers, and the library keeps one
// static set per converter.
#pragma once

#include <cstdint>
#include <cstdio>

#include "convert/methods.hpp"
#include "convert/options.hpp"
#include "convert/status.hpp"
#include "formats/bmp.hpp"
#include "formats/limits.hpp"
#include "formats/pbm.hpp"

namespace qpbm {

// Refuses a picture of more pixels than the caller allows. Both readers call
// it as soon as the size is known, before anything but the header is read.
inline Status check_size_for(const Options& options, std::int64_t width, std::int64_t height, Facts& facts) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (options.max_pixels == 0 || pixels <= options.max_pixels) return Status::ok;
    facts.limit = options.max_pixels;
    return Status::too_many_pixels;
}

// ---- BMP to PBM -----------------------------------------------------------

// Stored rows are read a block at a time, as many whole rows as fit in this
// many bytes (at least one), with one seek per block. A row larger than a
// block is read and converted in pieces.
inline constexpr std::size_t kRowBlockSize = 256 * 1024;

// Pixels converted at once, whole rows or a piece of one: as many as a block
// of 24-bit rows holds, so that 24-bit pictures go through in the same blocks
// whatever else is read. Each is a token, with a line feed per 30 tokens.
inline constexpr std::size_t kBlockPixelsMax = kRowBlockSize / kBytesPerPixel;
// An RLE run is stored eight bytes at a time and may write this far past
// its end, into bytes that later pixels or a zero fill overwrite.
inline constexpr std::size_t kRleRunSlack = 8;
inline constexpr std::size_t kBlockTextSize = kBlockPixelsMax * kTokenSize + kBlockPixelsMax / kTokensPerLine + 1;

// The tokens of the pixels of one byte of a palette picture (at most eight
// pixels, of one bit each), one entry per byte value.
inline constexpr std::size_t kByteTokensSize = 8 * kTokenSize;

struct Bmp2PbmBuffers {
    std::uint8_t rows[kRowBlockSize];                      // whole stored rows, a piece of one, or RLE bytes
    char tokens[kBlockPixelsMax * kTokenSize];             // the tokens of those pixels, before line feeds
    char text[kBlockTextSize];                             // their text, written at once
    char byte_tokens[256][kByteTokensSize];                // palette pictures: tokens by byte value (RLE: by index)
    std::uint8_t indices[kBlockPixelsMax + kRleRunSlack];  // RLE: palette indices of a row or a piece of one
    std::uint8_t image[kRleImageSize];                     // RLE to a pipe: the picture, a bit per pixel, set for white
    // Every conversion but the plain channels one: pixels become values,
    // values bits, and bits the PBM.
    std::uint8_t palette_values[256];  // the value of each palette index
    std::uint8_t rle_indices[static_cast<std::size_t>(kMaxRlePipeWidth) * kMaxRlePipeHeight];  // RLE, top row first
    MethodBuffers method;
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
    unsigned level = kThreshold;  // the channels rule: white when each channel reaches this
    bool luma = false;            // the bit path gives luma values, else channel flags
    bool gathered = false;        // RLE: the check decoded the picture into buffers.image (or rle_indices)
    std::uint64_t file_size = 0;
};

// Reads and checks the headers, masks and palette, and that the pixels are
// all there; fills buffers.byte_tokens for a palette picture. An RLE picture
// for an output that cannot seek is decoded into buffers.image here. Writes
// nothing.
Status read_bmp_source(std::FILE* in, bool output_seekable, BmpSource& source, Bmp2PbmBuffers& buffers, Facts& facts,
                       const Options& options = kDefaultOptions);

// Writes the PBM header and one token per pixel, top row first. Fails only
// when reading or writing fails.
Status write_pbm(std::FILE* in, const BmpSource& source, bool output_seekable, Bmp2PbmBuffers& buffers, std::FILE* out,
                 const Options& options = kDefaultOptions);

// The tokens of `count` pixels of a stored row whose bytes start at `bytes`,
// "0 " or "1 " per pixel and no line feeds, into tokens[0, 2 * count).
void row_tokens(const BmpSource& source, const Bmp2PbmBuffers& buffers, const std::uint8_t* bytes, std::size_t count,
                char* tokens);

// The tokens of `count` pixels (blue, green, red each). Uses the widest vector
// instructions the processor offers.
void pixel_tokens(const std::uint8_t* pixels, std::size_t count, char* tokens);

// The same with only the instructions every processor of the target has.
void pixel_tokens_portable(const std::uint8_t* pixels, std::size_t count, char* tokens);

// The same with white from `level` on instead of 100.
void pixel_tokens(const std::uint8_t* pixels, std::size_t count, char* tokens, unsigned level);

// The smallest value of an n-bit channel (mask width n, 1 to 32) that
// reaches the threshold: v * 255 >= level * (2^n - 1).
std::uint32_t channel_threshold(unsigned bits, unsigned level = kThreshold);

// The values of `count` pixels of a stored row whose bytes start at `bytes`
// (RLE: palette indices), for the decision stage: luma, or channel flags.
void row_values(const BmpSource& source, const Bmp2PbmBuffers& buffers, const std::uint8_t* bytes, std::size_t count,
                std::uint8_t* values);

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
Status read_pbm_source(std::FILE* in, bool output_seekable, PbmSource& source, Pbm2BmpBuffers& buffers, Facts& facts,
                       const Options& options = kDefaultOptions);

// Writes the BMP: the headers, then the rows, each padded to the stride. A
// seekable output takes blocks of rows at their places as the PBM's rows
// arrive top first; otherwise the gathered picture goes out bottom row first.
// Fails only on a read or write error. Sets `out` unbuffered: it is written
// in whole blocks.
Status write_bmp(std::FILE* in, const PbmSource& source, bool output_seekable, Pbm2BmpBuffers& buffers, std::FILE* out,
                 const Options& options = kDefaultOptions);

// The pixel bytes of `count` bits of the image: three bytes of 0xFF for a set
// bit, of 0x00 for a clear one, exactly 3 * count bytes.
void expand_bits(const std::uint8_t* bits, std::size_t count, std::uint8_t* pixels);

}  // namespace qpbm

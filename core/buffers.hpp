// The working memory of one conversion: a reader's, the decision stage's and
// a writer's buffers, side by side, fixed at build time so that a conversion
// never allocates. A format whose part needs buffers of its own adds them to
// its union here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/limits.hpp"
#include "core/pnm_format.hpp"

namespace qpbm {

// ---- the decision stage's (decide/methods.hpp) ------------------------------

// Rows that the whole-row methods take, at most, and the bytes Sauvola may
// keep for the rows of its window. Both fix the size of the buffers below.
inline constexpr std::size_t kMaxRowMethodWidth = 131072;
inline constexpr std::size_t kWindowRowsSize = 4 * 1024 * 1024;
// Error rows reach two pixels past either end of a row, so that shares
// falling outside the picture land somewhere and are then dropped.
inline constexpr std::size_t kDiffusionMargin = 2;

struct MethodBuffers {
    std::uint8_t values[kMaxRowMethodWidth];     // a piece of a row, or a whole row
    std::uint8_t flags[kMaxRowMethodWidth + 8];  // a row's decisions, a byte each (1 black), before packing
    std::uint8_t bits[kMaxRowMethodWidth / 8];
    std::int32_t errors[3][kMaxRowMethodWidth + 2 * kDiffusionMargin];  // rows y, y + 1, y + 2 (Floyd-
                                                                        // Steinberg: y, y + 1, and row y's own)
    std::uint8_t window_rows[kWindowRowsSize];                          // Sauvola: row k at (k % W) * width
    std::uint32_t column_sums[kMaxRowMethodWidth];                      // Sauvola: sum of Y down the window
    std::uint32_t column_squares[kMaxRowMethodWidth];                   // and of Y^2
    std::uint32_t prefix_sums[kMaxRowMethodWidth + 1];     // Sauvola: column sums added up along the row, modulo
    std::uint32_t prefix_squares[kMaxRowMethodWidth + 1];  // 2^32 (a window's sums are below 2^32)
    std::uint64_t histogram[256];                          // Otsu: pixels of each Y
    std::uint32_t histogram_parts[4][256];  // Otsu: counts of a row, four tables so that equal neighbours
                                            // do not wait for each other's increments
};

// ---- the readers' -----------------------------------------------------------

// BMP (read/bmp.hpp)
struct BmpReadBuffers {
    std::uint8_t rows[kRowBlockSize];                      // whole stored rows, a piece of one, or RLE bytes
    std::uint8_t indices[kBlockPixelsMax + kRleRunSlack];  // RLE: palette indices of a row or a piece of one
    std::uint8_t palette_values[256];                      // the value of each palette index
    std::uint8_t rle_indices[static_cast<std::size_t>(kMaxRlePipeWidth) * kMaxRlePipeHeight];  // RLE, top row first
    // The legacy token path's: tokens by byte value (RLE: by index), and an
    // RLE picture for a pipe, a bit per pixel, set for white.
    char byte_tokens[256][kByteTokensSize];
    std::uint8_t image[kRleImageSize];
};

// PBM (read/pbm.hpp)
struct PbmReadBuffers {
    char input[kPbmBlockSize];  // the input, one block of it
    // One row or piece of one, and room for a word stored past its end.
    std::uint8_t bits[kRowPiecePixels / 8 + 8];
};

// PGM, PPM and PAM (read/pnm.hpp)
// Pixels converted at once, whole rows or a piece of one.
inline constexpr std::size_t kPnmPiecePixels = 16384;
// A piece of raw samples at the widest: four samples of two bytes a pixel.
inline constexpr std::size_t kPnmBlockSize = kPnmPiecePixels * kPnmDepthMax * 2;

struct PnmReadBuffers {
    char input[kPnmBlockSize];                  // the input, a block of it
    std::uint8_t samples[kPnmPiecePixels * 3];  // a piece as 8-bit grey or red, green, blue
    std::uint8_t values[kPnmPiecePixels];       // a piece's values
    std::uint8_t scale[kPnmMaxvalMax + 1];      // every sample up to the maxval as 8 bits
};

// Pixels in memory (read/pixels.hpp)
// Pixels turned into values at once, when alpha needs a pass of its own.
inline constexpr std::size_t kPixelPiecePixels = 16384;

struct PixelReadBuffers {
    std::uint8_t samples[kPixelPiecePixels * 3];  // a piece laid over white, grey or red, green, blue
    std::uint8_t values[kPixelPiecePixels];
};

// PNG (read/png.hpp)
// Pixels turned into values at once.
inline constexpr std::size_t kPngPiecePixels = 16384;

struct PngReadBuffers {
    std::uint8_t samples[kPngPiecePixels * 3];  // a piece laid over white, grey or red, green, blue
    std::uint8_t values[kPngPiecePixels];
    std::uint8_t scale[65536];      // every sample of the bit depth as 8 bits
    std::uint8_t palette[256 * 3];  // the palette laid over white
};

// JPEG (read/jpeg.hpp)
// Pixels turned into values at once.
inline constexpr std::size_t kJpegPiecePixels = 16384;
// Room for libjpeg's decompressor and error manager (read/jpeg_calls.h).
inline constexpr std::size_t kJpegSessionSize = 2048;

struct JpegReadBuffers {
    alignas(std::max_align_t) unsigned char session[kJpegSessionSize];
    std::uint8_t values[kJpegPiecePixels];
};

// TIFF (read/tiff.hpp)
inline constexpr std::size_t kTiffPiecePixels = 16384;

struct TiffReadBuffers {
    std::uint8_t samples[kTiffPiecePixels * 3];  // a piece as grey or red, green, blue
    std::uint8_t values[kTiffPiecePixels];
    std::uint8_t bits[kTiffPiecePixels / 8];
    std::uint8_t scale[65536];
    std::uint8_t palette[3 * 256];  // each index's colour, when the picture has a palette
};

// ---- the writers' -----------------------------------------------------------

// PBM (write/pbm.hpp)
struct PbmWriteBuffers {
    char tokens[kBlockPixelsMax * kTokenSize];  // tokens before line feeds
    char text[kBlockTextSize];                  // the output on its way out
};

// BMP (write/bmp.hpp)
struct BmpWriteBuffers {
    // The gathered picture: stored row k (row 0 is the bottom one) at
    // k * kImageRowPitch, its bits as the rows came.
    std::uint8_t image[kImageBufferSize];
    std::uint8_t block[kBmpBlockSize];  // BMP bytes on their way out
};

// ZPL (write/zpl.hpp)
// The widest row, in bytes: far beyond any label printer (an 8-inch head at
// 600 dpi is 4,800 dots), and the size of this writer's row buffers.
inline constexpr std::size_t kZplMaxRowBytes = 8192;

struct ZplWriteBuffers {
    std::uint8_t rows[2][kZplMaxRowBytes];  // this row and the one before
    char text[2 * kZplMaxRowBytes + 1];     // a row's data at most
};

// ---- the resize stage's (read/resize.hpp) -----------------------------------

// The widest output a resize makes (the widest row a method takes).
inline constexpr std::size_t kMaxResizeWidth = kMaxRowMethodWidth;

struct ResizeBuffers {
    std::uint8_t in_row[kMaxResizeWidth];    // where a reader puts its pieces; a row to enlarge across
    std::uint16_t rows[2][kMaxResizeWidth];  // rows y - 1 and y across, values times 256
    std::uint64_t sums[kMaxResizeWidth];     // shrinking down: the output row being added up
};

struct Buffers {
    union Read {
        BmpReadBuffers bmp;
        PbmReadBuffers pbm;
        PnmReadBuffers pnm;
        PixelReadBuffers pixels;
        PngReadBuffers png;
        JpegReadBuffers jpeg;
        TiffReadBuffers tiff;
    } read;
    MethodBuffers method;
    ResizeBuffers resize;
    union Write {
        PbmWriteBuffers pbm;
        BmpWriteBuffers bmp;
        ZplWriteBuffers zpl;
    } write;
};

}  // namespace qpbm

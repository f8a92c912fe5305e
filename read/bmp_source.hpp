// What the legacy plain PBM writer (write/pbm_tokens.cpp) takes from the BMP
// reader, and all it takes: a checked source, the walk over its stored rows,
// and the reader's kind, by which the joiner picks that path. RLE rows come
// through read/bmp_rle.hpp. The reader itself (read/bmp.hpp) stays out of reach.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "core/limits.hpp"
#include "core/status.hpp"
#include "core/stream.hpp"
#include "read/reader.hpp"

namespace qpbm {

// How stored pixels are read.
enum class BmpPixels : std::uint8_t {
    bgr24,     // blue, green, red bytes
    indexed,   // 1, 2, 4 or 8-bit palette indices
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
    bool luma = false;            // values are luma, else channel flags
    bool gathered = false;        // RLE: the check decoded the picture into image (tokens) or rle_indices
    std::uint64_t file_size = 0;
    std::int32_t x_pels_per_metre = 0;  // as stored; a resolution when both are over 0
    std::int32_t y_pels_per_metre = 0;
};

// Hands every piece of every uncompressed row to piece(y, first, bytes,
// count), top row first, and calls block_done() after each read. A row is one
// piece when it fits a block; a wider one comes in pieces of whole bytes,
// each starting at a multiple of 8 pixels. Either callback returns false to
// stop with a write error.
template <class Piece, class BlockDone>
Status for_each_piece(std::FILE* in, const BmpSource& source, std::uint8_t* block, Piece&& piece,
                      BlockDone&& block_done) {
    const std::size_t width = static_cast<std::size_t>(source.width);
    const std::size_t height = static_cast<std::size_t>(source.height);
    const std::uint64_t stride = source.stride;
    const std::size_t bits = source.bit_count;

    if (stride <= kRowBlockSize && width <= kBlockPixelsMax) {
        // Picture rows [top, top + rows), counted from the top, come from the
        // stored rows [low, low + rows): the same rows in a top-down file, the
        // mirrored ones in a bottom-up file, which is thus read from its end.
        const std::size_t row_stride = static_cast<std::size_t>(stride);
        const std::size_t row_bytes = (width * bits + 7) / 8;
        const std::size_t rows_per_block =
            std::max<std::size_t>(1, std::min(kRowBlockSize / row_stride, kBlockPixelsMax / width));
        for (std::size_t top = 0; top < height; top += rows_per_block) {
            const std::size_t rows = std::min(rows_per_block, height - top);
            const std::size_t low = source.top_down ? top : height - top - rows;
            // The last row read needs its pixels but not its padding.
            const std::size_t bytes = (rows - 1) * row_stride + row_bytes;
            if (!seek_to(in, source.pixel_offset + static_cast<std::uint64_t>(low) * stride) ||
                std::fread(block, 1, bytes, in) != bytes)
                return Status::read_failed;  // the size was checked, so the file changed or failed
            for (std::size_t i = 0; i < rows; ++i) {
                const std::size_t stored = source.top_down ? i : rows - 1 - i;
                if (!piece(top + i, std::size_t{0}, block + stored * row_stride, width)) return Status::write_failed;
            }
            if (!block_done()) return Status::write_failed;
        }
        return Status::ok;
    }

    // A row larger than a block: pieces of whole bytes, as many pixels as
    // both the block and the text hold (a multiple of 8, so that every piece
    // starts on a byte).
    const std::size_t piece_pixels = std::min(kBlockPixelsMax, kRowBlockSize * 8 / bits) / 8 * 8;
    for (std::size_t top = 0; top < height; ++top) {
        const std::uint64_t stored = source.top_down ? top : height - 1 - top;
        for (std::size_t first = 0; first < width; first += piece_pixels) {
            const std::size_t count = std::min(piece_pixels, width - first);
            const std::size_t bytes = (count * bits + 7) / 8;
            const std::uint64_t at =
                source.pixel_offset + stored * stride + static_cast<std::uint64_t>(first) / 8 * bits;
            if (!seek_to(in, at) || std::fread(block, 1, bytes, in) != bytes) return Status::read_failed;
            if (!piece(top, first, block, count) || !block_done()) return Status::write_failed;
        }
    }
    return Status::ok;
}

// The reader these sources come from.
extern const ReaderKind kBmpReader;

}  // namespace qpbm

// The BMP reader: every variant (palettes of 1 to 8 bits, 16 and 32-bit
// masks, 24 bits, RLE8 and RLE4), as pixel values for the decision stage.
// The check (read/bmp.cpp) reads the headers, masks and palette; the rows
// (read/bmp_rows.cpp) come a block of stored rows at a time, top row first,
// through one small decoder per variant; RLE (read/bmp_rle.hpp) lists rows
// bottom first, so an RLE picture is decoded during the check.
//
// The legacy plain PBM writer reads the same stored rows straight into tokens
// (write/pbm_tokens.cpp): for it the check also fills a token table for the
// palette, and gathers an RLE picture for a pipe as bits.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/bmp_format.hpp"
#include "core/buffers.hpp"
#include "core/limits.hpp"
#include "decide/methods.hpp"
#include "read/bmp_source.hpp"
#include "read/reader.hpp"

namespace qpbm {

// Reads and checks the headers, masks and palette, and that the pixels are
// all there. With `tokens` (the legacy plain PBM writer), fills the token
// table and, for an output that cannot seek, gathers an RLE picture into
// image; else an RLE picture is decoded into rle_indices. Writes nothing.
Status check_bmp(std::FILE* in, bool output_seekable, bool tokens, BmpSource& source, BmpReadBuffers& buffers,
                 Facts& facts, const Options& options);

// The values of `count` pixels of a stored row whose bytes start at `bytes`
// (RLE: palette indices), for the decision stage: luma, or channel flags.
void row_values(const BmpSource& source, const BmpReadBuffers& buffers, const std::uint8_t* bytes, std::size_t count,
                std::uint8_t* values);

// The smallest value of an n-bit channel (mask width n, 1 to 32) that
// reaches the threshold: v * 255 >= level * (2^n - 1).
std::uint32_t channel_threshold(unsigned bits, unsigned level = kThreshold);

// The reader over a source, checked here or given.
class BmpReader final : public Reader {
public:
    explicit BmpReader(BmpReadBuffers& buffers) : b_(buffers) {}
    BmpReader(BmpReadBuffers& buffers, const BmpSource& source) : b_(buffers), source_(source) {}

    Status check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) override;
    Status read(std::FILE* in, const ReadRequest& request, RowSink& sink) override;

    BmpSource& source() { return source_; }
    BmpReadBuffers& buffers() { return b_; }

private:
    BmpReadBuffers& b_;
    BmpSource source_;
};

}  // namespace qpbm

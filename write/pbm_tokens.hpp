// The legacy plain PBM conversion of a BMP under the channels rule (no
// --invert): stored pixels straight to tokens, the fastest path there is,
// byte for byte the library's first output. The joiner picks it; it reads
// the BMP reader's checked source and writes what the PBM writer would.
#pragma once

#include <cstdio>

#include "read/bmp.hpp"
#include "write/pbm.hpp"

namespace qpbm {

// Whether a conversion takes this path.
inline bool takes_pbm_tokens(const ReaderKind& reader, const WriterKind& writer, const Options& options) {
    return &reader == &kBmpReader && &writer == &kPbmWriter && plain_channels(options);
}

// Writes the PBM header and one token per pixel, top row first, from a
// source checked with tokens. Fails only when reading or writing fails, or
// when options.cancel is set as a row begins.
Status write_pbm_tokens(std::FILE* in, const BmpSource& source, BmpReadBuffers& read, PbmWriteBuffers& write,
                        std::FILE* out, const Options& options = kDefaultOptions);

// The tokens of `count` pixels of a stored row whose bytes start at `bytes`,
// "0 " or "1 " per pixel and no line feeds, into tokens[0, 2 * count).
void row_tokens(const BmpSource& source, const BmpReadBuffers& buffers, const std::uint8_t* bytes, std::size_t count,
                char* tokens);

// The tokens of `count` pixels (blue, green, red each). Uses the widest vector
// instructions the processor offers.
void pixel_tokens(const std::uint8_t* pixels, std::size_t count, char* tokens);

// The same with only the instructions every processor of the target has.
void pixel_tokens_portable(const std::uint8_t* pixels, std::size_t count, char* tokens);

// The same with white from `level` on instead of 100.
void pixel_tokens(const std::uint8_t* pixels, std::size_t count, char* tokens, unsigned level);

}  // namespace qpbm

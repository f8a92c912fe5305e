// The two converters, on streams. Each runs in two phases: the first reads and
// checks the input and is the only one that refuses it, so a caller opens the
// output only once the input is known good; the second writes the output.
// Neither allocates: the caller owns the buffers, and the library keeps one
// static set per converter.
#pragma once

#include <cstdint>
#include <cstdio>

#include "convert/status.hpp"
#include "formats/limits.hpp"
#include "formats/pbm.hpp"

namespace qpbm {

// ---- BMP to PBM -----------------------------------------------------------

// Text of one picture row at the largest width: a token per pixel and a line
// feed at most every 30 tokens.
inline constexpr std::size_t kRowTextSize =
    static_cast<std::size_t>(kMaxBmpWidth) * kTokenSize + kMaxBmpWidth / kTokensPerLine + 1;

struct Bmp2PbmBuffers {
    std::uint8_t row[kRowBufferSize];  // one stored row, blue, green, red per pixel
    char text[kRowTextSize];           // the tokens made from it
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

// ---- PBM to BMP -----------------------------------------------------------

struct Pbm2BmpBuffers {
    // Buffer row k holds stored BMP row k (row 0 is the bottom of the
    // picture), kImageRowPitch bytes apart whatever the width.
    std::uint8_t image[kImageBufferSize];
};

struct PbmSource {
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// Reads and checks the three header lines.
Status read_pbm_header(std::FILE* in, PbmSource& source, Facts& facts);

// Reads the tokens into the image buffer. Lenient: pixels no token reaches
// are black. Fails only on a read error.
Status gather_pbm_pixels(std::FILE* in, const PbmSource& source, Pbm2BmpBuffers& buffers);

// Writes the BMP headers and the rows, bottom row first, each padded to the stride.
Status write_bmp(const PbmSource& source, const Pbm2BmpBuffers& buffers, std::FILE* out);

// The standard decimal conversion of text[0, length): optional leading white
// space, an optional sign, digits, stopping at the first other character.
// Saturates instead of overflowing. False when there is no digit.
bool parse_decimal(const char* text, std::size_t length, std::int64_t& value);

}  // namespace qpbm

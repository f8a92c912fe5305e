// The TIFF reader, through libtiff: strips or tiles; compressions none,
// PackBits, LZW, Deflate, CCITT G3 and G4, and JPEG where libtiff has it;
// bilevel, grey, RGB (with or without alpha) and palette pictures of 1 to 16
// bits a sample, stored contiguously. The first page is read, or the one
// Options::page names.
//
// A bilevel picture (1 bit, MinIsWhite or MinIsBlack) is handed over as bit
// rows, as a PBM is. Other pictures become values by the sample rules: a
// sample v of b bits is (v * 255 + M div 2) div M with M = 2^b - 1 (a
// MinIsWhite grey one is M - v first), a palette's 16-bit colours by their
// high byte (as libtiff, netpbm and Pillow take them), and alpha is laid over white (associated alpha, whose
// colours are premultiplied, as c + 255 - a).
//
// Strips are read a row at a time; tiles a row of tiles at a time, at most
// kTiffMaxBandBytes. libtiff's single allocations are capped at
// kTiffMaxAllocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/buffers.hpp"
#include "core/options.hpp"
#include "read/reader.hpp"

struct tiff;

namespace qpbm {

inline constexpr std::uint64_t kTiffMaxBandBytes = 64u << 20;
inline constexpr std::size_t kTiffMaxAllocation = 64u << 20;

// libtiff's last error, in its words.
struct TiffMessage {
    char text[160] = {};
};

// The stream under a libtiff handle. Once `cut`, libtiff's reads, writes and
// seeks fail without reaching the file: TIFFClose of a file open for writing
// flushes, and the flush of a picture given up must go nowhere.
struct TiffStream {
    std::FILE* file = nullptr;
    bool cut = false;
};

// A libtiff handle on an open stream ("r" or "w"), which must outlive it,
// its errors kept in `message`; null when libtiff refuses.
tiff* open_tiff(TiffStream& stream, const char* mode, TiffMessage& message);

class TiffReader final : public Reader {
public:
    explicit TiffReader(TiffReadBuffers& buffers) : b_(buffers) {}
    ~TiffReader() override;
    TiffReader(const TiffReader&) = delete;
    TiffReader& operator=(const TiffReader&) = delete;

    Status check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) override;
    Status read(std::FILE* in, const ReadRequest& request, RowSink& sink) override;

private:
    Status refused(Facts& facts);
    Resolution resolution() const;
    Status hand_over(const std::uint8_t* row, std::size_t y, const ReadRequest& request, RowSink& sink);

    TiffReadBuffers& b_;
    TiffStream stream_;
    tiff* tif_ = nullptr;
    TiffMessage message_;
    std::uint8_t* band_ = nullptr;  // a scanline, or a row of tiles
    Facts* facts_ = nullptr;
    std::uint32_t width_ = 0, height_ = 0, tile_width_ = 0, tile_height_ = 0;
    unsigned bits_ = 1, samples_ = 1, colours_ = 1;
    bool tiled_ = false, bilevel_ = false, white_is_zero_ = false, palette_ = false, alpha_ = false;
    bool premultiplied_ = false;  // associated alpha
    std::uint64_t band_bytes_ = 0;
};

extern const ReaderKind kTiffReader;

// The libtiff this build runs, as "libtiff 4.5.0".
const char* tiff_library();

}  // namespace qpbm

// The ESC/POS writer: the picture as raster bit images for a receipt
// printer, ready to be copied to the printer's device.
//
//   ESC @                          1B 40, reset the printer
//   GS v 0 m xL xH yL yH d1...dk   1D 76 30 00, then the band's bytes a row
//                                  (x = xL + 256 xH) and rows (y = yL + 256 yH),
//                                  then x * y bytes of rows: the leftmost dot in
//                                  the highest bit, 1 prints, rows padded to a byte
//   ... one such band per kEscPosBandRows rows ...
//   ESC d n                        1B 64 n, feed n lines past the tear bar
//
// Printers differ in the tallest band they take (yH at most 8 or 15); bands
// of at most 255 rows are taken by all of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "write/writer.hpp"

namespace qpbm {

inline constexpr std::size_t kEscPosBandRows = 255;
inline constexpr std::uint64_t kEscPosMaxRowBytes = 0xFFFF;  // x is two bytes
inline constexpr std::uint8_t kEscPosFeedLines = 4;

class EscPosWriter final : public Writer {
public:
    Status check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) override;
    bool gathers() const override { return false; }
    Status begin(std::FILE* out) override;
    bool take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) override;
    Status finish() override;

private:
    std::FILE* out_ = nullptr;
    std::uint64_t row_bytes_ = 0, height_ = 0;
};

extern const WriterKind kEscPosWriter;

}  // namespace qpbm

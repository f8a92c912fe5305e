// The XBM writer: an X11 bitmap, which is also C source, so that the picture
// can be compiled into a microcontroller's or an e-paper panel's program.
//
//   #define image_width 17
//   #define image_height 5
//   static unsigned char image_bits[] = {
//     0x00, 0x1c, ...                     twelve bytes a line
//     0x01 };
//
// Rows are padded to a byte; within a byte the leftmost pixel is the lowest
// bit (the reverse of a raw PBM's), and a set bit is black.
#pragma once

#include <cstddef>
#include <cstdint>

#include "write/writer.hpp"

namespace qpbm {

inline constexpr std::size_t kXbmBytesPerLine = 12;

class XbmWriter final : public Writer {
public:
    Status check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) override;
    bool gathers() const override { return false; }
    Status begin(std::FILE* out) override;
    bool take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) override;
    Status finish() override;

private:
    std::FILE* out_ = nullptr;
    std::int32_t width_ = 0, height_ = 0;
    std::uint64_t written_ = 0;  // bytes of the picture written
};

extern const WriterKind kXbmWriter;

}  // namespace qpbm

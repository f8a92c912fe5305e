// The BMP writer: 24 bits per pixel (0xFF or 0x00 in each channel) after 54
// header bytes, or 1 bit per pixel after 62 (the headers and a black and a
// white palette entry), rows bottom first, each padded to the stride.
//
// Every row's place is known from the header, so a seekable output takes
// each block of rows at its place as the rows arrive top first: any size in
// constant memory. An output that cannot seek must be written in order, so
// the picture is gathered first, one bit per pixel, up to kMaxPbmWidth x
// kMaxPbmHeight.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/limits.hpp"
#include "write/writer.hpp"

namespace qpbm {

struct BmpWriteBuffers {
    // The gathered picture: stored row k (row 0 is the bottom one) at
    // k * kImageRowPitch, its bits as the rows came.
    std::uint8_t image[kImageBufferSize];
    std::uint8_t block[kBmpBlockSize];  // BMP bytes on their way out
};

// The pixel bytes of `count` pixels of one-bit image bits (bit x % 8 of byte
// x / 8 is pixel x, set for white): three bytes of 0xFF for a set bit, of
// 0x00 for a clear one, exactly 3 * count bytes.
void expand_bits(const std::uint8_t* bits, std::size_t count, std::uint8_t* pixels);

class BmpWriter final : public Writer {
public:
    BmpWriter(BmpWriteBuffers& buffers, unsigned bits) : b_(buffers), bits_(bits) {}

    Status check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) override;
    // biXPelsPerMeter and biYPelsPerMeter; 0 without a resolution, as ever.
    void set_resolution(const Resolution& resolution) override { resolution_ = resolution; }
    bool gathers() const override { return gathers_; }
    Status begin(std::FILE* out) override;
    bool take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) override;
    Status finish() override;

private:
    std::size_t bytes_of(std::size_t pixels) const { return bits_ == 1 ? (pixels + 7) / 8 : pixels * 3; }
    void stored_pixels(const std::uint8_t* bits, std::size_t count, std::uint8_t* out) const;
    bool write_block();
    Status write_gathered();

    BmpWriteBuffers& b_;
    unsigned bits_;
    Resolution resolution_;
    std::FILE* out_ = nullptr;
    std::uint64_t width_ = 0, height_ = 0;
    std::uint64_t header_size_ = 0, stride_ = 0;
    bool gathers_ = false;
    bool failed_ = false;
    // Rows to a seekable output: a block of n rows from picture row `top`,
    // stored from the block's end; a row wider than a block goes alone.
    std::uint64_t top_ = 0, rows_ = 0;
};

extern const WriterKind kBmpWriter;

}  // namespace qpbm

// The pixel-buffer reader: rows of 8-bit samples in a caller's memory, in one
// of six layouts, handed over as value rows. It decides what a PAM of the
// same samples (maxval 255) gives: alpha is laid over white, then luma or the
// channels flags. It is chosen by the caller, never by first bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/buffers.hpp"
#include "read/reader.hpp"

namespace qpbm {

enum class PixelLayout : std::uint8_t { gray8, graya8, rgb8, rgba8, bgr8, bgra8 };

// Samples a pixel of the layout takes.
constexpr unsigned samples_per_pixel(PixelLayout layout) {
    switch (layout) {
        case PixelLayout::gray8: return 1;
        case PixelLayout::graya8: return 2;
        case PixelLayout::rgb8:
        case PixelLayout::bgr8: return 3;
        case PixelLayout::rgba8:
        case PixelLayout::bgra8: return 4;
    }
    return 0;
}

// Rows top first, row y at data + y * stride. A stride of 0 repeats one row.
struct PixelSource {
    const std::uint8_t* data = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
    PixelLayout layout = PixelLayout::rgb8;
};

class PixelReader final : public Reader {
public:
    PixelReader(PixelReadBuffers& buffers, const PixelSource& source) : b_(buffers), source_(source) {}

    // Refuses a layout, size or stride that does not describe memory.
    Status check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) override;
    Status read(std::FILE* in, const ReadRequest& request, RowSink& sink) override;

private:
    PixelReadBuffers& b_;
    PixelSource source_;
};

// The kind that names this reader in conversions and messages; it claims no
// input by its bytes.
extern const ReaderKind kPixelReader;

}  // namespace qpbm

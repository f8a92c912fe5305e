// The pixel-buffer reader: each piece of a row goes to the value rules
// straight from the caller's memory, or through a pass that lays alpha over
// white first.
#include "read/pixels.hpp"

#include <algorithm>

#include "convert/buffers.hpp"
#include "formats/pbm.hpp"
#include "formats/pnm.hpp"
#include "read/values.hpp"

namespace qpbm {

namespace {

// `count` pixels of grey and alpha, or of four samples with alpha last, laid
// over white as grey or as three samples in their order.
void lay_over_white(const std::uint8_t* in, std::size_t count, unsigned samples, std::uint8_t* out) {
    if (samples == 2) {
        for (std::size_t x = 0; x < count; ++x) out[x] = over_white(in[2 * x], in[2 * x + 1]);
        return;
    }
    for (std::size_t x = 0; x < count; ++x)
        for (unsigned k = 0; k < 3; ++k) out[3 * x + k] = over_white(in[4 * x + k], in[4 * x + 3]);
}

bool claims_nothing(const unsigned char*, std::size_t) { return false; }

}  // namespace

Status PixelReader::check(std::FILE*, const ReadRequest& request, Picture& picture, Facts& facts) {
    const PixelSource& s = source_;
    facts.width = s.width;
    facts.height = s.height;
    facts.format = "pixels";
    if (s.width > static_cast<std::uint32_t>(kPbmDimensionMax) ||
        s.height > static_cast<std::uint32_t>(kPbmDimensionMax))
        return Status::pixels_bad_size;
    const std::uint64_t row = static_cast<std::uint64_t>(s.width) * samples_per_pixel(s.layout);
    if (samples_per_pixel(s.layout) == 0) return Status::pixels_bad_layout;
    if (s.width > 0 && s.height > 0) {
        // The stride must hold a row (or repeat one), and the last row must
        // end within the address space.
        if (s.data == nullptr) return Status::pixels_no_data;
        facts.needed_size = row;
        facts.limit = s.stride;
        if (s.stride != 0 && s.stride < row) return Status::pixels_bad_stride;
        const std::uint64_t last = static_cast<std::uint64_t>(s.height - 1);
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(s.data);
        if (row > UINTPTR_MAX - start) return Status::pixels_bad_stride;
        if (s.stride != 0 && last > (UINTPTR_MAX - start - row) / s.stride) return Status::pixels_bad_stride;
        facts.needed_size = facts.limit = 0;
    }
    picture = {static_cast<std::int32_t>(s.width), static_cast<std::int32_t>(s.height), RowForm::values};
    return check_size_for(*request.options, s.width, s.height, facts);
}

Status PixelReader::read(std::FILE*, const ReadRequest& request, RowSink& sink) {
    const PixelSource& s = source_;
    const unsigned samples = samples_per_pixel(s.layout);
    const bool alpha = samples == 2 || samples == 4;
    const bool grey = s.layout == PixelLayout::gray8 || s.layout == PixelLayout::graya8;
    const bool blue_first = s.layout == PixelLayout::bgr8 || s.layout == PixelLayout::bgra8;
    const ValueRule rule = value_rule(*request.options);
    for (std::size_t y = 0; y < s.height; ++y) {
        const std::uint8_t* row = s.data + y * s.stride;
        for (std::size_t first = 0; first < s.width; first += kPixelPiecePixels) {
            const std::size_t count = std::min<std::size_t>(kPixelPiecePixels, s.width - first);
            const std::uint8_t* pixels = row + first * samples;
            if (alpha) {
                lay_over_white(pixels, count, samples, b_.samples);
                pixels = b_.samples;
            }
            std::uint8_t* values = request.whole_rows ? request.row + first : b_.values;
            if (grey)
                grey_values(pixels, count, values, rule);
            else if (blue_first)
                bgr_values(pixels, count, values, rule);
            else
                rgb_values(pixels, count, values, rule);
            if (!sink.take(y, first, values, count)) return Status::write_failed;
        }
    }
    return Status::ok;
}

const ReaderKind kPixelReader = {
    "pixels",
    Format::pixels,
    Format::pbm,
    claims_nothing,
    [](PartRoom& room, Buffers& buffers) -> Reader* {
        return build_in<PixelReader>(room, buffers.read.pixels, PixelSource{});
    },
};

}  // namespace qpbm

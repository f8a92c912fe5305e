// Resizing, between a reader and the decision stage, so that a picture is
// decided (and dithered) at the size it is printed at.
//
// Shrinking averages areas: an output pixel is the mean of the input pixels
// under it, each weighed by the exact fraction of it that the output pixel
// covers. Enlarging interpolates bilinearly between the four nearest input
// pixels, pixel centres aligned. Each axis does one or the other on its own.
//
// The averages are of the values as the reader makes them (luma of the
// stored sRGB samples, as Pillow's BOX filter and ImageMagick's -resize on
// an sRGB picture average them), not of linear light: the methods'
// thresholds and dithering work on those values, so a half-covered black
// edge comes out as the value half way between, which a threshold at the
// middle splits evenly. Under the channels rule the values are 0/255 flags:
// they are averaged as grey and made flags again at the middle (white where
// at least half the area was white). A bilevel input that is resized is
// averaged the same way, 0 for black and 255 for white, and then decided
// by the method like any grey picture.
//
// Rows stream through: the stage holds two rows of the output's width, one
// of sums, and, to enlarge across, one input row. Every step is integer
// arithmetic, so every platform gives the same values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffers.hpp"
#include "read/reader.hpp"

namespace qpbm {

struct Size {
    std::int64_t width = 0;
    std::int64_t height = 0;
};

inline bool resizing(const Options& options) { return options.resize.width != 0 || options.resize.height != 0; }

// The size a picture stored at width x height comes out at, for `asked`, a
// size asked of the picture as it comes out: one side given, the other
// keeps the aspect ratio, rounded to the nearest and at least 1; both, that
// size; both with `fit`, the largest size of the aspect ratio inside them.
// A picture of no pixels keeps its size.
Size resize_target(std::int64_t width, std::int64_t height, const Resize& asked);

// Whether the output lies a quarter turn from the stored rows: the input's
// orientation 5 to 8 (EXIF's transposed layouts), undone, and a turn of 90
// or 270 degrees, each swap the axes.
inline bool turns_a_quarter(const Options& options, unsigned orientation) {
    const bool stored_across = options.auto_orient && orientation >= 5 && orientation <= 8;
    return stored_across != (options.rotate == 90 || options.rotate == 270);
}

// The same under the options: the one place where what is asked of the
// output becomes a size for the stored picture. The size asked is the
// output's, so across a quarter turn it is asked of the picture turned.
inline Size resized_size(std::int64_t width, std::int64_t height, const Options& options, bool quarter) {
    if (!quarter) return resize_target(width, height, options.resize);
    const Size turned = resize_target(height, width, options.resize);
    return {turned.height, turned.width};
}

// The check's part: with a resize asked, turns the reader's picture into the
// output's (size, values, resolution scaled so that the physical size stays),
// refusing an output over the limits. `stored` keeps the reader's picture;
// `resized` tells whether the rows need the stage at all.
Status plan_resize(const Options& options, bool quarter, Picture& picture, Picture& stored, bool& resized,
                   Facts& facts);

// The stage: takes the reader's rows of `stored` and hands rows of `out`
// (values, whole rows in one piece each, at `out_row`) to `next`.
class ResizeStage final : public RowSink {
public:
    ResizeStage(const Picture& stored, const Picture& out, const Options& options, ResizeBuffers& buffers,
                std::uint8_t* out_row, RowSink& next);

    // Whether the reader must put the pieces of a values row at their places
    // in buffers.in_row (ReadRequest::whole_rows): to enlarge across.
    bool whole_rows() const { return out_w_ > in_w_; }

    bool take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) override;

private:
    void across_area(const std::uint8_t* values, std::size_t count);
    void across_linear();
    bool down_area(std::size_t y);
    bool down_linear(std::size_t y);
    std::uint8_t value(std::uint64_t v) const;
    bool emit();

    std::uint64_t in_w_, in_h_, out_w_, out_h_;
    bool bits_;
    bool flags_;  // the channels rule: values made flags again at the middle
    ResizeBuffers& b_;
    std::uint8_t* out_row_;
    RowSink& next_;
    // The stored size, and an input pixel's length in units of an output
    // pixel's W or H: out_w_ (out_h_) times the reader's shrink.
    std::uint64_t span_w_, span_h_, step_x_, step_y_;
    std::uint16_t* across_ = nullptr;  // the row across being made: rows[y % 2]
    std::uint64_t across_scale_;       // 2^48 / in_w_, rounded: area sums across to values times 256
    // Across, by area, within a row: the input pixel's start, the output
    // pixel's end (units of 1 / (in_w_ * out_w_) of the row), its index and sum.
    std::uint64_t x_at_ = 0, x_end_ = 0, x_sum_ = 0;
    std::size_t x_out_ = 0;
    // Down: the next output row, and by area the input row's start and the
    // output row's end (units of 1 / (in_h_ * out_h_) of the height).
    std::uint64_t y_out_ = 0, y_at_ = 0, y_end_ = 0;
};

}  // namespace qpbm

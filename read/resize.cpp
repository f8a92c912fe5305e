#include "read/resize.hpp"

#include <algorithm>
#include <cstring>

#include "core/limits.hpp"

namespace qpbm {

namespace {

// a * b / c rounded to the nearest (halves up), for a, b below 2^32 and c
// of at least 1: a * b + c / 2 stays below 2^64.
std::uint64_t scaled(std::uint64_t a, std::uint64_t b, std::uint64_t c) { return (a * b + c / 2) / c; }

std::int64_t at_least_one(std::uint64_t n) { return static_cast<std::int64_t>(std::max<std::uint64_t>(n, 1)); }

// Values times 256 from sums of values weighed by up to 2^31 and adding up
// to the input's width: (sum * round(2^48 / width)) >> 40, rounded. The sum is at most
// 255 * width, so the product stays below 2^57.
constexpr unsigned kAcrossShift = 40;
constexpr std::uint64_t kAcrossOne = std::uint64_t{1} << 48;

}  // namespace

Size resize_target(std::int64_t width, std::int64_t height, const Resize& asked) {
    if (width <= 0 || height <= 0 || (asked.width == 0 && asked.height == 0)) return {width, height};
    const std::uint64_t w = static_cast<std::uint64_t>(width), h = static_cast<std::uint64_t>(height);
    const std::uint64_t aw = asked.width, ah = asked.height;
    if (aw != 0 && ah != 0) {
        if (!asked.fit) return {static_cast<std::int64_t>(aw), static_cast<std::int64_t>(ah)};
        // The box's width binds when the picture is at least as wide for its height as the box.
        if (w * ah >= h * aw) return {static_cast<std::int64_t>(aw), at_least_one(scaled(h, aw, w))};
        return {at_least_one(scaled(w, ah, h)), static_cast<std::int64_t>(ah)};
    }
    if (aw != 0) return {static_cast<std::int64_t>(aw), at_least_one(scaled(h, aw, w))};
    return {at_least_one(scaled(w, ah, h)), static_cast<std::int64_t>(ah)};
}

Status plan_resize(const Options& options, bool quarter, Picture& picture, Picture& stored, bool& resized,
                   Facts& facts) {
    stored = picture;
    resized = false;
    if (!resizing(options) || picture.width <= 0 || picture.height <= 0) return Status::ok;
    // A reader that shrank on its own still sizes the output from the picture as stored.
    const std::int64_t full_width = picture.stored_width > 0 ? picture.stored_width : picture.width;
    const std::int64_t full_height = picture.stored_height > 0 ? picture.stored_height : picture.height;
    const Size size = resized_size(full_width, full_height, options, quarter);
    if (static_cast<std::uint64_t>(size.width) > kMaxResizeWidth) {
        facts.width = size.width;
        facts.limit = kMaxResizeWidth;
        return Status::too_wide_for_method;
    }
    // Past that, each output's own limit applies in its check.
    if (size.height > INT32_MAX) {
        facts.width = size.width;
        facts.height = size.height;
        facts.limit = INT32_MAX;
        return Status::decoded_too_many_pixels;
    }
    if (const Status status = check_size_for(options, size.width, size.height, facts); status != Status::ok) {
        facts.width = size.width;
        facts.height = size.height;
        return status;
    }
    const bool shrunk = picture.shrink > 1;
    picture.stored_width = picture.stored_height = 0;
    picture.shrink = 1;
    if (!shrunk && size.width == picture.width && size.height == picture.height) return Status::ok;
    resized = true;
    picture.width = static_cast<std::int32_t>(size.width);
    picture.height = static_cast<std::int32_t>(size.height);
    picture.form = RowForm::values;
    // The same physical size: a 300 dpi page at half its width is 150 dpi.
    if (picture.resolution.unit != ResolutionUnit::none) {
        picture.resolution.x *= static_cast<double>(size.width) / static_cast<double>(full_width);
        picture.resolution.y *= static_cast<double>(size.height) / static_cast<double>(full_height);
    }
    return Status::ok;
}

ResizeStage::ResizeStage(const Picture& stored, const Picture& out, const Options& options, ResizeBuffers& buffers,
                         std::uint8_t* out_row, RowSink& next)
    : in_w_(static_cast<std::uint64_t>(stored.width)),
      in_h_(static_cast<std::uint64_t>(stored.height)),
      out_w_(static_cast<std::uint64_t>(out.width)),
      out_h_(static_cast<std::uint64_t>(out.height)),
      bits_(stored.form == RowForm::bits),
      flags_(!value_rule(options).luma),
      b_(buffers),
      out_row_(out_row),
      next_(next),
      span_w_(stored.shrink > 1 ? static_cast<std::uint64_t>(stored.stored_width) : in_w_),
      span_h_(stored.shrink > 1 ? static_cast<std::uint64_t>(stored.stored_height) : in_h_),
      step_x_(std::uint64_t{stored.shrink} * out_w_),
      step_y_(std::uint64_t{stored.shrink} * out_h_),
      across_scale_((kAcrossOne + span_w_ / 2) / span_w_),
      y_end_(span_h_) {
    if (out_h_ <= in_h_) std::memset(b_.sums, 0, out_w_ * sizeof b_.sums[0]);
}

bool ResizeStage::take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) {
    const bool linear = whole_rows();
    across_ = b_.rows[y % 2];
    if (first == 0) {
        x_at_ = 0;
        x_end_ = span_w_;
        x_sum_ = 0;
        x_out_ = 0;
    }
    if (bits_) {
        // Black (1) is 0, white 255; a piece starts on a byte.
        constexpr std::size_t kChunk = 256;
        std::uint8_t chunk[kChunk];
        for (std::size_t done = 0; done < count; done += kChunk) {
            const std::size_t n = std::min(kChunk, count - done);
            std::uint8_t* values = linear ? b_.in_row + first + done : chunk;
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t x = done + k;
                values[k] = (row[x / 8] >> (7 - x % 8) & 1) != 0 ? 0 : 255;
            }
            if (!linear) across_area(values, n);
        }
    } else if (linear) {
        // Whole rows were asked for: the piece is normally at its place already.
        if (row != b_.in_row + first) std::memmove(b_.in_row + first, row, count);
    } else {
        across_area(row, count);
    }
    if (first + count < in_w_) return true;
    if (linear) across_linear();
    return out_h_ > in_h_ ? down_linear(y) : down_area(y);
}

// Input pixel x spans [x * s * out_w_, (x + 1) * s * out_w_) and output
// pixel i spans [i * W, (i + 1) * W), W the stored width and s the
// reader's shrink (usually 1): shrinking, an input pixel falls in one output
// pixel or is split between two, or, shrunk by the reader, up to three.
// The last input pixel of a shrunk row ends at the stored width.
void ResizeStage::across_area(const std::uint8_t* values, std::size_t count) {
    const std::uint64_t step = step_x_, last = span_w_ * out_w_;
    std::uint64_t at = x_at_, end = x_end_, sum = x_sum_;
    std::size_t i = x_out_;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t v = values[k];
        const std::uint64_t next = std::min(at + step, last);
        while (next >= end) {
            sum += v * (end - at);
            across_[i++] = static_cast<std::uint16_t>(
                (sum * across_scale_ + (std::uint64_t{1} << (kAcrossShift - 1))) >> kAcrossShift);
            sum = 0;
            at = end;
            end += span_w_;
        }
        sum += v * (next - at);
        at = next;
    }
    x_at_ = at;
    x_end_ = end;
    x_sum_ = sum;
    x_out_ = i;
}

// Output pixel i's centre, in input pixels, is ((2i + 1) W - w) / 2w - the
// input's centres at x + 1/2 - clamped to the first and last centre.
void ResizeStage::across_linear() {
    const std::uint64_t W = in_w_, w = out_w_, den = 2 * w;
    const std::uint8_t* in = b_.in_row;
    for (std::uint64_t i = 0; i < w; ++i) {
        const std::uint64_t num_plus = (2 * i + 1) * W;
        std::uint64_t x0 = 0, frac = 0;
        if (num_plus > w) {
            x0 = (num_plus - w) / den;
            frac = (num_plus - w) % den;
        }
        if (x0 >= W - 1) {
            x0 = W - 1;
            frac = 0;
        }
        const std::uint64_t v1 = frac != 0 ? in[x0 + 1] : 0;
        across_[i] = static_cast<std::uint16_t>(((in[x0] * (den - frac) + v1 * frac) * 256 + w) / den);
    }
}

// Input row y spans [y * s * out_h_, (y + 1) * s * out_h_) and output row j
// spans [j * H, (j + 1) * H), as across.
bool ResizeStage::down_area(std::size_t) {
    const std::uint16_t* r = across_;
    const std::uint64_t next = std::min(y_at_ + step_y_, span_h_ * out_h_);
    const std::uint64_t div = span_h_ * 256, half = span_h_ * 128;
    while (next >= y_end_) {
        const std::uint64_t part = y_end_ - y_at_;
        for (std::uint64_t i = 0; i < out_w_; ++i) {
            out_row_[i] = value((b_.sums[i] + std::uint64_t{r[i]} * part + half) / div);
            b_.sums[i] = 0;
        }
        y_at_ = y_end_;
        y_end_ += span_h_;
        if (!emit()) return false;
    }
    const std::uint64_t part = next - y_at_;
    if (part != 0)
        for (std::uint64_t i = 0; i < out_w_; ++i) b_.sums[i] += std::uint64_t{r[i]} * part;
    y_at_ = next;
    return true;
}

// Every output row whose two input rows (y0 and y0 + 1, or y0 alone on a
// centre) have come: y0 + 1 is y, or y0 is.
bool ResizeStage::down_linear(std::size_t y) {
    const std::uint64_t H = in_h_, h = out_h_, den = 2 * h;
    while (y_out_ < h) {
        const std::uint64_t num_plus = (2 * y_out_ + 1) * H;
        std::uint64_t y0 = 0, frac = 0;
        if (num_plus > h) {
            y0 = (num_plus - h) / den;
            frac = (num_plus - h) % den;
        }
        if (y0 >= H - 1) {
            y0 = H - 1;
            frac = 0;
        }
        if (y0 + (frac != 0 ? 1 : 0) > y) return true;
        const std::uint16_t* a = b_.rows[y0 % 2];
        const std::uint16_t* c = b_.rows[(y0 + 1) % 2];
        const std::uint64_t div = den * 256, half = den * 128;
        for (std::uint64_t i = 0; i < out_w_; ++i)
            out_row_[i] = value((a[i] * (den - frac) + std::uint64_t{c[i]} * frac + half) / div);
        if (!emit()) return false;
    }
    return true;
}

std::uint8_t ResizeStage::value(std::uint64_t v) const {
    if (flags_) return v >= 128 ? kChannelsWhite : kChannelsBlack;
    return static_cast<std::uint8_t>(v);
}

bool ResizeStage::emit() { return next_.take(static_cast<std::size_t>(y_out_++), 0, out_row_, out_w_); }

}  // namespace qpbm

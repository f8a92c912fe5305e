#include <cstring>

#include "decide/decide.hpp"

namespace qpbm {

Status check_method(const Options& options, std::int64_t width, std::int64_t height, Facts& facts) {
    const std::uint64_t widest = max_row_width(options);
    if (widest != 0 && static_cast<std::uint64_t>(width) > widest) {
        facts.limit = widest;
        return Status::too_wide_for_method;
    }
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (options.method == Method::otsu && pixels > kMaxOtsuPixels) {
        facts.limit = kMaxOtsuPixels;
        return Status::too_many_pixels;
    }
    return Status::ok;
}

HistogramSink::HistogramSink(MethodBuffers& buffers) : b_(buffers) {
    std::memset(b_.histogram, 0, sizeof b_.histogram);
}

bool HistogramSink::take(std::size_t, std::size_t, const std::uint8_t* row, std::size_t count) {
    add_to_histogram(row, count, b_);
    return true;
}

DecisionStage::DecisionStage(const Options& options, const Picture& picture, int otsu, MethodBuffers& buffers,
                             RowSink& out)
    : invert_(options.invert), width_(static_cast<std::size_t>(picture.width)), b_(buffers), out_(out), rows_(out) {
    if (picture.form == RowForm::values)
        decider_.emplace(options, width_, static_cast<std::size_t>(picture.height), otsu, buffers);
}

bool DecisionStage::take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) {
    if (!decider_) {
        if (!invert_) return out_.take(y, first, row, count);
        // Black for white, and the bits past the piece's end still 0.
        const std::size_t bytes = (count + 7) / 8;
        for (std::size_t i = 0; i < bytes; ++i) b_.bits[i] = static_cast<std::uint8_t>(~row[i]);
        if (count % 8 != 0) b_.bits[bytes - 1] &= static_cast<std::uint8_t>(0xFF00u >> (count % 8));
        return out_.take(y, first, b_.bits, count);
    }
    if (decider_->whole_rows()) return first + count < width_ || decider_->push_row(b_.values, rows_);
    decider_->decide(y, first, row, count, b_.bits);
    return out_.take(y, first, b_.bits, count);
}

}  // namespace qpbm

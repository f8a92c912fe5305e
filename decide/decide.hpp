// The decision stage between a reader and a writer: rows of values become
// rows of bits by the method (decide/methods.hpp); rows of bits, already
// black and white, pass untouched but for --invert.
#pragma once

#include <optional>

#include "core/rows.hpp"
#include "core/status.hpp"
#include "decide/methods.hpp"

namespace qpbm {

// What a method needs of the picture's size, beyond what every conversion
// needs: a row the method can hold, and few enough pixels for Otsu.
Status check_method(const Options& options, std::int64_t width, std::int64_t height, Facts& facts);

// Adds every value it takes to the histogram, for Otsu's first pass.
class HistogramSink final : public RowSink {
public:
    explicit HistogramSink(MethodBuffers& buffers);
    bool take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) override;

private:
    MethodBuffers& b_;
};

class DecisionStage final : public RowSink {
public:
    // `otsu` is the threshold otsu_threshold gave, for the otsu method.
    DecisionStage(const Options& options, const Picture& picture, int otsu, MethodBuffers& buffers, RowSink& out);

    // Whether values must come at their places in buffers.values, whole rows.
    bool whole_rows() const { return decider_ && decider_->whole_rows(); }

    bool take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) override;

private:
    // Rows the decider passes on, top first, to the output.
    class Rows final : public BitRowSink {
    public:
        explicit Rows(RowSink& out) : out_(out) {}
        bool row(const std::uint8_t* bits, std::size_t width) override { return out_.take(y_++, 0, bits, width); }

    private:
        RowSink& out_;
        std::size_t y_ = 0;
    };

    bool invert_;
    std::size_t width_;
    MethodBuffers& b_;
    RowSink& out_;
    Rows rows_;
    std::optional<Decider> decider_;  // values only
};

}  // namespace qpbm

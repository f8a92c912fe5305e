// `auto`: whether a picture is a photo, to be dithered, or a document (text,
// line art, a scan, lit evenly or not), to be thresholded. A first pass looks
// at the picture an eighth of its size, each pixel the mean of an 8 x 8
// block: a JPEG gives that nearly free, from its blocks' DC terms alone; any
// other reader gives every row, and the blocks are averaged here, in a row of
// sums an eighth as wide as the picture.
//
// At that size a page is mostly paper, each pixel near the paper's level
// around it (which follows the light, however it falls), with ink well below
// it, and the steps between ink and paper sharp. A photo, even a smooth one
// with wide plateaus, has few sharp steps: its darks are reached gradually.
// Once too little paper is left to make a page, the look stops early.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/rows.hpp"
#include "decide/methods.hpp"

namespace qpbm {

// What auto chose, and why in a few words (for --verbose).
struct AutoChoice {
    Method method = Method::floyd_steinberg;
    char why[120] = {};
};

// The tool's name of a method, e.g. "floyd-steinberg".
const char* method_name(Method method);

// The method auto gives a document.
inline constexpr Method kAutoDocumentMethod = Method::sauvola;

// The first pass's sink. Takes values (luma) of a picture of the given size,
// a whole row or pieces of it, top row first; the rows of an eighth as a
// reader that shrinks gives them once told so by glimpse().
class AutoSink final : public RowSink {
public:
    AutoSink(std::size_t width, std::size_t height, MethodBuffers& buffers);

    // How much smaller a picture it looks at: 8, or less for a small picture,
    // so that the shorter side keeps about kLookSide pixels.
    unsigned factor() const { return factor_; }
    // Set by a reader that shrinks the picture itself (ReadRequest::shrunk).
    bool shrunk = false;

    bool take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) override;

    // True once the answer is known (a photo) and the rest need not be read:
    // take() then refuses, and the reader stops.
    bool stopped() const { return stopped_; }

    // After the last row, or once stopped: the choice.
    AutoChoice choose();

private:
    // A pixel is paper within kPaperBelow levels of the paper near it, ink
    // kInkBelow or more below it; a step over two pixels of kInkBelow or more
    // is sharp, of more than kStill a step at all. A document: at least
    // kPaperPct % paper, kInkPmil per mille ink, and either kSharpPct % of
    // its steps sharp (ink on paper; a photo's steps are mostly gradual) or
    // kStrokesPct % of its ink in strokes, runs of at most kStrokeRun pixels
    // across or down (soft handwriting; a photo's darks are areas).
    static constexpr std::size_t kReach = 4, kStrokeRun = 6;
    static constexpr std::uint32_t kPaperBelow = 16, kInkBelow = 48, kStill = 4;
    static constexpr unsigned kPaperPct = 60, kInkPmil = 3, kSharpPct = 16, kStrokesPct = 80;
    static constexpr std::size_t kLookSide = 256;

    void start();
    void end_block_row();
    void look(const std::uint8_t* small, std::size_t n);
    void strokes(const std::uint8_t* inked, std::size_t n);
    void end_strokes();
    bool settled() const;

    std::size_t width_, height_;
    unsigned factor_ = 1;
    std::size_t block_ = 1;  // picture pixels per looked-at pixel, across and down
    std::size_t small_width_ = 0, small_height_ = 0;
    std::size_t block_row_ = 0;  // the block row being summed
    std::size_t rows_in_block_ = 0;
    std::size_t last_y_ = SIZE_MAX;
    std::size_t small_y_ = 0;  // looked-at rows
    MethodBuffers& b_;         // column_sums: the block row's sums; flags: a looked-at row; column_squares:
                               // each column's paper level lately; window_rows: a row's ink; prefix_sums:
                               // each column's ink run so far
    std::uint64_t pixels_ = 0, paper_ = 0, ink_ = 0, moving_ = 0, jumps_ = 0;
    std::uint64_t across_short_ = 0, down_short_ = 0;  // ink in short runs, either way
    bool stopped_ = false;
};

}  // namespace qpbm

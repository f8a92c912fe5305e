// `auto`: whether a picture is a photo, to be dithered, or a document (text,
// line art, a scan, lit evenly or not), to be thresholded. A first pass looks
// at the picture an eighth of its size, each pixel the mean of an 8 x 8
// block: a JPEG gives that nearly free, from its blocks' DC terms alone; any
// other reader gives every row, and the blocks are averaged here, in a row of
// sums an eighth as wide as the picture.
//
// At that size a page is mostly paper: in each part of it, most blocks sit
// within a few levels of that part's brightest, however the light falls
// across the page, and what is not paper is the ink's darker blocks. A photo
// has few such plateaus and many small steps between neighbours.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decide/methods.hpp"
#include "read/reader.hpp"

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

    // After the last row: the choice.
    AutoChoice choose();

private:
    static constexpr unsigned kGrid = 8;  // parts across and down
    static constexpr unsigned kBins = 32;

    void start();
    void end_block_row();
    void look(const std::uint8_t* small, std::size_t n);

    std::size_t width_, height_;
    static constexpr std::size_t kLookSide = 256;
    unsigned factor_ = 1;
    std::size_t block_ = 1;  // picture pixels per eighth-size pixel, across and down
    std::size_t small_width_ = 0, small_height_ = 0;
    std::size_t block_row_ = 0;  // the block row being summed
    std::size_t rows_in_block_ = 0;
    std::size_t last_y_ = SIZE_MAX;
    std::size_t small_y_ = 0;        // eighth-size rows looked at
    MethodBuffers& b_;               // column_sums: the block row's sums; flags: an eighth-size row
    std::uint64_t steps_[256] = {};  // |difference| of neighbours across
    std::uint32_t parts_[kGrid][kGrid][kBins] = {};
    std::uint64_t pixels_ = 0;
};

}  // namespace qpbm

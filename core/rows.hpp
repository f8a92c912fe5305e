// Rows on their way through a conversion: what a reader learns of the
// picture, the form its rows take, and where they go. Readers hand rows to a
// sink; the decision stage and the writers are sinks (read/reader.hpp and
// write/writer.hpp tell the rules of each side).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qpbm {

enum class RowForm : std::uint8_t { values, bits };

// Where rows go. A piece is pixels [first, first + count) of row y; first is
// a multiple of 8 and the pieces of a row come in order, left to right.
// False stops the read with a write error.
struct SampleRow;

class RowSink {
public:
    virtual bool take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) = 0;

    // A sink in another thread may take a whole row of samples instead, and
    // make the values itself, so that the reader's thread only decodes: the
    // reader asks for room for the row's samples (null: values only),
    // decodes into it, then hands it over. The sink makes values piece by
    // piece, as the reader would have, and takes them as above.
    virtual std::uint8_t* room(std::size_t) { return nullptr; }
    virtual bool take_samples(std::size_t, std::size_t, const SampleRow&) { return false; }

protected:
    ~RowSink() = default;
};

// How many dots a picture has per unit of length, across and down, as its
// input says. `none` when it says nothing, or gives only an aspect ratio
// (PNG's and JFIF's unit 0, TIFF's RESUNIT_NONE), which is no resolution.
// The values are the input's own: its integers and TIFF's floats are exact
// in a double, and the conversion to another unit is the writer's.
enum class ResolutionUnit : std::uint8_t { none, inch, centimetre, metre };
struct Resolution {
    ResolutionUnit unit = ResolutionUnit::none;
    double x = 0;  // dots per unit across, over 0 unless unit is none
    double y = 0;  // and down
};

// What the check learned, beside the facts (size, format) for messages.
struct Picture {
    Picture() = default;
    Picture(std::int32_t w, std::int32_t h, RowForm f) : width(w), height(h), form(f) {}

    std::int32_t width = 0;
    std::int32_t height = 0;
    RowForm form = RowForm::values;
    Resolution resolution;  // the input's, where it has one
    // How the stored rows lie, as EXIF and TIFF's tag 274 say it: 1 upright
    // (also when the input says nothing, or nothing valid), 2 to 8 the
    // mirrored and turned layouts (convert/orient.hpp undoes them).
    std::uint8_t orientation = 1;
    // A reader that shrinks as it decodes (JPEG's DCT scaling, for a resize)
    // hands rows of width x height, each pixel `shrink` x `shrink` pixels of
    // the picture as stored, which is stored_width x stored_height (the
    // last column and row may lie partly past it). 0: the same.
    std::int32_t stored_width = 0;
    std::int32_t stored_height = 0;
    std::uint32_t shrink = 1;
    // How many pages the input holds, where the reader counted them (a
    // multi-page TIFF read for its first page, or for a page past its last).
    std::uint32_t pages = 1;
};

}  // namespace qpbm

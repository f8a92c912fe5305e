// A reader turns one input format into rows, top row first. It runs in two
// phases, as every conversion does: the check reads the header, reports the
// picture's size and format, honours max_pixels, and is the only phase that
// refuses; the read hands the rows to a sink and fails only when reading (or
// the sink) does.
//
// Rows come in one of two forms:
//   - values: a byte per pixel for the decision stage, computed from the
//     format's own samples as read/values.hpp computes them (luma, or the
//     channels flags);
//   - bits: a picture that is already black and white, in a raw PBM's order:
//     the leftmost pixel in the highest bit, 1 black, the bits past the
//     piece's end 0.
//
// A new format is a file of its own that defines a Reader and a ReaderKind,
// and one line in the joiner's list (convert/parts.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>

#include "convert/options.hpp"
#include "convert/status.hpp"
#include "read/values.hpp"

namespace qpbm {

struct Buffers;

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

// How a row of samples becomes values: `make` turns `count` pixels of
// `bytes_per_pixel` bytes into values by the rule (read/values.hpp's
// functions, or a reader's own), a piece of at most `piece` pixels at a time.
struct SampleRow {
    void (*make)(const std::uint8_t* samples, std::size_t count, std::uint8_t* values, ValueRule rule);
    ValueRule rule;
    std::size_t bytes_per_pixel;
    std::size_t piece;
};

// What the joiner asks of a reader.
struct ReadRequest {
    const Options* options = &kDefaultOptions;  // the rule values follow; max_pixels
    bool output_seekable = true;
    // Room for kMaxRowMethodWidth values, where a values reader puts each
    // piece (of at most that many) before handing it over: at the start, or,
    // for a method that holds whole rows, at the piece's place in the row, so
    // that the row is whole when its last piece is.
    bool whole_rows = false;
    std::uint8_t* row = nullptr;
    // Over 1: a first look, for which the picture shrunk by this factor (2,
    // 4 or 8; each pixel about the mean of a block) will do. A reader that
    // can give that for less than the whole picture gives those rows and sets
    // *shrunk; any other gives every row.
    unsigned glimpse = 1;
    bool* shrunk = nullptr;
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
};

class Reader {
public:
    virtual ~Reader() = default;
    virtual Status check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) = 0;
    // Every row, top first. Values readers may be read twice (a method that
    // looks at the whole picture first): each read starts at the first row.
    virtual Status read(std::FILE* in, const ReadRequest& request, RowSink& sink) = 0;
    // After a check that got past the header: the most bytes of the input,
    // from its start, that the read phase takes. A pipe is spooled only that
    // far. UINT64_MAX when the header does not bound it.
    virtual std::uint64_t input_bound() const { return UINT64_MAX; }
};

// Refuses a picture of more pixels than the caller allows. Every check calls
// it as soon as the size is known, before anything but the header is read.
inline Status check_size_for(const Options& options, std::int64_t width, std::int64_t height, Facts& facts) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (options.max_pixels == 0 || pixels <= options.max_pixels) return Status::ok;
    facts.limit = options.max_pixels;
    return Status::too_many_pixels;
}

// Readers and writers are built in a room of the caller's, never on the heap.
inline constexpr std::size_t kPartRoomSize = 512;
struct alignas(std::max_align_t) PartRoom {
    unsigned char bytes[kPartRoomSize];
};

template <class Part, class... Args>
Part* build_in(PartRoom& room, Args&&... args) {
    static_assert(sizeof(Part) <= kPartRoomSize, "a part fits its room");
    return new (room.bytes) Part(static_cast<Args&&>(args)...);
}

struct ReaderKind {
    const char* name;  // "BMP"
    Format format;     // what it reads
    Format becomes;    // the output when none is asked for
    // Whether the input's first bytes (as many as there are, up to 16) are this format's.
    bool (*claims)(const unsigned char* first, std::size_t length);
    Reader* (*build)(PartRoom& room, Buffers& buffers);
    // Whether fewer bytes than `claims` needs may still begin this format, so
    // that a pipe sending a wrong signature is refused at its first wrong
    // byte. Null: only `claims` tells.
    bool (*may_begin)(const unsigned char* first, std::size_t length) = nullptr;
    // Whether its read decodes a compressed stream, costly enough that
    // reading in a thread of its own while the rows are decided pays.
    bool decodes = false;
};

}  // namespace qpbm

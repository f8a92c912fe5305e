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

#include "core/options.hpp"
#include "core/rows.hpp"
#include "core/status.hpp"
#include "read/values.hpp"

namespace qpbm {

struct Buffers;

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

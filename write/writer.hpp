// A writer takes bit rows, top row first, in a raw PBM's order (the leftmost
// pixel in the highest bit, 1 black, the bits past a piece's end 0) and writes
// one encoding. Pieces follow the RowSink rules: a piece starts at a multiple
// of 8 pixels and the pieces of a row come in order.
//
// Its check refuses what it cannot write and says whether it gathers: an
// encoding that stores rows in another order (BMP's bottom-up) to an output
// that cannot seek takes every row during the check phase, into a gathered
// picture, and writes it out in its own order in the write phase.
//
// The write phase: begin (the header), the rows (unless gathered), finish.
// When anything after begin fails, the joiner calls abandon instead of
// finish: the writer lets go of the output without writing another byte,
// since the caller may close the stream next. No destructor writes either.
//
// A writer of documents (TIFF, PBM, PDF) takes several pages into one
// output: begin for the first page; for each later one, its check and then
// next_page; end_page after each page's rows; finish after the last, with
// no page open. Used for one picture, begin and finish alone do the same.
//
// A new encoding is a file of its own that defines a Writer and a WriterKind,
// and one line in the joiner's list (convert/parts.cpp).
#pragma once

#include <cstdint>
#include <cstdio>

#include "read/reader.hpp"

namespace qpbm {

class Writer : public RowSink {
public:
    virtual ~Writer() = default;
    virtual Status check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) = 0;
    // The input's resolution, told before the check; an encoding that
    // stores none ignores it.
    virtual void set_resolution(const Resolution&) {}
    // Whether the check phase takes the rows (after a successful check).
    virtual bool gathers() const = 0;
    virtual Status begin(std::FILE* out) = 0;
    virtual Status finish() = 0;
    // After a failed begin, row or finish: frees what the encoding holds
    // and writes nothing more.
    virtual void abandon() {}
    // Whether the encoding holds more than one page.
    virtual bool takes_pages() const { return false; }
    virtual Status next_page() { return Status::write_failed; }
    virtual Status end_page() { return Status::write_failed; }
};

// Dots per metre, rounded, of `dots` per the unit, at most `most`; 0 for
// no resolution. BMP and PNG store their resolution so.
inline std::uint32_t dots_per_metre(ResolutionUnit unit, double dots, std::uint32_t most) {
    const double per_metre = unit == ResolutionUnit::inch         ? dots / 0.0254
                             : unit == ResolutionUnit::centimetre ? dots * 100
                             : unit == ResolutionUnit::metre      ? dots
                                                                  : 0;
    if (!(per_metre >= 0.5)) return 0;
    return per_metre >= most ? most : static_cast<std::uint32_t>(per_metre + 0.5);
}

struct WriterKind {
    const char* name;  // "PBM"
    Format format;     // what it writes
    Writer* (*build)(PartRoom& room, Buffers& buffers, const Options& options);
    // The bytes the output of a picture will take, for callers that must
    // provide room in advance.
    std::uint64_t (*encoded_size)(std::uint64_t width, std::uint64_t height, const Options& options);
};

}  // namespace qpbm

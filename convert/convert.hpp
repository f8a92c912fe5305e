// The joiner: it picks a reader by the input's first bytes (or the
// direction a caller names) and a writer by the options, and runs the two
// phases of a conversion with the decision stage between them. It is the
// only place that knows both sides.
//
// The check reads and checks the input and is the only phase that refuses
// it, so a caller opens the output only once the input is known good; the
// write writes the output. Neither allocates: the caller owns the buffers,
// and the library keeps one static set per direction.
#pragma once

#include <cstdint>
#include <cstdio>

#include "convert/orient.hpp"
#include "core/bmp_format.hpp"
#include "core/buffers.hpp"
#include "core/limits.hpp"
#include "core/options.hpp"
#include "core/pbm_format.hpp"
#include "core/status.hpp"
#include "decide/auto.hpp"
#include "decide/decide.hpp"
#include "read/bmp.hpp"
#include "read/jpeg.hpp"
#include "read/pbm.hpp"
#include "read/pixels.hpp"
#include "read/png.hpp"
#include "read/pnm.hpp"
#include "read/reader.hpp"
#include "read/resize.hpp"
#include "read/tiff.hpp"
#include "write/bmp.hpp"
#include "write/pbm.hpp"
#include "write/pbm_tokens.hpp"
#include "write/writer.hpp"

namespace qpbm {

// ---- the parts --------------------------------------------------------------

// The reader whose format the first bytes are; null for none.
const ReaderKind* reader_for(const unsigned char* first, std::size_t length);
// A format that only a codec library reads, by its signature, to name it
// when this build lacks that library.
struct CodecFormat {
    const char* format;   // "PNG"
    const char* library;  // "libspng"
};
// The codec format whose signature the first bytes are; null for none.
const CodecFormat* codec_format_of(const unsigned char* first, std::size_t length);
// Whether some reader's format may begin with these first bytes, fewer than
// its signature (see ReaderKind::may_begin).
bool any_reader_may_begin(const unsigned char* first, std::size_t length);
// The writer of a format; null for none.
const WriterKind* writer_for(Format format);
// The format a conversion writes: the one asked for, else the reader's other.
Format output_format(const ReaderKind& reader, const Options& options);

// Adds a part defined outside the library's own list, before any conversion
// starts; false when there is no room for more.
bool add_reader(const ReaderKind& kind);
bool add_writer(const WriterKind& kind);

// Reads in a thread of its own (convert/read_thread.hpp); `started` false
// when it read nothing and the caller must read.
using ThreadedRead = Status (*)(Reader& reader, std::FILE* in, const ReadRequest& request, RowForm form, RowSink& sink,
                                bool& started);
// Set once, before any conversion starts, by a library that has threads; a
// conversion whose options allow it and whose reader decodes then uses it.
void set_threaded_read(ThreadedRead read);

// ---- a conversion -----------------------------------------------------------

// The parts of one conversion between its two phases, built in rooms of its
// own; it lives on the caller's stack.
struct Conversion {
    Conversion() = default;
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;
    ~Conversion();
    // Destroys the reader and the writer now, before the caller closes the
    // streams they were given.
    void release();

    const ReaderKind* reader_kind = nullptr;
    const WriterKind* writer_kind = nullptr;
    Reader* reader = nullptr;
    Writer* writer = nullptr;
    Writer* turner = nullptr;  // a TurnWriter before `writer`, when the output is turned or flipped
    // A document's writer (Writer::takes_pages), the caller's, which outlives
    // the conversion: set before the check, the picture becomes its next
    // page, the first unless `later_page`.
    Writer* document = nullptr;
    bool later_page = false;
    Buffers* buffers = nullptr;
    Options options;                             // the method `by_input` made the reader's own
    Picture picture;                             // as the writer takes it: resized, where a size is asked
    Picture stored;                              // as the reader hands it
    bool resized = false;                        // the rows go through the resize stage
    Turn turn;                                   // the output's layout
    std::int32_t out_width = 0, out_height = 0;  // the output's size: the picture's, turned
    Facts* facts = nullptr;                      // the check's, where the read tells what `auto` chose
    bool tokens = false;                         // the legacy plain PBM path (write/pbm_tokens.hpp)
    bool gathered = false;                       // the writer took every row during the check
    PartRoom reader_room;
    PartRoom writer_room;
    PartRoom turner_room;
};

// The check: the reader's, the method's and the writer's; a writer that
// gathers takes the rows here.
Status check_conversion(Conversion& conversion, const ReaderKind& reader, std::FILE* in, bool output_seekable,
                        Buffers& buffers, Facts& facts, const Options& options);

// The check of pixels in memory, through the pixel reader (read/pixels.hpp).
Status check_pixels(Conversion& conversion, const PixelSource& source, bool output_seekable, Buffers& buffers,
                    Facts& facts, const Options& options);

// The write, after a successful check. Fails only on a read or write error
// (or damage the check could not see); a failed output is abandoned, so
// that the writer sends nothing more to `out`.
Status write_conversion(Conversion& conversion, std::FILE* in, std::FILE* out);

// The output's size in bytes, after a successful check.
std::uint64_t conversion_size(const Conversion& conversion);

// Whether the output is text (a plain PBM), which some platforms store with CR LF.
bool writes_text(const Conversion& conversion);

// Rows from a checked reader through the decision stage to a checked writer;
// with `thread`, the read in a thread of its own where one can start; with
// `stored`, the reader's picture, resized to `picture` on the way. Under
// `auto`, a first read chooses the method, and says why in facts->decision
// when facts is given.
Status run_rows(Reader& reader, const Picture& picture, Writer& writer, std::FILE* in, const Options& options,
                Buffers& buffers, bool thread = false, const Picture* stored = nullptr, Facts* facts = nullptr);

// The options with `by_input` made the method for this input: `automatic`
// for a reader that decodes (PNG, JPEG, TIFF), `channels` for any other.
Options for_input(const Options& options, bool decodes);

// ---- the two classic pairs, as parts ------------------------------------------
//
// BMP to PBM and PBM to BMP with the reader's state in a source of the
// caller's: the fuzzers and tests drive the phases through these.

using Bmp2PbmBuffers = Buffers;
using Pbm2BmpBuffers = Buffers;

// The BMP check, for a PBM output (the legacy token path under plain_channels).
Status read_bmp_source(std::FILE* in, bool output_seekable, BmpSource& source, Buffers& buffers, Facts& facts,
                       const Options& options = kDefaultOptions);

// Writes the PBM, top row first. Fails only when reading or writing fails.
Status write_pbm(std::FILE* in, const BmpSource& source, bool output_seekable, Buffers& buffers, std::FILE* out,
                 const Options& options = kDefaultOptions);

// The PBM check, for a BMP output: when the output cannot seek, the picture
// is gathered here, and pictures larger than the gathered image are refused.
Status read_pbm_source(std::FILE* in, bool output_seekable, PbmSource& source, Buffers& buffers, Facts& facts,
                       const Options& options = kDefaultOptions);

// Writes the BMP: the headers, then the rows, each padded to the stride.
// Fails only on a read or write error. Sets `out` unbuffered.
Status write_bmp(std::FILE* in, const PbmSource& source, bool output_seekable, Buffers& buffers, std::FILE* out,
                 const Options& options = kDefaultOptions);

inline void row_values(const BmpSource& source, const Buffers& buffers, const std::uint8_t* bytes, std::size_t count,
                       std::uint8_t* values) {
    row_values(source, buffers.read.bmp, bytes, count, values);
}

}  // namespace qpbm

// A document: several pictures, or a multi-page input's pages, as the pages
// of one output (TIFF, PDF or PBM). A file document's output is opened as
// any other output (library/output_file.hpp), in a temporary file where it
// can be, and put in place only when the document closes whole: a refused
// input or page, a failed write or a cancel leaves the target as it was. A
// memory document's output grows in memory and is handed over whole at its
// close, or not at all.
#pragma once

#include <cstdint>
#include <memory>

#include "core/pages.hpp"
#include "library/file_convert.hpp"
#include "library/memory_stream.hpp"
#include "library/output_file.hpp"

namespace qpbm {

struct Document {
    Workspace work;
    OutputFile out;                         // a file document's output
    std::unique_ptr<GrowingStream> memory;  // a memory document's
    std::FILE* stream = nullptr;            // where the pages go: out's stream or memory's
    bool seekable = false;
    Options options;
    Facts facts;  // the writer's, which outlive each call
    const WriterKind* kind = nullptr;
    PartRoom writer_room;
    Writer* writer = nullptr;
    std::uint32_t pages = 0;                  // pages written
    std::uint32_t input_pages = 0;            // pages the last input holds, where known
    Direction direction = Direction::detect;  // the last input's, a BMP's or a PBM's
    Status failed = Status::ok;               // once set, the document only closes, empty
    bool open = false;
};

// The parts that file and memory documents share (library/document.cpp).

// Makes the document's writer for `format`; refuses a one-picture format.
Status start_document(Document& document, Format format, const Options& options, Facts& facts);

// The options for an input's pages: `options` where given, else the
// document's, with the document's output format and compression.
Options page_options(const Document& document, const Options* options);

// Adds the pages `selection` names of the input open on `in`, read by
// `reader`. `explain` (may be null) tells a file's read errors apart.
Status add_input_pages(Document& document, std::FILE* in, const ReaderKind& reader, const PageSelection& selection,
                       const Options& options, Status (*explain)(Status, std::FILE*, Facts&));

// Finishes the pages, or after a failure or with no page, abandons them;
// the writer is gone either way. The status of the document as a whole.
Status end_pages(Document& document, Facts& facts);

// A document in memory of its own.
Status open_memory_document(Document& document, Format format, const Options& options, Facts& facts);

// Adds the pages `selection` names of the picture in `input`, decided as
// add_document_file's.
Status add_document_memory(Document& document, const std::uint8_t* input, std::size_t size,
                           const PageSelection& selection, Facts& facts, const Options* options = nullptr);

// Ends a memory document and hands its bytes over (to free with std::free);
// after a failure, or with no page, gives nothing.
Status close_memory_document(Document& document, std::uint8_t*& bytes, std::uint64_t& size, Facts& facts);

// Files (library/document_file.cpp).

// Opens `path` for a document of `format` (Format::automatic: by the
// output's extension is the caller's to decide, so a document must be told).
Status open_document(Document& document, const char* path, Format format, const Options& options, Facts& facts);

// Adds the pages `selection` names of the file at `path` (all: every page),
// decided by `options` where given (the output's format and compression
// stay the document's), else by the document's.
Status add_document_file(Document& document, const char* path, const PageSelection& selection, Facts& facts,
                         const Options* options = nullptr);

// Adds a picture in memory as the next page, decided by `options` where
// given, as add_document_file's.
Status add_document_pixels(Document& document, const PixelSource& pixels, Facts& facts,
                           const Options* options = nullptr);

// Ends the document and puts it in place; after a failure, or with no page,
// discards it and leaves the target as it was.
Status close_document(Document& document, Facts& facts);

// How many pages the file at `path` holds (1 for a one-picture format).
Status count_pages(const char* path, std::uint32_t& pages, Workspace& work, Facts& facts);

}  // namespace qpbm

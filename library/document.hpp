// A document: several pictures, or a multi-page input's pages, as the pages
// of one output (TIFF, PDF or PBM). The output is opened as any other
// output (library/output_file.hpp), in a temporary file where it can be,
// and put in place only when the document closes whole: a refused input or
// page, a failed write or a cancel leaves the target as it was.
#pragma once

#include <cstdint>

#include "core/pages.hpp"
#include "library/file_convert.hpp"
#include "library/output_file.hpp"

namespace qpbm {

struct Document {
    Workspace work;
    OutputFile out;
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

// Opens `path` for a document of `format` (Format::automatic: by the
// output's extension is the caller's to decide, so a document must be told).
Status open_document(Document& document, const char* path, Format format, const Options& options, Facts& facts);

// Adds the pages `selection` names of the file at `path` (all: every page),
// decided by `options` where given (the output's format and compression
// stay the document's), else by the document's.
Status add_document_file(Document& document, const char* path, const PageSelection& selection, Facts& facts,
                         const Options* options = nullptr);

// Adds a picture in memory as the next page.
Status add_document_pixels(Document& document, const PixelSource& pixels, Facts& facts);

// Ends the document and puts it in place; after a failure, or with no page,
// discards it and leaves the target as it was.
Status close_document(Document& document, Facts& facts);

// How many pages the file at `path` holds (1 for a one-picture format).
Status count_pages(const char* path, std::uint32_t& pages, Workspace& work, Facts& facts);

}  // namespace qpbm

#include "library/document.hpp"

#include <cerrno>
#include <cstdlib>
#include <new>

#include "library/phases.hpp"

#if !defined(_WIN32)
#include <sys/types.h>
#endif

namespace qpbm {

namespace {

// Back to the start of an input, for its next page's reader.
bool rewind_input(std::FILE* in) {
#if defined(_WIN32)
    return _fseeki64(in, 0, SEEK_SET) == 0;
#else
    return fseeko(in, 0, SEEK_SET) == 0;
#endif
}

// One page: the check for the document's writer, then its rows. Any
// failure ends the document.
template <class Check>
Status add_page(Document& d, std::FILE* in, Status (*explain)(Status, std::FILE*, Facts&), Check check) {
    Conversion c;
    c.document = d.writer;
    c.later_page = d.pages > 0;
    Status status = check(c);
    if (status == Status::ok) {
        errno = 0;
        status = write_output(in, c, d.stream);
        if (explain != nullptr) status = explain(status, in, d.facts);
    }
    c.release();
    if (status == Status::ok) ++d.pages;
    return status;
}

}  // namespace

Status start_document(Document& d, Format format, const Options& options, Facts& facts) {
    d.options = options;
    d.options.to = format;
    d.kind = writer_for(format);
    if (d.kind == nullptr) return Status::unknown_format;
    d.writer = d.kind->build(d.writer_room, d.work.buffers, d.options);
    if (d.writer->takes_pages()) return Status::ok;
    d.writer->~Writer();
    d.writer = nullptr;
    facts.limit = 2;
    facts.format = d.kind->name;
    return Status::one_picture_output;
}

Options page_options(const Document& d, const Options* options) {
    Options o = options != nullptr ? *options : d.options;
    o.to = d.options.to;
    o.tiff_compression = d.options.tiff_compression;
    return o;
}

Status add_input_pages(Document& d, std::FILE* in, const ReaderKind& reader, const PageSelection& selection,
                       const Options& options, Status (*explain)(Status, std::FILE*, Facts&)) {
    // Every page is checked before it is written. A TIFF counts its pages
    // when read for its first, and names the count when refusing a page past
    // its last; any other input is one picture.
    const bool multi_page = reader.format == Format::tiff;
    std::uint32_t pages = 1;
    bool first = true;
    Status status = Status::ok;
    auto take = [&](std::uint32_t page) {
        Options o = options;
        o.page = page - 1;
        status = first || rewind_input(in) ? Status::ok : Status::read_failed;
        first = false;
        if (status == Status::ok && !multi_page && page > 1) {
            d.facts.sample = page - 1;
            d.facts.limit = 1;
            status = Status::no_such_page;
        }
        if (status == Status::ok)
            status = add_page(d, in, explain, [&](Conversion& c) {
                const Status s = check_input(reader, in, d.seekable, o, d.work, c, d.facts);
                if (page == 1) pages = c.picture.pages;
                return s;
            });
        return status == Status::ok;
    };
    if (selection.all) {
        if (take(1)) selection.each(pages, [&](std::uint32_t page) { return page == 1 || take(page); });
    } else {
        selection.each(UINT32_MAX, take);
    }
    d.input_pages = pages;
    return status;
}

Status add_document_pixels(Document& d, const PixelSource& pixels, Facts& facts, const Options* options) {
    if (d.failed != Status::ok) return d.failed;
    d.facts = Facts{};
    const Options o = page_options(d, options);
    const Status status = add_page(d, nullptr, nullptr, [&](Conversion& c) {
        return check_pixels(c, pixels, d.seekable, d.work.buffers, d.facts, o);
    });
    d.input_pages = 1;
    if (status != Status::ok) d.failed = status;
    facts = d.facts;
    return status;
}

Status end_pages(Document& d, Facts& facts) {
    Status status = d.failed;
    if (status == Status::ok && d.pages == 0) status = Status::document_empty;
    if (status == Status::ok) {
        status = d.writer->finish();
        if (status != Status::ok) d.writer->abandon();
    } else {
        d.writer->abandon();
    }
    d.writer->~Writer();
    d.writer = nullptr;
    d.open = false;
    if (status != Status::ok && status == d.failed) facts = d.facts;
    if (status != Status::ok && d.facts.library_text[0] != '\0') facts = d.facts;
    return status;
}

Status open_memory_document(Document& d, Format format, const Options& options, Facts& facts) {
    Status status = start_document(d, format, options, facts);
    if (status != Status::ok) return status;
    d.memory.reset(new (std::nothrow) GrowingStream);
    d.stream = d.memory != nullptr ? d.memory->get() : nullptr;
    d.seekable = true;
    if (d.stream == nullptr) {
        facts.os_error = ENOMEM;
        d.memory.reset();
        d.writer->~Writer();
        d.writer = nullptr;
        return Status::open_output_failed;
    }
    d.open = true;
    return Status::ok;
}

Status add_document_memory(Document& d, const std::uint8_t* input, std::size_t size, const PageSelection& selection,
                           Facts& facts, const Options* options) {
    if (d.failed != Status::ok) return d.failed;
    d.facts = Facts{};
    const InputStream in(input, size);
    Status status = in.get() == nullptr ? Status::read_failed : Status::ok;
    if (status == Status::read_failed) d.facts.os_error = errno;
    Direction direction = Direction::detect;
    const ReaderKind* reader = nullptr;
    if (status == Status::ok) status = reader_of_input(direction, input, size, reader, &d.facts);
    if (status == Status::ok)
        status = add_input_pages(d, in.get(), *reader, selection, page_options(d, options), nullptr);
    d.direction = direction;
    if (status != Status::ok) d.failed = status;
    facts = d.facts;
    return status;
}

Status close_memory_document(Document& d, std::uint8_t*& bytes, std::uint64_t& size, Facts& facts) {
    bytes = nullptr;
    size = 0;
    if (!d.open || d.memory == nullptr) return d.failed != Status::ok ? d.failed : Status::document_empty;
    Status status = end_pages(d, facts);
    if (!d.memory->finish(bytes, size) && status == Status::ok) {
        facts.os_error = errno != 0 ? errno : ENOMEM;
        status = Status::write_failed;
    }
    d.memory.reset();
    d.stream = nullptr;
    if (status != Status::ok) {
        std::free(bytes);
        bytes = nullptr;
        size = 0;
    }
    return status;
}

}  // namespace qpbm

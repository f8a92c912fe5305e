#include "library/document.hpp"

#include <cerrno>

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
Status add_page(Document& d, std::FILE* in, Check check) {
    Conversion c;
    c.document = d.writer;
    c.later_page = d.pages > 0;
    Status status = check(c);
    if (status == Status::ok) {
        errno = 0;
        status = write_output(in, c, d.out.stream);
        if (in != nullptr) status = explain_io(status, in, d.facts);
    }
    c.release();
    if (status == Status::ok) ++d.pages;
    return status;
}

// Opens, waits for and (a pipe) spools an input, so that its pages can be
// read again and again.
Status open_document_input(Document& d, const char* path, InputFile& in) {
    const NativeChar* native = native_of(path, d.work.in_path, kMaxNativePath);
    if (native == nullptr) return Status::invalid_path;
    Status status = open_input(native, in, d.facts);
    if (status == Status::ok) status = wait_for_input(in, d.facts);
    if (status == Status::ok) status = spool_input(Direction::detect, in, d.facts, &d.work, d.options);
    return status;
}

}  // namespace

Status open_document(Document& d, const char* path, Format format, const Options& options, Facts& facts) {
    d.options = options;
    d.options.to = format;
    d.kind = writer_for(format);
    Status status = d.kind == nullptr ? Status::unknown_format : Status::ok;
    if (status == Status::ok) {
        d.writer = d.kind->build(d.writer_room, d.work.buffers, d.options);
        if (!d.writer->takes_pages()) {
            facts.limit = 2;
            facts.format = d.kind->name;
            status = Status::one_picture_output;
        }
    }
    const NativeChar* native = status == Status::ok ? native_of(path, d.work.out_path, kMaxNativePath) : nullptr;
    if (status == Status::ok && native == nullptr) status = Status::invalid_path;
    const InputFile none;
    if (status == Status::ok) status = locate_output(native, none, d.work, d.out, facts);
    d.out.permissions = options.permissions;
    if (status == Status::ok) status = open_output(d.out, d.kind->format == Format::pbm && !options.raw, d.work, facts);
    d.open = status == Status::ok;
    if (!d.open) {
        if (d.writer != nullptr) d.writer->~Writer();
        d.writer = nullptr;
    }
    return status;
}

Status add_document_file(Document& d, const char* path, const PageSelection& selection, Facts& facts,
                         const Options* options) {
    Options page_options = options != nullptr ? *options : d.options;
    page_options.to = d.options.to;
    page_options.tiff_compression = d.options.tiff_compression;
    if (d.failed != Status::ok) return d.failed;
    d.facts = Facts{};
    InputFile in;
    Status status = open_document_input(d, path, in);
#if !defined(_WIN32)
    if (status == Status::ok && d.out.exists && in.device == d.out.device && in.inode == d.out.inode)
        status = Status::same_file;
#endif
    Direction direction = Direction::detect;
    const ReaderKind* reader = nullptr;
    if (status == Status::ok) status = detect_reader(in, direction, reader, d.facts);
    // Every page is checked before it is written. A TIFF counts its pages
    // when read for its first, and names the count when refusing a page past
    // its last; any other input is one picture.
    const bool multi_page = reader != nullptr && reader->format == Format::tiff;
    std::uint32_t pages = 1;
    bool first = true;
    auto take = [&](std::uint32_t page) {
        Options o = page_options;
        o.page = page - 1;
        status = first || rewind_input(in.stream) ? Status::ok : Status::read_failed;
        first = false;
        if (status == Status::ok && !multi_page && page > 1) {
            d.facts.sample = page - 1;
            d.facts.limit = 1;
            status = Status::no_such_page;
        }
        if (status == Status::ok)
            status = add_page(d, in.stream, [&](Conversion& c) {
                const Status s = check_input(*reader, in.stream, d.out.seekable, o, d.work, c, d.facts);
                if (page == 1) pages = c.picture.pages;
                return s;
            });
        return status == Status::ok;
    };
    if (status == Status::ok) {
        if (selection.all) {
            if (take(1)) selection.each(pages, [&](std::uint32_t page) { return page == 1 || take(page); });
        } else {
            selection.each(UINT32_MAX, take);
        }
    }
    d.input_pages = pages;
    d.direction = direction;
    close_input(in);
    if (status != Status::ok) d.failed = status;
    facts = d.facts;
    return status;
}

Status add_document_pixels(Document& d, const PixelSource& pixels, Facts& facts) {
    if (d.failed != Status::ok) return d.failed;
    d.facts = Facts{};
    const Status status = add_page(d, nullptr, [&](Conversion& c) {
        return check_pixels(c, pixels, d.out.seekable, d.work.buffers, d.facts, d.options);
    });
    d.input_pages = 1;
    if (status != Status::ok) d.failed = status;
    facts = d.facts;
    return status;
}

Status close_document(Document& d, Facts& facts) {
    if (!d.open) return d.failed != Status::ok ? d.failed : Status::invalid_path;
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
    return finish_output(d.out, status, facts);
}

Status count_pages(const char* path, std::uint32_t& pages, Workspace& work, Facts& facts) {
    pages = 1;
    const NativeChar* native = native_of(path, work.in_path, kMaxNativePath);
    if (native == nullptr) return Status::invalid_path;
    InputFile in;
    Status status = open_input(native, in, facts);
    if (status == Status::ok) status = wait_for_input(in, facts);
    Direction direction = Direction::detect;
    const ReaderKind* reader = nullptr;
    if (status == Status::ok) status = detect_reader(in, direction, reader, facts);
    if (status == Status::ok) {
        // The check to a PBM, which takes any size and gathers nothing.
        Options o;
        o.to = Format::pbm;
        o.raw = true;
        o.method = Method::luma;
        Conversion c;
        status = check_input(*reader, in.stream, true, o, work, c, facts);
        pages = c.picture.pages;
    }
    close_input(in);
    return status;
}

}  // namespace qpbm

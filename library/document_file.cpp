// Documents written to files: the output put in place whole at the close,
// the inputs opened (and a pipe spooled) as the file calls open theirs.
#include "library/document.hpp"
#include "library/phases.hpp"

namespace qpbm {

namespace {

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
    Status status = start_document(d, format, options, facts);
    const NativeChar* native = status == Status::ok ? native_of(path, d.work.out_path, kMaxNativePath) : nullptr;
    if (status == Status::ok && native == nullptr) status = Status::invalid_path;
    const InputFile none;
    if (status == Status::ok) status = locate_output(native, none, d.work, d.out, facts);
    d.out.permissions = options.permissions;
    if (status == Status::ok) status = open_output(d.out, d.kind->format == Format::pbm && !options.raw, d.work, facts);
    d.open = status == Status::ok;
    d.stream = d.out.stream;
    d.seekable = d.out.seekable;
    if (!d.open && d.writer != nullptr) {
        d.writer->~Writer();
        d.writer = nullptr;
    }
    return status;
}

Status add_document_file(Document& d, const char* path, const PageSelection& selection, Facts& facts,
                         const Options* options) {
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
    if (status == Status::ok)
        status = add_input_pages(d, in.stream, *reader, selection, page_options(d, options), explain_io);
    d.direction = direction;
    close_input(in);
    if (status != Status::ok) d.failed = status;
    facts = d.facts;
    return status;
}

Status close_document(Document& d, Facts& facts) {
    if (!d.open || d.memory != nullptr) return d.failed != Status::ok ? d.failed : Status::invalid_path;
    return finish_output(d.out, end_pages(d, facts), facts);
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

// The page has no file system of the caller's: the library's file calls
// refuse every path (documents are made in memory), and the memory calls'
// shared block lives here.
#include "library/document.hpp"
#include "library/file_convert.hpp"
#include "library/output_file.hpp"

namespace qpbm {

Status convert_with(Direction&, const char*, const char*, Workspace&, Facts&, const Options&) {
    return Status::invalid_path;
}

Status convert_with(Direction&, const char16_t*, const char16_t*, Workspace&, Facts&, const Options&) {
    return Status::invalid_path;
}

Status convert_shared(Direction&, const char*, const char*, SharedWorkspace&, Facts&, const Options&) {
    return Status::invalid_path;
}

Status convert_shared(Direction&, const char16_t*, const char16_t*, SharedWorkspace&, Facts&, const Options&) {
    return Status::invalid_path;
}

Status convert_pixels_file(const PixelSource&, const char*, Workspace&, Facts&, const Options&) {
    return Status::invalid_path;
}

Status convert_pixels_file(const PixelSource&, const char16_t*, Workspace&, Facts&, const Options&) {
    return Status::invalid_path;
}

Status open_document(Document&, const char*, Format, const Options&, Facts&) { return Status::invalid_path; }
Status add_document_file(Document&, const char*, const PageSelection&, Facts&, const Options*) {
    return Status::invalid_path;
}
Status close_document(Document&, Facts&) { return Status::invalid_path; }
Status count_pages(const char*, std::uint32_t&, Workspace&, Facts&) { return Status::invalid_path; }

// No file is written, so none is synced.
SyncOutputs::SyncOutputs(bool) : previous_(false) {}
SyncOutputs::~SyncOutputs() { static_cast<void>(previous_); }

SharedWorkspace& static_workspace(Direction) {
    static SharedWorkspace shared;
    return shared;
}

}  // namespace qpbm

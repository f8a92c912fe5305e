// The page has no file system of the caller's: the library's file calls
// refuse every path, and the memory calls' shared block lives here.
#include "library/file_convert.hpp"

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

SharedWorkspace& static_workspace(Direction) {
    static SharedWorkspace shared;
    return shared;
}

}  // namespace qpbm

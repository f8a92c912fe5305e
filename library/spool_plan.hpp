// How much of a piped input the spool keeps (library/spool_input.cpp): the
// header check of what is spooled so far, and the plan it gives for the rest.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "library/file_convert.hpp"

#if !defined(_WIN32)

namespace qpbm {

inline Status failed_read(Facts& facts) {
    facts.os_error = errno;
    return Status::read_failed;
}

// What the header check says about the rest of the stream.
struct Plan {
    bool decided = false;       // the header passed: keep to `bound`, or compact
    std::uint64_t recheck = 0;  // undecided: check again once this many bytes are in
    std::uint64_t bound = UINT64_MAX;
    bool compact = false;      // a plain PBM: pixels kept without what separates them
    std::uint64_t raster = 0;  // where they start
    std::uint64_t pixels = 0;  // how many
    bool refuse_past = false;  // a PNG or JPEG: more than `bound` is refused, not cut
    Facts picture;             // then its format and size, for that refusal
};

// Checks the `spooled` bytes of the input `kind` claimed, with the caller's
// workspace (else a shared one, held only for the check), and leaves the
// spool's offset at its end. `ended`: no more bytes will come.
Status check_spooled(const ReaderKind& kind, std::FILE* spool, std::uint64_t spooled, bool ended, Workspace* work,
                     const Options& options, Plan& plan, Facts& facts);

}  // namespace qpbm

#endif

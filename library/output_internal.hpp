// What the output layer's steps (library/output_locate.cpp, output_open.cpp,
// output_finish.cpp) share, and no one else needs.
#pragma once

#include "core/status.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#endif

namespace qpbm {

inline Status failed(Status status, Facts& facts, int error) {
    facts.os_error = error;
    return status;
}

#if !defined(_WIN32)
inline bool clear_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}
#endif

}  // namespace qpbm

// What the C API's calls share (library/qpbm_api.cpp defines them): the
// caller's structs taken as the library takes them, and the status and
// result every call reports.
#pragma once

#include <cstring>

#include "convert/convert.hpp"
#include "library/file_convert.hpp"
#include "library/qpbm.h"

namespace qpbm::api {

// The integer a C caller stored in an enum field. Loading a value no
// enumerator has as the enum itself is undefined in C++, so it is read as
// an int and checked as one.
template <class Enum>
int stored_int(const Enum& field) {
    static_assert(sizeof(int) == sizeof(Enum));
    int value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

// The flags a call may be given.
inline constexpr unsigned kKnownFlags = QPBM_FLAG_NO_SIGPIPE | QPBM_FLAG_FSYNC | QPBM_FLAG_THREAD;

// The caller's options as the library takes them. A struct from a newer
// header may be longer: the fields this library does not know must then be
// zero, which is their default. False for a value out of range.
bool take_options(const qpbm_options* given, Options& options, unsigned& flags);

// The caller's pixels as the pixel reader takes them; false for a layout
// this library does not know.
bool take_pixels(const qpbm_pixels* given, PixelSource& source);

// The public status of a call, and what it learned in `result` if given.
qpbm_status report(bool valid, Status status, Direction direction, const Facts& facts, qpbm_result* result);

}  // namespace qpbm::api

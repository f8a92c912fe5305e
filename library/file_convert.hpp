// File-level conversion shared by the exports and the command-line tool:
// open the input, let the converter check it, and only then open the output.
#pragma once

#include "convert/status.hpp"

namespace qpbm {

#if defined(_WIN32)
using NativeChar = wchar_t;  // Windows opens UTF-16 paths as they are
#else
using NativeChar = char;  // POSIX opens bytes, UTF-8 by convention
#endif

enum class Direction { bmp_to_pbm, pbm_to_bmp };

// Converts one file into another. A refused input leaves the output path
// untouched; a write that fails part way removes the partial output when it
// is a regular file. Calls of one direction are serialised, each direction
// owning its static buffers and its lock.
Status convert_file(Direction direction, const NativeChar* in, const NativeChar* out, Facts& facts);

// The same, for the exports' NUL-terminated UTF-16 paths.
Status convert_wide(Direction direction, const char16_t* in, const char16_t* out, Facts& facts);

}  // namespace qpbm

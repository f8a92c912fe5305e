// Paths as the platform opens them. Windows opens UTF-16 as it is; POSIX
// systems open bytes, UTF-8 by convention, so the exports' UTF-16 paths are
// converted into a caller's fixed buffer.
#pragma once

#include <cstddef>

namespace qpbm {

#if defined(_WIN32)
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif

// Room for the longest path Linux opens (PATH_MAX, with its NUL).
inline constexpr std::size_t kMaxNativePath = 4096;

// Converts UTF-16 to UTF-8, pairing surrogates. False, with nothing useful in
// `out`, for a null pointer, an unpaired surrogate, or a result that does not
// fit in `size` bytes with its NUL.
bool utf16_to_utf8(const char16_t* in, char* out, std::size_t size);

// A UTF-16 path in the platform's form, in `buffer` (POSIX) or as it is
// (Windows). Null for a path that cannot be converted.
const NativeChar* native_path(const char16_t* path, NativeChar* buffer, std::size_t size);

#if defined(_WIN32)
// A UTF-8 path as Windows opens it, in `buffer`. Null when it is not valid
// UTF-8 or does not fit.
const wchar_t* native_path_utf8(const char* path, wchar_t* buffer, std::size_t size);
#endif

}  // namespace qpbm

// The exports take paths as NUL-terminated UTF-16. Windows opens them as they
// are; POSIX systems open UTF-8, converted here into a caller's fixed buffer.
#pragma once

#include <cstddef>

namespace qpbm {

// Room for the longest path Linux opens (PATH_MAX, with its NUL).
inline constexpr std::size_t kMaxNativePath = 4096;

// Converts UTF-16 to UTF-8, pairing surrogates. False, with nothing useful in
// `out`, for a null pointer, an unpaired surrogate, or a result that does not
// fit in `size` bytes with its NUL.
bool utf16_to_utf8(const char16_t* in, char* out, std::size_t size);

}  // namespace qpbm

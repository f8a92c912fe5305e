// 64-bit positioning on C streams, so that offsets past 2 GiB work where long
// is 32 bits (32-bit ARM, Windows).
#pragma once

#include <cstdint>
#include <cstdio>

namespace qpbm {

inline bool seek_to(std::FILE* f, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
#if defined(_WIN32)
    return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// The stream's length in bytes; leaves the position at the end.
inline bool stream_size(std::FILE* f, std::uint64_t& size) {
#if defined(_WIN32)
    if (_fseeki64(f, 0, SEEK_END) != 0) return false;
    const __int64 end = _ftelli64(f);
#else
    if (fseeko(f, 0, SEEK_END) != 0) return false;
    const off_t end = ftello(f);
#endif
    if (end < 0) return false;
    size = static_cast<std::uint64_t>(end);
    return true;
}

}  // namespace qpbm

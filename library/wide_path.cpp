#include "library/wide_path.hpp"

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qpbm {

namespace {

bool is_high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

bool utf16_to_utf8(const char16_t* in, char* out, std::size_t size) {
    if (in == nullptr || size == 0) return false;
    std::size_t n = 0;
    auto put = [&](std::uint32_t byte) {
        if (n + 1 >= size) return false;  // keep room for the NUL
        out[n++] = static_cast<char>(byte);
        return true;
    };
    for (; *in != 0; ++in) {
        char32_t c = *in;
        if (is_low_surrogate(c)) return false;
        if (is_high_surrogate(c)) {
            if (!is_low_surrogate(in[1])) return false;  // also stops at the NUL
            c = 0x10000 + ((c - 0xD800) << 10) + (in[1] - 0xDC00);
            ++in;
        }
        bool fits;
        if (c < 0x80) {
            fits = put(c);
        } else if (c < 0x800) {
            fits = put(0xC0 | (c >> 6)) && put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            fits = put(0xE0 | (c >> 12)) && put(0x80 | ((c >> 6) & 0x3F)) && put(0x80 | (c & 0x3F));
        } else {
            fits = put(0xF0 | (c >> 18)) && put(0x80 | ((c >> 12) & 0x3F)) && put(0x80 | ((c >> 6) & 0x3F)) &&
                   put(0x80 | (c & 0x3F));
        }
        if (!fits) return false;
    }
    out[n] = '\0';
    return true;
}

const NativeChar* native_path(const char16_t* path, NativeChar* buffer, std::size_t size) {
#if defined(_WIN32)
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows paths are UTF-16");
    (void)buffer;
    (void)size;
    return reinterpret_cast<const wchar_t*>(path);
#else
    return utf16_to_utf8(path, buffer, size) ? buffer : nullptr;
#endif
}

#if defined(_WIN32)
const wchar_t* native_path_utf8(const char* path, wchar_t* buffer, std::size_t size) {
    if (path == nullptr) return nullptr;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, buffer, static_cast<int>(size));
    return n > 0 ? buffer : nullptr;
}
#endif

}  // namespace qpbm

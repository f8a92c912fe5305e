#include "console.hpp"

#include <cerrno>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tool {

#if !defined(_WIN32)
namespace {
bool closed_streams[3] = {};
}

void plug_standard_streams() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        closed_streams[fd] = true;
        // The lowest free number is this one.
        open("/dev/null", O_RDWR);
    }
}

bool standard_stream_closed(int fd) { return fd >= 0 && fd < 3 && closed_streams[fd]; }
#endif

#if defined(_WIN32)
std::wstring wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), n);
    w.resize(w.size() - 1);
    return w;
}

std::string utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, s.data(), n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}
#endif

bool is_terminal(std::FILE* stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void say(const std::string& text) {
#if defined(_WIN32)
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode)) {
        const std::wstring w = wide(text);
        DWORD written = 0;
        WriteConsoleW(console, w.c_str(), static_cast<DWORD>(w.size()), &written, nullptr);
        return;
    }
#endif
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// The length of the UTF-8 sequence that starts `text`, or 0 when it is not
// one (a stray byte, such as a raw 0x9B, which an 8-bit terminal reads as
// CSI).
std::size_t utf8_length(const unsigned char* text, std::size_t left) {
    const unsigned char c = text[0];
    const std::size_t n = c < 0x80                 ? 1
                          : c >= 0xC2 && c <= 0xDF ? 2
                          : c >= 0xE0 && c <= 0xEF ? 3
                          : c >= 0xF0 && c <= 0xF4 ? 4
                                                   : 0;
    if (n == 0 || n > left) return 0;
    for (std::size_t i = 1; i < n; ++i)
        if ((text[i] & 0xC0) != 0x80) return 0;
    return n;
}

std::string shown(const std::string& name) {
    std::string out;
    const unsigned char* text = reinterpret_cast<const unsigned char*>(name.data());
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t n = utf8_length(text + i, name.size() - i);
        const bool c1 = n == 2 && text[i] == 0xC2 && text[i + 1] <= 0x9F;
        if (n == 0 || c1 || (n == 1 && (text[i] < 0x20 || text[i] == 0x7F))) {
            const unsigned char value = c1 ? text[i + 1] : text[i];
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", value);
            out += hex;
            i += c1 ? 2 : 1;
        } else {
            out.append(name, i, n);
            i += n;
        }
    }
    return out;
}

}  // namespace tool

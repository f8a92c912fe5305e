// Text for the person at the terminal: whole messages on standard error, and
// file names made safe to show there. On Windows, also the boundary between
// the tool's UTF-8 strings and the system's UTF-16.
#pragma once

#include <cstdio>
#include <string>

namespace tool {

inline constexpr const char* kProgram = "quorvelpbm";

bool is_terminal(std::FILE* stream);

#if !defined(_WIN32)
// Opens /dev/null on standard input, output and error where they are
// closed, so that no file the tool opens takes their numbers; each that was
// closed is remembered for standard_stream_closed.
void plug_standard_streams();
bool standard_stream_closed(int fd);
#endif

// A message on standard error, whole: UTF-8 bytes, or wide text on a
// Windows console, which would show UTF-8 bytes as the wrong characters.
void say(const std::string& text);

// A file name as it may safely be shown: control characters (including the
// escape that starts a terminal sequence, and the C1 controls, encoded or
// raw) and bytes that are not UTF-8 as \xNN.
std::string shown(const std::string& name);

#if defined(_WIN32)
std::wstring wide(const std::string& utf8);
std::string utf8(const wchar_t* text);
#endif

}  // namespace tool

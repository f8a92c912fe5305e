#include "library/memory_stream.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/stream.hpp"

#if defined(_WIN32)
#include <windows.h>
#endif

// Where the C library can make a stream from functions (glibc, musl and
// Emscripten's musl: fopencookie), the streams read and write memory
// directly. Elsewhere (Windows) the bytes pass through temporary files,
// which the system keeps in memory while they are small.
#if defined(__linux__) || defined(__EMSCRIPTEN__)
#define QPBM_COOKIE_STREAMS 1
#include <sys/types.h>
#endif

namespace qpbm {

namespace {

#if defined(QPBM_COOKIE_STREAMS)

// A growing output's first block, and how it grows: doubling, so that a
// document of many pages copies each byte a bounded number of times.
constexpr std::size_t kFirstBlock = 64 * 1024;

ssize_t read_memory(void* cookie, char* buffer, std::size_t n) {
    Memory& m = *static_cast<Memory*>(cookie);
    const std::uint8_t* bytes = m.source != nullptr ? m.source : m.target;
    const std::size_t limit = m.source != nullptr ? m.size : m.end;
    const std::size_t left = m.position < limit ? limit - m.position : 0;
    const std::size_t count = n < left ? n : left;
    if (count > 0) std::memcpy(buffer, bytes + m.position, count);
    m.position += count;
    return static_cast<ssize_t>(count);
}

// Makes a growing output's block hold `needed` bytes.
bool make_room(Memory& m, std::size_t needed) {
    if (needed <= m.size) return true;
    if (!m.grows) return false;
    std::size_t size = m.size < kFirstBlock ? kFirstBlock : m.size;
    while (size < needed) size = size > SIZE_MAX / 2 ? SIZE_MAX : size * 2;
    auto* target = static_cast<std::uint8_t*>(std::realloc(m.target, size));
    if (target == nullptr) return false;
    m.target = target;
    m.size = size;
    return true;
}

ssize_t write_memory(void* cookie, const char* bytes, std::size_t n) {
    Memory& m = *static_cast<Memory*>(cookie);
    if (m.position > SIZE_MAX - n || !make_room(m, m.position + n)) {
        errno = m.grows ? ENOMEM : ENOSPC;
        return 0;  // the stream's error: a cookie write never returns less than 0
    }
    // Bytes skipped by a seek past the end read as zeros, as in a file.
    if (m.position > m.end) std::memset(m.target + m.end, 0, m.position - m.end);
    if (n > 0) std::memcpy(m.target + m.position, bytes, n);
    m.position += n;
    if (m.position > m.end) m.end = m.position;
    return static_cast<ssize_t>(n);
}

// The offset type differs between C libraries (off64_t, off_t): taken from
// the function pointer the stream wants. Positions stay within size_t; past
// the buffer, only writes fail.
template <class Offset>
int seek_memory(void* cookie, Offset* offset, int whence) {
    Memory& m = *static_cast<Memory*>(cookie);
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
        errno = EINVAL;
        return -1;
    }
    const std::size_t end = m.source != nullptr ? m.size : m.end;
    const std::size_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m.position : end;
    // -(moved + 1) + 1 is the distance back, without negating INT64_MIN.
    const std::int64_t moved = static_cast<std::int64_t>(*offset);
    if (moved < 0 ? static_cast<std::uint64_t>(-(moved + 1)) >= base
                  : static_cast<std::uint64_t>(moved) > SIZE_MAX - base) {
        errno = EINVAL;
        return -1;
    }
    m.position = moved < 0 ? base - static_cast<std::size_t>(-(moved + 1)) - 1 : base + static_cast<std::size_t>(moved);
    *offset = static_cast<Offset>(m.position);
    return 0;
}

int close_memory(void*) { return 0; }

std::FILE* open_memory(Memory& memory, const char* mode) {
    cookie_io_functions_t functions{};
    functions.read = read_memory;
    functions.write = write_memory;
    functions.seek = seek_memory;
    functions.close = close_memory;
    return fopencookie(&memory, mode, functions);
}

#else

// A temporary file, deleted when closed.
std::FILE* temporary_stream() {
#if defined(_WIN32)
    wchar_t dir[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH || GetTempFileNameW(dir, L"qpb", 0, name) == 0) return nullptr;
    // T: kept in memory while the system can; D: deleted when closed.
    std::FILE* stream = _wfopen(name, L"w+bTD");
    if (stream == nullptr) DeleteFileW(name);
    return stream;
#else
    return std::tmpfile();
#endif
}

// Flushes a temporary file and reads its bytes into `bytes`, which holds
// `capacity`; the size in `written`.
bool read_back(std::FILE* f, std::uint8_t* bytes, std::uint64_t capacity, std::uint64_t& written) {
    bool ok = std::fflush(f) == 0 && !std::ferror(f) && stream_size(f, written);
    if (ok && written > capacity) {
        errno = ENOSPC;
        ok = false;
    }
    const std::size_t n = ok ? static_cast<std::size_t>(written) : 0;
    return ok && seek_to(f, 0) && (n == 0 || std::fread(bytes, 1, n, f) == n);
}

#endif

}  // namespace

#if defined(QPBM_COOKIE_STREAMS)

InputStream::InputStream(const std::uint8_t* bytes, std::size_t size) {
    memory_.source = bytes;
    memory_.size = size;
    stream_.reset(open_memory(memory_, "rb"));
}

OutputStream::OutputStream(std::uint8_t* buffer, std::size_t capacity) {
    memory_.target = buffer;
    memory_.size = capacity;
    stream_.reset(open_memory(memory_, "w+b"));
}

bool OutputStream::finish(std::uint64_t& written) {
    const bool flushed = std::fflush(stream_.get()) == 0 && !std::ferror(stream_.get());
    stream_.reset();
    written = memory_.end;
    return flushed;
}

GrowingStream::GrowingStream() {
    memory_.grows = true;
    stream_.reset(open_memory(memory_, "w+b"));
}

GrowingStream::~GrowingStream() {
    stream_.reset();
    std::free(memory_.target);
}

bool GrowingStream::finish(std::uint8_t*& bytes, std::uint64_t& size) {
    const bool flushed = stream_ != nullptr && std::fflush(stream_.get()) == 0 && !std::ferror(stream_.get());
    stream_.reset();
    if (!flushed) return false;
    bytes = memory_.target;
    size = memory_.end;
    memory_ = Memory{};
    return true;
}

#else

InputStream::InputStream(const std::uint8_t* bytes, std::size_t size) : stream_(temporary_stream()) {
    std::FILE* f = stream_.get();
    if (f == nullptr) return;
    if ((size > 0 && std::fwrite(bytes, 1, size, f) != size) || std::fflush(f) != 0 || !seek_to(f, 0)) stream_.reset();
}

// Written to a temporary file, then copied into the buffer if it fits.
OutputStream::OutputStream(std::uint8_t* buffer, std::size_t capacity) : stream_(temporary_stream()) {
    memory_.target = buffer;
    memory_.size = capacity;
}

bool OutputStream::finish(std::uint64_t& written) {
    const bool ok = read_back(stream_.get(), memory_.target, memory_.size, written);
    stream_.reset();
    return ok;
}

GrowingStream::GrowingStream() : stream_(temporary_stream()) {}

GrowingStream::~GrowingStream() = default;

bool GrowingStream::finish(std::uint8_t*& bytes, std::uint64_t& size) {
    std::FILE* f = stream_.get();
    std::uint64_t length = 0;
    bool ok = f != nullptr && std::fflush(f) == 0 && stream_size(f, length) && length < SIZE_MAX;
    auto* block = ok ? static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(length) + 1)) : nullptr;
    ok = block != nullptr && read_back(f, block, length, size);
    stream_.reset();
    if (!ok) {
        std::free(block);
        return false;
    }
    bytes = block;
    return true;
}

#endif

}  // namespace qpbm

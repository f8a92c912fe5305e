#include "library/memory_convert.hpp"

#include <cerrno>
#include <cstring>
#include <memory>

#include "convert/convert.hpp"
#include "core/stream.hpp"
#include "library/phases.hpp"

#if defined(_WIN32)
#include <windows.h>
#endif

// Where the C library can make a stream from functions (glibc, musl and
// Emscripten's musl: fopencookie), the streams read and write the caller's
// memory directly. Elsewhere (Windows) the bytes pass through temporary
// files, which the system keeps in memory while they are small.
#if defined(__linux__) || defined(__EMSCRIPTEN__)
#define QPBM_COOKIE_STREAMS 1
#include <sys/types.h>
#endif

namespace qpbm {

namespace {

// A stream closed when its owner goes; no allocation.
struct CloseStream {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using OwnedStream = std::unique_ptr<std::FILE, CloseStream>;

#if defined(QPBM_COOKIE_STREAMS)

// The bytes behind a stream: the input, or the output buffer, whose bytes
// past `end` a write may not reach beyond `size`.
struct Memory {
    const std::uint8_t* source = nullptr;  // input
    std::uint8_t* target = nullptr;        // output
    std::size_t size = 0;                  // bytes of input, or of the output buffer
    std::size_t position = 0;
    std::size_t end = 0;  // output: one past the furthest byte written
};

ssize_t read_memory(void* cookie, char* buffer, std::size_t n) {
    Memory& m = *static_cast<Memory*>(cookie);
    const std::size_t left = m.position < m.size ? m.size - m.position : 0;
    const std::size_t count = n < left ? n : left;
    if (count > 0) std::memcpy(buffer, m.source + m.position, count);
    m.position += count;
    return static_cast<ssize_t>(count);
}

ssize_t write_memory(void* cookie, const char* bytes, std::size_t n) {
    Memory& m = *static_cast<Memory*>(cookie);
    if (m.position > m.size || n > m.size - m.position) {
        errno = ENOSPC;
        return 0;  // the stream's error: a cookie write never returns less than 0
    }
    // Bytes skipped by a seek past the end read as zeros, as in a file.
    if (m.position > m.end) std::memset(m.target + m.end, 0, m.position - m.end);
    std::memcpy(m.target + m.position, bytes, n);
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

// A stream reading the caller's bytes.
class InputStream {
public:
    InputStream(const std::uint8_t* bytes, std::size_t size) {
        memory_.source = bytes;
        memory_.size = size;
        stream_.reset(open_memory(memory_, "rb"));
    }
    std::FILE* get() const { return stream_.get(); }

private:
    Memory memory_;
    OwnedStream stream_;  // after memory_, so closed before it goes
};

// A stream writing into the caller's buffer.
class OutputStream {
public:
    OutputStream(std::uint8_t* buffer, std::size_t capacity) {
        memory_.target = buffer;
        memory_.size = capacity;
        stream_.reset(open_memory(memory_, "wb"));
    }
    std::FILE* get() const { return stream_.get(); }
    // Flushes and closes; the bytes written, or false when a write failed.
    bool finish(std::uint64_t& written) {
        const bool flushed = std::fflush(stream_.get()) == 0 && !std::ferror(stream_.get());
        stream_.reset();
        written = memory_.end;
        return flushed;
    }

private:
    Memory memory_;
    OwnedStream stream_;  // after memory_, so closed before it goes
};

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

class InputStream {
public:
    InputStream(const std::uint8_t* bytes, std::size_t size) : stream_(temporary_stream()) {
        std::FILE* f = stream_.get();
        if (f == nullptr) return;
        if ((size > 0 && std::fwrite(bytes, 1, size, f) != size) || std::fflush(f) != 0 || !seek_to(f, 0))
            stream_.reset();
    }
    std::FILE* get() const { return stream_.get(); }

private:
    OwnedStream stream_;
};

// Written to a temporary file, then copied into the buffer if it fits.
class OutputStream {
public:
    OutputStream(std::uint8_t* buffer, std::size_t capacity)
        : buffer_(buffer), capacity_(capacity), stream_(temporary_stream()) {}
    std::FILE* get() const { return stream_.get(); }
    bool finish(std::uint64_t& written) {
        std::FILE* f = stream_.get();
        bool ok = std::fflush(f) == 0 && !std::ferror(f) && stream_size(f, written);
        if (ok && written > capacity_) {
            errno = ENOSPC;
            ok = false;
        }
        const std::size_t n = ok ? static_cast<std::size_t>(written) : 0;
        ok = ok && seek_to(f, 0) && (n == 0 || std::fread(buffer_, 1, n, f) == n);
        stream_.reset();
        return ok;
    }

private:
    std::uint8_t* buffer_;
    std::size_t capacity_;
    OwnedStream stream_;
};

#endif

// The check phase, on a stream over the input. Every memory output seeks.
Status check(Direction& direction, const std::uint8_t* input, std::size_t input_size, std::FILE* in, Workspace& work,
             Conversion& conversion, Facts& facts, const Options& options) {
    if (in == nullptr) {
        facts.os_error = errno;
        return Status::read_failed;
    }
    const ReaderKind* reader = nullptr;
    if (const Status status = reader_of_input(direction, input, input_size, reader, &facts); status != Status::ok)
        return status;
    errno = 0;
    const Status status = check_input(*reader, in, true, options, work, conversion, facts);
    if (status == Status::read_failed && facts.os_error == 0) facts.os_error = errno;
    return status;
}

}  // namespace

Status measure_memory(Direction& direction, const std::uint8_t* input, std::size_t input_size,
                      std::uint64_t& output_size, Workspace& work, Facts& facts, const Options& options) {
    output_size = 0;
    const InputStream in(input, input_size);
    Conversion conversion;
    const Status status = check(direction, input, input_size, in.get(), work, conversion, facts, options);
    if (status == Status::ok) output_size = conversion_size(conversion);
    return status;
}

namespace {

// The write phase of a checked conversion into the caller's buffer, refused
// before anything is written when the output would not fit.
Status write_memory(Conversion& conversion, std::FILE* in, std::uint8_t* output, std::size_t capacity,
                    std::uint64_t& output_size, Facts& facts) {
    const std::uint64_t needed = conversion_size(conversion);
    if (needed > capacity) {
        output_size = needed;
        facts.needed_size = needed;
        facts.limit = capacity;
        return Status::output_too_small;
    }
    OutputStream out(output, capacity);
    if (out.get() == nullptr) {
        facts.os_error = errno;
        return Status::open_output_failed;
    }
    errno = 0;
    Status status = write_output(in, conversion, out.get());
    if ((status == Status::read_failed || status == Status::write_failed) && facts.os_error == 0)
        facts.os_error = errno;
    conversion.release();  // before the stream over the caller's buffer is closed
    std::uint64_t written = 0;
    if (!out.finish(written) && status == Status::ok) {
        facts.os_error = errno;
        status = Status::write_failed;
    }
    if (status == Status::ok) output_size = written;
    return status;
}

}  // namespace

Status convert_memory(Direction& direction, const std::uint8_t* input, std::size_t input_size, std::uint8_t* output,
                      std::size_t capacity, std::uint64_t& output_size, Workspace& work, Facts& facts,
                      const Options& options) {
    output_size = 0;
    const InputStream in(input, input_size);
    Conversion conversion;
    const Status status = check(direction, input, input_size, in.get(), work, conversion, facts, options);
    if (status != Status::ok) return status;
    return write_memory(conversion, in.get(), output, capacity, output_size, facts);
}

Status convert_pixels_memory(const PixelSource& pixels, std::uint8_t* output, std::size_t capacity,
                             std::uint64_t& output_size, Workspace& work, Facts& facts, const Options& options) {
    output_size = 0;
    Conversion conversion;
    const Status status = check_pixels(conversion, pixels, true, work.buffers, facts, options);
    if (status != Status::ok) return status;
    return write_memory(conversion, nullptr, output, capacity, output_size, facts);
}

}  // namespace qpbm

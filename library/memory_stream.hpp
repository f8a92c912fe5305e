// Streams over memory, for the memory calls and memory documents: an input
// read from the caller's bytes, an output written into the caller's buffer
// that refuses to write past its end, and an output that grows as it is
// written. Each output reads back and seeks as a file does (libtiff reads a
// TIFF's last directory to link the next).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace qpbm {

// A stream closed when its owner goes; no allocation.
struct CloseStream {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using OwnedStream = std::unique_ptr<std::FILE, CloseStream>;

// The bytes behind a cookie stream: the input, or the output buffer, whose
// bytes past `end` a write may not reach beyond `size` unless it `grows`.
struct Memory {
    const std::uint8_t* source = nullptr;  // input
    std::uint8_t* target = nullptr;        // output
    std::size_t size = 0;                  // bytes of input, or of the output buffer
    std::size_t position = 0;
    std::size_t end = 0;  // output: one past the furthest byte written
    bool grows = false;   // output: `target` is ours, made larger as needed
};

// A stream reading the caller's bytes; get() is null when none could be made.
class InputStream {
public:
    InputStream(const std::uint8_t* bytes, std::size_t size);
    std::FILE* get() const { return stream_.get(); }

private:
    Memory memory_;
    OwnedStream stream_;  // after memory_, so closed before it goes
};

// A stream writing into the caller's buffer.
class OutputStream {
public:
    OutputStream(std::uint8_t* buffer, std::size_t capacity);
    std::FILE* get() const { return stream_.get(); }
    // Flushes and closes; the bytes written, or false when a write failed.
    bool finish(std::uint64_t& written);

private:
    Memory memory_;
    OwnedStream stream_;  // after memory_, so closed before it goes
};

// A stream writing into memory of its own, which finish() hands over.
class GrowingStream {
public:
    GrowingStream();
    ~GrowingStream();
    GrowingStream(const GrowingStream&) = delete;
    GrowingStream& operator=(const GrowingStream&) = delete;
    std::FILE* get() const { return stream_.get(); }
    // Flushes and closes; the bytes written, in a block to free with
    // std::free, or false when a write failed (nothing is handed over).
    bool finish(std::uint8_t*& bytes, std::uint64_t& size);

private:
    Memory memory_;
    OwnedStream stream_;  // after memory_, so closed before it goes
};

}  // namespace qpbm

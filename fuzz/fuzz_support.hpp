// What the fuzz targets share: memory streams over static buffers, so that
// bytes reach the converters through FILE* without touching the disk, and a check that fails
// the run (libFuzzer keeps the input that broke it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/options.hpp"

namespace qpbm_fuzz {

[[noreturn]] inline void broken(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_REQUIRE(condition) ((condition) ? (void)0 : qpbm_fuzz::broken(#condition, __FILE__, __LINE__))

// The largest input a target takes: a 1000 x 1000 PBM is about 2 MB of text.
inline constexpr std::size_t kMaxInput = 4u << 20;

// The largest picture whose output a target writes and checks: 128 x 128.
// Each written picture costs its whole text or BMP per input, and a few
// megabytes per input drop the throughput a hundredfold; the check phase
// still runs on every size, and large pictures have tests of their own.
inline constexpr std::uint64_t kMaxWrittenPixels = 1u << 14;

// The options of the targets that feed a reader through the joiner: a raw
// PBM under the luma rule at the input's first byte, pictures up to
// kMaxWrittenPixels.
inline qpbm::Options luma_to_raw_pbm(std::uint8_t threshold) {
    qpbm::Options options;
    options.method = qpbm::Method::luma;
    options.threshold = threshold;
    options.raw = true;
    options.to = qpbm::Format::pbm;
    options.max_pixels = kMaxWrittenPixels;
    return options;
}

// Input bytes as a read-only stream over a static copy (fmemopen takes a
// non-const buffer). Null when the input is too large.
class InputStream {
public:
    InputStream(const std::uint8_t* data, std::size_t size) {
        static unsigned char copy[kMaxInput];
        if (size > sizeof copy) return;
        if (size > 0) std::memcpy(copy, data, size);
        file_ = fmemopen(copy, size, "rb");
    }
    ~InputStream() {
        if (file_ != nullptr) std::fclose(file_);
    }
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    std::FILE* get() const { return file_; }

private:
    std::FILE* file_ = nullptr;
};

// The output as a stream over a static buffer larger than any output the
// targets write (a 1000 x 1000 BMP is 3,000,054 bytes; a PBM takes at most 2
// of its BMP's 3 bytes per pixel), so a write never runs out of room; it can
// seek. bytes() and size() are valid after finish().
class OutputStream {
public:
    static constexpr std::size_t kCapacity = 8u << 20;
    OutputStream() : file_(fmemopen(buffer_, kCapacity, "wb")) { FUZZ_REQUIRE(file_ != nullptr); }
    ~OutputStream() {
        if (file_ != nullptr) std::fclose(file_);
    }
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;
    std::FILE* get() const { return file_; }
    // Zeroes the first n bytes of the buffer, so that a byte never written
    // cannot pass for one written by an earlier run.
    void clear(std::size_t n) { std::memset(buffer_, 0, n < kCapacity ? n : kCapacity); }
    void finish() {
        // The end is the furthest byte written, wherever the last write was.
        FUZZ_REQUIRE(std::fflush(file_) == 0);
        FUZZ_REQUIRE(std::fseek(file_, 0, SEEK_END) == 0);
        const long end = std::ftell(file_);
        FUZZ_REQUIRE(end >= 0 && static_cast<std::size_t>(end) < kCapacity);
        size_ = static_cast<std::size_t>(end);
        FUZZ_REQUIRE(std::fclose(file_) == 0);
        file_ = nullptr;
    }
    const std::uint8_t* bytes() const { return buffer_; }
    std::size_t size() const { return size_; }

private:
    static inline std::uint8_t buffer_[kCapacity];
    std::size_t size_ = 0;
    std::FILE* file_;
};

// Little-endian fields, decoded here rather than with the library's helpers.
inline std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace qpbm_fuzz

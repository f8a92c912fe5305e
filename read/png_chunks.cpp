#include "read/png_chunks.hpp"

#include <spng.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qpbm {

namespace {

constexpr std::uint32_t kPngLongestChunk = 0x7FFFFFFF;

std::uint32_t big_endian_32(const unsigned char* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Bit 5 of the type's first letter (lower case) marks an ancillary chunk.
bool unused_ancillary(const unsigned char* type) {
    if ((type[0] & 0x20) == 0) return false;
    return std::memcmp(type, "tRNS", 4) != 0 && std::memcmp(type, "pHYs", 4) != 0;
}

int ended(std::FILE* file, int& error) {
    if (!std::ferror(file)) return SPNG_IO_EOF;
    error = errno != 0 ? errno : EIO;
    return SPNG_IO_ERROR;
}

}  // namespace

int PngChunkFilter::skip(std::FILE* file, std::uint64_t bytes, int& error) {
    unsigned char scrap[4096];
    while (bytes > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, sizeof scrap));
        const std::size_t got = std::fread(scrap, 1, n, file);
        position_ += got;
        bytes -= got;
        if (got < n) return ended(file, error);
    }
    return 0;
}

int PngChunkFilter::read(std::FILE* file, unsigned char* dest, std::size_t length, int& error) {
    while (length > 0) {
        if (held_begin_ < held_end_) {
            const std::size_t n = std::min<std::size_t>(length, held_end_ - held_begin_);
            std::memcpy(dest, held_ + held_begin_, n);
            held_begin_ += static_cast<unsigned>(n);
            dest += n;
            length -= n;
            continue;
        }
        if (position_ == next_) {
            const std::size_t got = std::fread(held_, 1, sizeof held_, file);
            position_ += got;
            held_begin_ = 0;
            held_end_ = static_cast<unsigned>(got);
            if (got < sizeof held_) {
                next_ = UINT64_MAX;  // libspng meets the end after these
                if (std::ferror(file)) return ended(file, error);
                continue;
            }
            const std::uint32_t data = big_endian_32(held_);
            if (data > kPngLongestChunk) {
                next_ = UINT64_MAX;
                continue;
            }
            if (unused_ancillary(held_ + 4)) {
                held_end_ = 0;
                if (const int status = skip(file, std::uint64_t{data} + 4, error); status != 0) return status;
                next_ = position_;
                continue;
            }
            next_ = position_ + data + 4;  // the data and the CRC
            continue;
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, next_ - position_));
        const std::size_t got = std::fread(dest, 1, n, file);
        position_ += got;
        if (got < n) return ended(file, error);
        dest += n;
        length -= n;
    }
    return 0;
}

}  // namespace qpbm

// The PNG stream as libspng is given it: every chunk but the ancillary ones
// this reader has no use for. Text, Exif, ICC profiles and the like are
// skipped as they pass, whatever their size or number, so a picture that
// carries 16 MiB of eXIf or 200,000 tEXt chunks (which other readers open)
// is not refused for them, and libspng keeps none of them in memory.
//
// Kept: every critical chunk, tRNS (laid over white) and pHYs (the
// resolution). A chunk length over 2^31 - 1 is passed on for libspng to
// refuse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qpbm {

// One per stream, made as it starts at the signature's first byte.
class PngChunkFilter {
public:
    // Fills `dest` with the next `length` bytes of the filtered stream: 0,
    // or SPNG_IO_EOF at the file's end, or SPNG_IO_ERROR with `error` set.
    int read(std::FILE* file, unsigned char* dest, std::size_t length, int& error);

private:
    int skip(std::FILE* file, std::uint64_t bytes, int& error);

    std::uint64_t position_ = 0;  // bytes taken from the file
    std::uint64_t next_ = 8;      // where the next chunk's header starts: after the signature
    unsigned char held_[8] = {};  // a kept chunk's header, read to decide
    unsigned held_begin_ = 0;
    unsigned held_end_ = 0;
};

}  // namespace qpbm

// The input of the netpbm family's readers (PBM, PGM, PPM, PAM): a block
// buffer that the stream is read into unbuffered, and the header grammar
// they share. White space is SP, TAB, LF, VT, FF and CR; a comment runs from
// '#' to the next LF or CR; numbers are unsigned decimal, leading zeros
// allowed, at most 2^31 - 1. Everything up to the raster takes at most
// kPbmHeaderMax bytes, so that refusing any input costs a bounded read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/status.hpp"

namespace qpbm {

// Bytes [begin, end) of the block are read and not yet used.
struct NetpbmInput {
    std::FILE* in;
    char* block;
    std::size_t capacity;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool ended = false;   // nothing follows `end`: the input ended or failed
    bool failed = false;  // a read error
};

// Moves the unused bytes to the front and reads up to `want` more after them.
void refill(NetpbmInput& input, std::size_t want);

inline constexpr int kInputEnd = -1;

// The header, read in small reads: the magic a byte at a time, so that a pipe
// that sent only a wrong first byte is refused without waiting for more, then
// doubling, so that a long header takes few reads.
struct HeaderReader {
    NetpbmInput& input;
    std::size_t read_size = 1;
    std::size_t used = 0;  // header bytes taken
};

// The next byte, not taken; kInputEnd at the end of the input or on a read error.
int peek(HeaderReader& h);

// Takes the byte peek() gave; false when the header would pass its limit.
bool take(HeaderReader& h);

// Where the header ended early: a read error, or the input's end.
inline Status end_status(const HeaderReader& h) {
    return h.input.failed ? Status::read_failed : Status::pbm_header_truncated;
}

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }

// The netpbm family's signature so far: 'P', then the kind.
inline bool may_begin_netpbm(const unsigned char* first, std::size_t length) { return length == 1 && first[0] == 'P'; }

// Skips white space and comments; `skipped` tells whether there were any.
Status skip_separators(HeaderReader& h, bool& skipped);

// An unsigned decimal number; stops before the first byte that is not a digit.
Status read_number(HeaderReader& h, std::int64_t& value);

// White space and comments, then a number: a header field of PBM, PGM and PPM.
Status read_field(HeaderReader& h, std::int64_t& value);

}  // namespace qpbm

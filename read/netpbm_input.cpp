#include "read/netpbm_input.hpp"

#include <algorithm>
#include <cstring>

#include "core/pbm_format.hpp"

namespace qpbm {

namespace {
constexpr std::size_t kLargestHeaderRead = 4096;
}  // namespace

void refill(NetpbmInput& input, std::size_t want) {
    const std::size_t kept = input.end - input.begin;
    if (input.begin > 0) std::memmove(input.block, input.block + input.begin, kept);
    input.begin = 0;
    input.end = kept;
    want = std::min(want, input.capacity - kept);
    const std::size_t got = std::fread(input.block + kept, 1, want, input.in);
    input.end += got;
    if (got < want) {
        input.ended = true;
        input.failed = std::ferror(input.in) != 0;
    }
}

int peek(HeaderReader& h) {
    NetpbmInput& input = h.input;
    if (input.begin == input.end && !input.ended) {
        refill(input, h.read_size);
        if (h.used >= 2) h.read_size = std::min(h.read_size * 2, kLargestHeaderRead);
    }
    return input.begin < input.end ? static_cast<unsigned char>(input.block[input.begin]) : kInputEnd;
}

bool take(HeaderReader& h) {
    if (h.used == kPbmHeaderMax) return false;
    ++h.used;
    ++h.input.begin;
    return true;
}

Status skip_separators(HeaderReader& h, bool& skipped) {
    skipped = false;
    bool in_comment = false;
    for (int c; (c = peek(h)) != kInputEnd;) {
        if (in_comment)
            in_comment = !ends_pbm_comment(c);
        else if (c == kPbmCommentStart)
            in_comment = true;
        else if (!is_pbm_space(c))
            return Status::ok;
        if (!take(h)) return Status::pbm_header_too_long;
        skipped = true;
    }
    return h.input.failed ? Status::read_failed : Status::ok;
}

Status read_number(HeaderReader& h, std::int64_t& value) {
    int c = peek(h);
    if (c == kInputEnd) return end_status(h);
    if (c == '+' || c == '-') return Status::pbm_signed_number;
    if (!is_digit(c)) return Status::pbm_bad_header_char;
    value = 0;
    for (; is_digit(c); c = peek(h)) {
        if (!take(h)) return Status::pbm_header_too_long;
        value = value * 10 + (c - '0');
        if (value > kPbmDimensionMax) return Status::pbm_number_too_large;
    }
    return c == kInputEnd && h.input.failed ? Status::read_failed : Status::ok;
}

Status read_field(HeaderReader& h, std::int64_t& value) {
    bool separated = false;
    const Status status = skip_separators(h, separated);
    if (status != Status::ok) return status;
    if (!separated) return peek(h) == kInputEnd ? end_status(h) : Status::pbm_bad_header_char;
    return read_number(h, value);
}

}  // namespace qpbm

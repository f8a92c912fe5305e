// A reading of a PBM written for the fuzz targets, a byte at a time and
// independently of the library: the header grammar with its limits, and the
// pixels a plain or raw PBM gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/status.hpp"

namespace qpbm_fuzz {

struct ReferenceHeader {
    qpbm::Status status = qpbm::Status::ok;
    bool raw = false;
    std::int64_t width = 0, height = 0;
    std::size_t pixels_at = 0;  // where the pixels start, when accepted
};

inline bool pbm_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// `seekable` is the kind of output: one that cannot seek takes at most 1000 x 1000.
inline ReferenceHeader reference_header(const std::uint8_t* data, std::size_t size, bool seekable) {
    using qpbm::Status;
    constexpr std::size_t kHeaderMax = 65536;
    constexpr std::int64_t kNumberMax = 2147483647;
    ReferenceHeader h;
    std::size_t i = 0;
    auto at = [&](std::size_t k) { return k < size ? static_cast<int>(data[k]) : -1; };
    auto fail = [&](Status s) {
        h.status = s;
        return h;
    };
    // Taking a byte past the limit refuses the header.
    bool too_long = false;
    auto take = [&] {
        if (i == kHeaderMax)
            too_long = true;
        else
            ++i;
        return !too_long;
    };

    if (at(0) != 'P' || (at(1) != '1' && at(1) != '4')) return fail(Status::pbm_bad_magic);
    h.raw = at(1) == '4';
    i = 2;
    std::int64_t numbers[2] = {};
    for (int k = 0; k < 2; ++k) {
        const std::size_t start = i;
        for (;;) {
            if (at(i) == '#') {
                while (at(i) != -1 && at(i) != '\n' && at(i) != '\r')
                    if (!take()) return fail(Status::pbm_header_too_long);
            } else if (at(i) != -1 && pbm_space(at(i))) {
                if (!take()) return fail(Status::pbm_header_too_long);
            } else {
                break;
            }
        }
        const int c = at(i);
        if (i == start) return fail(c == -1 ? Status::pbm_header_truncated : Status::pbm_bad_header_char);
        if (c == -1) return fail(Status::pbm_header_truncated);
        if (c == '+' || c == '-') return fail(Status::pbm_signed_number);
        if (c < '0' || c > '9') return fail(Status::pbm_bad_header_char);
        while (at(i) >= '0' && at(i) <= '9') {
            const int digit = at(i) - '0';
            if (!take()) return fail(Status::pbm_header_too_long);
            numbers[k] = numbers[k] * 10 + digit;
            if (numbers[k] > kNumberMax) return fail(Status::pbm_number_too_large);
        }
    }
    h.width = numbers[0];
    h.height = numbers[1];
    if (h.raw && at(i) != -1) {
        if (!pbm_space(at(i))) return fail(Status::pbm_no_raster_separator);
        if (!take()) return fail(Status::pbm_header_too_long);
    }
    h.pixels_at = i;
    const std::int64_t stride = (h.width * 3 + 3) / 4 * 4;
    if (h.height != 0 && stride > (0xFFFFFFFFll - 54) / h.height) return fail(Status::pbm_too_large);
    if (!seekable && h.width > 0 && h.height > 0 && (h.width > 1000 || h.height > 1000))
        return fail(Status::pbm_too_large_for_pipe);
    return h;
}

// Whether each pixel is white, top row first, from the bytes after the header.
inline std::vector<bool> reference_pixels(const std::uint8_t* data, std::size_t size, const ReferenceHeader& h) {
    const std::size_t count = static_cast<std::size_t>(h.width * h.height);
    std::vector<bool> white(count, false);
    std::size_t n = 0;
    if (count == 0) return white;  // 0 x N and N x 0: no pixel, however many rows
    if (h.raw) {
        const std::size_t row_bytes = static_cast<std::size_t>((h.width + 7) / 8);
        for (std::size_t y = 0; y < static_cast<std::size_t>(h.height); ++y)
            for (std::size_t x = 0; x < static_cast<std::size_t>(h.width); ++x) {
                const std::size_t at = h.pixels_at + y * row_bytes + x / 8;
                white[y * static_cast<std::size_t>(h.width) + x] = at < size && !(data[at] & (0x80 >> (x % 8)));
            }
        return white;
    }
    bool comment = false;
    for (std::size_t at = h.pixels_at; at < size && n < count; ++at) {
        const int c = data[at];
        if (comment)
            comment = c != '\n' && c != '\r';
        else if (c == '#')
            comment = true;
        else if (!pbm_space(c))
            white[n++] = c == '0';
    }
    return white;
}

}  // namespace qpbm_fuzz

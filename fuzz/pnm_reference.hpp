// A plain reading of PGM and PPM (P2, P3, P5, P6) for the pnm target, written
// from the format's rules and sharing no code with the library: a header of
// three numbers after white space and comments, one white-space byte before
// a raw raster, samples scaled as (v * 255 + M / 2) / M. It gives each
// pixel's luma, or says why it refuses the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qpbm_fuzz {

struct PnmPicture {
    bool accepted = false;
    std::int64_t width = 0, height = 0;
    std::vector<std::uint8_t> luma;  // top row first
};

inline PnmPicture read_pnm_reference(const std::uint8_t* data, std::size_t size) {
    PnmPicture p;
    std::size_t at = 2;
    const auto space = [](int c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    // Skips white space and comments; false at the end.
    const auto skip = [&]() {
        for (bool comment = false; at < size; ++at) {
            if (comment)
                comment = data[at] != '\n' && data[at] != '\r';
            else if (data[at] == '#')
                comment = true;
            else if (!space(data[at]))
                return true;
        }
        return false;
    };
    const auto number = [&](std::int64_t limit, std::int64_t& value) {
        if (at >= size || data[at] < '0' || data[at] > '9') return false;
        for (value = 0; at < size && data[at] >= '0' && data[at] <= '9'; ++at)
            if ((value = value * 10 + (data[at] - '0')) > limit) return false;
        return true;
    };
    if (size < 2 || data[0] != 'P') return p;
    const char kind = static_cast<char>(data[1]);
    const bool plain = kind == '2' || kind == '3';
    const int depth = kind == '3' || kind == '6' ? 3 : 1;
    std::int64_t maxval = 0;
    const std::size_t before = at;
    if (!skip() || at == before || !number(2147483647, p.width)) return p;
    std::size_t mark = at;
    if (!skip() || at == mark || !number(2147483647, p.height)) return p;
    mark = at;
    if (!skip() || at == mark || !number(65535, maxval) || maxval == 0) return p;
    if (!plain && at < size && !space(data[at])) return p;
    if (!plain) ++at;
    if (!plain && static_cast<std::uint64_t>(size - std::min(at, size)) <
                      static_cast<std::uint64_t>(p.width * p.height * depth * (maxval > 255 ? 2 : 1)))
        return p;
    for (std::int64_t i = 0; i < p.width * p.height; ++i) {
        unsigned c[3] = {};
        for (int k = 0; k < depth; ++k) {
            std::int64_t v = 0;
            if (plain) {
                if (!skip() || !number(65535, v)) return p;
            } else if (maxval > 255) {
                v = data[at] << 8 | data[at + 1];
                at += 2;
            } else {
                v = data[at++];
            }
            if (v > maxval) return p;
            c[k] = static_cast<unsigned>((v * 255 + maxval / 2) / maxval);
        }
        if (depth == 1) c[1] = c[2] = c[0];
        p.luma.push_back(static_cast<std::uint8_t>((299 * c[0] + 587 * c[1] + 114 * c[2]) / 1000));
    }
    p.accepted = true;
    return p;
}

}  // namespace qpbm_fuzz

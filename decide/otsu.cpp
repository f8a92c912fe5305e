// Otsu's threshold, chosen exactly: the between-class comparison is made on
// fractions of up to 256 bits, so that ties fall the same way everywhere.
#include <cstring>

#include "decide/methods.hpp"

namespace qpbm {

namespace {

// ---- Otsu: exact comparison of fractions of up to 256 bits ------------------

struct Big {
    std::uint32_t limb[8] = {};  // least significant first
};

Big big(std::uint64_t v) {
    Big b;
    b.limb[0] = static_cast<std::uint32_t>(v);
    b.limb[1] = static_cast<std::uint32_t>(v >> 32);
    return b;
}

// a * b, which the callers keep below 2^256.
Big multiply(const Big& a, const Big& b) {
    Big r;
    for (int i = 0; i < 8; ++i) {
        std::uint64_t carry = 0;
        for (int j = 0; i + j < 8; ++j) {
            const std::uint64_t t = static_cast<std::uint64_t>(a.limb[i]) * b.limb[j] + r.limb[i + j] + carry;
            r.limb[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
    }
    return r;
}

int compare(const Big& a, const Big& b) {
    for (int i = 7; i >= 0; --i)
        if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i] ? -1 : 1;
    return 0;
}

// |a - b|
Big distance(const Big& a, const Big& b) {
    const bool swap = compare(a, b) < 0;
    const Big& hi = swap ? b : a;
    const Big& lo = swap ? a : b;
    Big r;
    std::int64_t borrow = 0;
    for (int i = 0; i < 8; ++i) {
        const std::int64_t t = static_cast<std::int64_t>(hi.limb[i]) - lo.limb[i] - borrow;
        borrow = t < 0 ? 1 : 0;
        r.limb[i] = static_cast<std::uint32_t>(t + (borrow << 32));
    }
    return r;
}

// N and S below 2^40 and 2^48: products below 2^88, their squares below
// 2^176, and those times N0 N1 (below 2^80) below 2^256.
Big product(std::uint64_t a, std::uint64_t b) { return multiply(big(a), big(b)); }

}  // namespace

int otsu_threshold(const std::uint64_t (&histogram)[256]) {
    std::uint64_t n = 0, s = 0;
    for (unsigned y = 0; y < 256; ++y) {
        n += histogram[y];
        s += y * histogram[y];
    }
    int best = -1;
    Big best_square, best_count;
    std::uint64_t n0 = 0, s0 = 0;
    for (unsigned t = 0; t < 255; ++t) {
        n0 += histogram[t];
        s0 += t * histogram[t];
        const std::uint64_t n1 = n - n0, s1 = s - s0;
        if (n0 == 0 || n1 == 0) continue;
        const Big d = distance(product(n1, s0), product(n0, s1));
        const Big square = multiply(d, d);
        const Big count = product(n0, n1);
        // square / count > best_square / best_count, without dividing.
        if (best < 0 || compare(multiply(square, best_count), multiply(best_square, count)) > 0) {
            best = static_cast<int>(t);
            best_square = square;
            best_count = count;
        }
    }
    return best;
}

void add_to_histogram(const std::uint8_t* values, std::size_t count, MethodBuffers& b) {
    std::memset(b.histogram_parts, 0, sizeof b.histogram_parts);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        ++b.histogram_parts[0][values[i]];
        ++b.histogram_parts[1][values[i + 1]];
        ++b.histogram_parts[2][values[i + 2]];
        ++b.histogram_parts[3][values[i + 3]];
    }
    for (; i < count; ++i) ++b.histogram_parts[0][values[i]];
    for (unsigned v = 0; v < 256; ++v)
        b.histogram[v] += std::uint64_t{b.histogram_parts[0][v]} + b.histogram_parts[1][v] + b.histogram_parts[2][v] +
                          b.histogram_parts[3][v];
}

}  // namespace qpbm

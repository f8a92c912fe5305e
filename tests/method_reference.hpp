// The black-and-white methods written plainly from their rules, over a whole
// picture of luma values held in memory: the oracle for the tests and the
// fuzz target. Nothing here is shared with the library's streaming code.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace qpbm_test {

// Y of each pixel, row by row from the top; the result is true for black.
struct LumaPicture {
    int width = 0;
    int height = 0;
    std::vector<int> y;
    int at(int x, int row) const { return y[static_cast<std::size_t>(row) * width + x]; }
};

inline int reference_luma(int blue, int green, int red) { return (299 * red + 587 * green + 114 * blue) / 1000; }

inline std::vector<bool> reference_threshold(const LumaPicture& p, int white_from) {
    std::vector<bool> black(p.y.size());
    for (std::size_t i = 0; i < p.y.size(); ++i) black[i] = p.y[i] < white_from;
    return black;
}

// Exact products of non-negative integers as 16-bit digits, least
// significant first: enough to compare Otsu's fractions without rounding.
using Digits = std::vector<std::uint32_t>;

inline Digits digits(std::uint64_t v) {
    Digits d;
    for (; v != 0; v >>= 16) d.push_back(static_cast<std::uint32_t>(v & 0xFFFF));
    return d;
}

inline Digits times(const Digits& a, const Digits& b) {
    Digits r(a.size() + b.size() + 1, 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.size() || carry != 0; ++j) {
            const std::uint64_t t = r[i + j] + carry + (j < b.size() ? std::uint64_t{a[i]} * b[j] : 0);
            r[i + j] = static_cast<std::uint32_t>(t & 0xFFFF);
            carry = t >> 16;
        }
    }
    while (!r.empty() && r.back() == 0) r.pop_back();
    return r;
}

inline bool less(const Digits& a, const Digits& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
}

inline std::vector<bool> reference_otsu(const LumaPicture& p) {
    std::int64_t count[256] = {};
    for (int v : p.y) ++count[v];
    int best = -1;
    Digits best_num, best_den;
    for (int t = 0; t <= 254; ++t) {
        std::int64_t n0 = 0, s0 = 0, n1 = 0, s1 = 0;
        for (int v = 0; v < 256; ++v) (v <= t ? n0 : n1) += count[v], (v <= t ? s0 : s1) += v * count[v];
        if (n0 == 0 || n1 == 0) continue;
        const std::int64_t d = n1 * s0 - n0 * s1;  // below 2^63 for the pictures tested
        const Digits num = times(digits(static_cast<std::uint64_t>(d < 0 ? -d : d)),
                                 digits(static_cast<std::uint64_t>(d < 0 ? -d : d)));
        const Digits den = times(digits(static_cast<std::uint64_t>(n0)), digits(static_cast<std::uint64_t>(n1)));
        if (best < 0 || less(times(best_num, den), times(num, best_den))) best = t, best_num = num, best_den = den;
    }
    std::vector<bool> black(p.y.size());
    for (std::size_t i = 0; i < p.y.size(); ++i) black[i] = best < 0 ? p.y[i] < 128 : !(p.y[i] > best);
    return black;
}

// The 8 x 8 Bayer matrix unrolled from M2 = [[0, 2], [3, 1]] and
// M2n[i][j] = 4 Mn[i mod n][j mod n] + M2[i div n][j div n].
inline int reference_bayer(int i, int j) {
    static const int m2[2][2] = {{0, 2}, {3, 1}};
    return 16 * m2[i % 2][j % 2] + 4 * m2[(i % 4) / 2][(j % 4) / 2] + m2[i / 4][j / 4];
}

inline std::vector<bool> reference_ordered(const LumaPicture& p) {
    std::vector<bool> black(p.y.size());
    for (int row = 0; row < p.height; ++row)
        for (int x = 0; x < p.width; ++x)
            black[static_cast<std::size_t>(row) * p.width + x] = p.at(x, row) < 4 * reference_bayer(row % 8, x % 8) + 2;
    return black;
}

// Error diffusion with the error of each pixel in a full picture of errors,
// two pixels wider on each side and two rows taller, so that shares that fall
// outside simply land where nothing reads them.
inline std::vector<bool> reference_diffusion(const LumaPicture& p, bool atkinson) {
    const int pad = 2, w = p.width + 2 * pad;
    std::vector<std::int64_t> err(static_cast<std::size_t>(w) * (p.height + 2), 0);
    auto e = [&](int x, int row) -> std::int64_t& { return err[static_cast<std::size_t>(row) * w + x + pad]; };
    std::vector<bool> black(p.y.size());
    for (int row = 0; row < p.height; ++row) {
        const int d = atkinson || row % 2 == 0 ? 1 : -1;
        for (int step = 0; step < p.width; ++step) {
            const int x = d > 0 ? step : p.width - 1 - step;
            const std::int64_t s = 16 * p.at(x, row) + e(x, row);
            const bool white = s >= 2048;
            const std::int64_t q = s - (white ? 4080 : 0);
            black[static_cast<std::size_t>(row) * p.width + x] = !white;
            // Floor division by a power of two, negative values included.
            auto floor_div = [](std::int64_t v, std::int64_t by) { return v >= 0 ? v / by : -((-v + by - 1) / by); };
            if (atkinson) {
                const std::int64_t share = floor_div(q, 8);
                e(x + 1, row) += share, e(x + 2, row) += share;
                e(x - 1, row + 1) += share, e(x, row + 1) += share, e(x + 1, row + 1) += share;
                e(x, row + 2) += share;
            } else {
                const std::int64_t a = floor_div(7 * q, 16), b = floor_div(3 * q, 16), c = floor_div(5 * q, 16);
                e(x + d, row) += a;
                e(x - d, row + 1) += b;
                e(x, row + 1) += c;
                e(x + d, row + 1) += q - a - b - c;
            }
        }
    }
    // Shares put outside the picture's columns are never read; those put
    // past its last rows neither.
    return black;
}

// The wider kernels as their authors publish them: weights in a 3 x 5 box,
// the pixel at row 0, column 2, with the divisor. Serpentine, like
// Floyd-Steinberg; each share the floor of weight x error / divisor, and the
// pixel just ahead takes what the floors leave.
struct ReferenceKernel {
    const char* name;
    int divisor;
    int weights[3][5];
};

inline const ReferenceKernel kReferenceKernels[] = {
    {"jarvis", 48, {{0, 0, 0, 7, 5}, {3, 5, 7, 5, 3}, {1, 3, 5, 3, 1}}},
    {"stucki", 42, {{0, 0, 0, 8, 4}, {2, 4, 8, 4, 2}, {1, 2, 4, 2, 1}}},
    {"burkes", 32, {{0, 0, 0, 8, 4}, {2, 4, 8, 4, 2}, {0, 0, 0, 0, 0}}},
    {"sierra", 32, {{0, 0, 0, 5, 3}, {2, 4, 5, 4, 2}, {0, 2, 3, 2, 0}}},
    {"sierra2", 16, {{0, 0, 0, 4, 3}, {1, 2, 3, 2, 1}, {0, 0, 0, 0, 0}}},
    {"sierra-lite", 4, {{0, 0, 0, 2, 0}, {0, 1, 1, 0, 0}, {0, 0, 0, 0, 0}}},
};

inline std::vector<bool> reference_kernel(const LumaPicture& p, const ReferenceKernel& k) {
    const int pad = 2, w = p.width + 2 * pad;
    std::vector<std::int64_t> err(static_cast<std::size_t>(w) * (p.height + 2), 0);
    auto e = [&](int x, int row) -> std::int64_t& { return err[static_cast<std::size_t>(row) * w + x + pad]; };
    auto floor_div = [](std::int64_t v, std::int64_t by) { return v >= 0 ? v / by : -((-v + by - 1) / by); };
    std::vector<bool> black(p.y.size());
    for (int row = 0; row < p.height; ++row) {
        const int d = row % 2 == 0 ? 1 : -1;
        for (int step = 0; step < p.width; ++step) {
            const int x = d > 0 ? step : p.width - 1 - step;
            const std::int64_t s = 16 * p.at(x, row) + e(x, row);
            const bool white = s >= 2048;
            const std::int64_t q = s - (white ? 4080 : 0);
            black[static_cast<std::size_t>(row) * p.width + x] = !white;
            std::int64_t given = 0;
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 5; ++c) {
                    if (r == 0 && c == 3) continue;  // just ahead: the rest, below
                    const std::int64_t share = floor_div(k.weights[r][c] * q, k.divisor);
                    e(x + (c - 2) * d, row + r) += share;
                    given += share;
                }
            e(x + d, row) += q - given;
        }
    }
    return black;
}

// Y > m (1 + 0.2 (s / 128 - 1)) over the window clipped to the picture, with
// m = S1 / n and s = sqrt(n S2 - S1^2) / n from the sums of Y and Y^2 over its
// n pixels. Times 640 n^2 it reads 640 n^2 Y - 512 n S1 > S1 sqrt(n S2 - S1^2),
// which is decided exactly by squaring both sides.
inline std::vector<bool> reference_sauvola(const LumaPicture& p, int window) {
    const int r = window / 2;
    std::vector<bool> black(p.y.size());
    for (int row = 0; row < p.height; ++row)
        for (int x = 0; x < p.width; ++x) {
            std::int64_t sum = 0, squares = 0, n = 0;
            for (int j = std::max(0, row - r); j <= std::min(p.height - 1, row + r); ++j)
                for (int i = std::max(0, x - r); i <= std::min(p.width - 1, x + r); ++i) {
                    sum += p.at(i, j);
                    squares += p.at(i, j) * p.at(i, j);
                    ++n;
                }
            const std::int64_t left = 640 * n * n * p.at(x, row) - 512 * n * sum;
            const auto u = [](std::int64_t v) { return digits(static_cast<std::uint64_t>(v)); };
            const bool white =
                left > 0 && less(times(times(u(sum), u(sum)), u(n * squares - sum * sum)), times(u(left), u(left)));
            black[static_cast<std::size_t>(row) * p.width + x] = !white;
        }
    return black;
}

// The method by the tool's name; `level` is luma's threshold, `window` Sauvola's.
inline std::vector<bool> reference_method(const std::string& method, const LumaPicture& p, int level = 128,
                                          int window = 15) {
    if (p.y.empty()) return {};  // a width or height of 0, however large the other
    if (method == "luma") return reference_threshold(p, level);
    if (method == "otsu") return reference_otsu(p);
    if (method == "bayer") return reference_ordered(p);
    if (method == "floyd-steinberg") return reference_diffusion(p, false);
    if (method == "atkinson") return reference_diffusion(p, true);
    for (const ReferenceKernel& k : kReferenceKernels)
        if (method == k.name) return reference_kernel(p, k);
    return reference_sauvola(p, window);
}

// The bits of a raw PBM's rows: ceil(width / 8) bytes a row, the leftmost
// pixel in the highest bit, 1 black; true for black.
inline std::vector<bool> raw_pbm_pixels(const std::string& rows, int width, int height) {
    const std::size_t row_bytes = (static_cast<std::size_t>(width) + 7) / 8;
    std::vector<bool> black(static_cast<std::size_t>(width) * height);
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x)
            black[static_cast<std::size_t>(row) * width + x] =
                (static_cast<unsigned char>(rows[row * row_bytes + x / 8]) >> (7 - x % 8)) & 1;
    return black;
}

}  // namespace qpbm_test

// The per-pixel methods: a level for the whole picture (channels, luma, Otsu's
// once known) or one from the 8 x 8 Bayer matrix.
#include <cstring>

#include "decide/methods.hpp"

namespace qpbm {

namespace {

// ---- Bayer ------------------------------------------------------------------

// The 8 x 8 Bayer matrix, grown from M2 = [[0, 2], [3, 1]] by
// M2n[i][j] = 4 Mn[i mod n][j mod n] + M2[i div n][j div n].
struct BayerMatrix {
    unsigned m[8][8];
};

constexpr BayerMatrix make_bayer() {
    constexpr unsigned m2[2][2] = {{0, 2}, {3, 1}};
    BayerMatrix b{};
    unsigned prev[8][8] = {{0, 2}, {3, 1}};
    for (unsigned n = 2; n < 8; n *= 2) {
        unsigned next[8][8] = {};
        for (unsigned i = 0; i < 2 * n; ++i)
            for (unsigned j = 0; j < 2 * n; ++j) next[i][j] = 4 * prev[i % n][j % n] + m2[i / n][j / n];
        for (unsigned i = 0; i < 8; ++i)
            for (unsigned j = 0; j < 8; ++j) prev[i][j] = next[i][j];
    }
    for (unsigned i = 0; i < 8; ++i)
        for (unsigned j = 0; j < 8; ++j) b.m[i][j] = prev[i][j];
    return b;
}

constexpr BayerMatrix kBayer = make_bayer();
static_assert(kBayer.m[0][0] == 0 && kBayer.m[0][1] == 32 && kBayer.m[1][1] == 16 && kBayer.m[7][7] == 21);

// A pixel is white when its Y reaches 4 M + 2: levels 2, 6, ... 254.
constexpr unsigned bayer_level(std::size_t y, std::size_t x) { return 4 * kBayer.m[y % 8][x % 8] + 2; }

}  // namespace

void Decider::decide(std::size_t y, std::size_t first, const std::uint8_t* values, std::size_t count,
                     std::uint8_t* bits) const {
    std::uint8_t* flags = b_.flags;
    if (method_ == Method::bayer) {
        // The levels of a row repeat every 8 pixels; pieces start on a multiple of 8.
        constexpr std::size_t kSpan = 32;
        std::uint8_t levels[kSpan];
        for (std::size_t k = 0; k < kSpan; ++k) levels[k] = static_cast<std::uint8_t>(bayer_level(y, first + k));
        std::size_t i = 0;
        for (; i + kSpan <= count; i += kSpan)
            for (std::size_t k = 0; k < kSpan; ++k) flags[i + k] = values[i + k] < levels[k];
        for (; i < count; ++i) flags[i] = values[i] < levels[i % kSpan];
    } else if (level_ == 0 || level_ > 255) {
        std::memset(flags, level_ == 0 ? 0 : 1, count);
    } else {
        const std::uint8_t level = static_cast<std::uint8_t>(level_);
        for (std::size_t i = 0; i < count; ++i) flags[i] = values[i] < level;
    }
    pack(count, bits);
}

}  // namespace qpbm

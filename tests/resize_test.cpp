// The resize: its sizes, and its values against references written from the
// definitions (exact-coverage area averaging, centre-aligned bilinear), in
// doubles, before any method decides them.
#include "read/resize.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace qpbm {
namespace {

struct TargetCase {
    std::int64_t width, height;
    Resize asked;
    std::int64_t want_width, want_height;
};

TEST(ResizeTarget, SidesRoundToNearestAndKeepAtLeastOnePixel) {
    const TargetCase cases[] = {
        {400, 300, {100, 0, false}, 100, 75},
        {400, 300, {0, 100, false}, 133, 100},   // 133.3
        {400, 300, {50, 50, true}, 50, 38},      // 37.5 rounds up
        {400, 300, {1000, 10, true}, 13, 10},    // the height binds
        {400, 300, {800, 600, true}, 800, 600},  // the same aspect ratio: the box
        {400, 300, {10, 900, false}, 10, 900},   // both: exactly, aspect lost
        {3, 2, {2, 0, false}, 2, 1},             // 1.33
        {3, 2, {0, 3, false}, 5, 3},             // 4.5 rounds up
        {1, 10000, {1, 0, false}, 1, 10000},     // 1:1 across, tall
        {10000, 1, {10, 0, false}, 10, 1},       // 0.001 is still a row
        {10000, 1, {0, 5, false}, 50000, 5},     // a thin strip enlarged
        {1, 1, {7, 0, false}, 7, 7},             // one pixel
        {2147483647, 1, {1, 0, false}, 1, 1},    // a huge ratio, no overflow
        {1, 2147483647, {2147483647, 0, false}, 2147483647, std::int64_t{2147483647} * 2147483647},
        {0, 5, {10, 0, false}, 0, 5},         // no pixels: kept
        {640, 480, {0, 0, false}, 640, 480},  // nothing asked
    };
    for (const TargetCase& c : cases) {
        const Size size = resize_target(c.width, c.height, c.asked);
        EXPECT_EQ(size.width, c.want_width) << c.width << " x " << c.height;
        EXPECT_EQ(size.height, c.want_height) << c.width << " x " << c.height;
    }
}

struct PlanCase {
    std::int32_t width, height;
    Resize asked;
    std::uint64_t max_pixels;
    Status want;
};

TEST(ResizePlan, RefusesOutputsOverTheLimits) {
    const PlanCase cases[] = {
        {400, 300, {100, 0, false}, 0, Status::ok},
        {400, 300, {100, 100, false}, 10000, Status::ok},
        {400, 300, {100, 101, false}, 10000, Status::too_many_pixels},  // the output's pixels, not the input's
        {400, 300, {131073, 0, false}, 0, Status::too_wide_for_method},
        {1, 2147483647, {1000, 0, false}, 0, Status::decoded_too_many_pixels},
    };
    for (const PlanCase& c : cases) {
        Options options;
        options.resize = c.asked;
        options.max_pixels = c.max_pixels;
        Picture picture(c.width, c.height, RowForm::values), stored;
        bool resized = false;
        Facts facts;
        EXPECT_EQ(plan_resize(options, false, picture, stored, resized, facts), c.want) << c.asked.width;
    }
}

TEST(ResizePlan, BitsBecomeValuesAndTheResolutionKeepsThePhysicalSize) {
    Options options;
    options.resize = {1000, 0, false};
    Picture picture(2000, 1000, RowForm::bits), stored;
    picture.resolution = {ResolutionUnit::inch, 300, 200};
    bool resized = false;
    Facts facts;
    ASSERT_EQ(plan_resize(options, false, picture, stored, resized, facts), Status::ok);
    EXPECT_TRUE(resized);
    EXPECT_EQ(picture.form, RowForm::values);
    EXPECT_EQ(stored.form, RowForm::bits);
    EXPECT_EQ(picture.height, 500);
    EXPECT_DOUBLE_EQ(picture.resolution.x, 150);
    EXPECT_DOUBLE_EQ(picture.resolution.y, 100);
}

// ---- values -------------------------------------------------------------------

class Rows final : public RowSink {
public:
    bool take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) override {
        EXPECT_EQ(y, rows.size());
        EXPECT_EQ(first, 0u);
        rows.emplace_back(row, row + count);
        return true;
    }
    std::vector<std::vector<std::uint8_t>> rows;
};

using Picture8 = std::vector<std::vector<std::uint8_t>>;

Picture8 noise(std::size_t width, std::size_t height, std::uint32_t seed) {
    Picture8 p(height, std::vector<std::uint8_t>(width));
    for (auto& row : p)
        for (auto& v : row) {
            seed = seed * 1103515245u + 12345u;
            v = static_cast<std::uint8_t>(seed >> 23);
        }
    return p;
}

// Through the stage, each row in pieces of `piece` pixels (a multiple of 8).
Picture8 resized(const Picture8& in, std::size_t width, std::size_t height, std::size_t piece, bool channels = false) {
    const auto buffers = std::make_unique<ResizeBuffers>();
    std::vector<std::uint8_t> out_row(width);
    Options options;
    if (!channels) options.method = Method::luma;
    Rows rows;
    const Picture stored(static_cast<std::int32_t>(in[0].size()), static_cast<std::int32_t>(in.size()),
                         RowForm::values);
    const Picture out(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), RowForm::values);
    ResizeStage stage(stored, out, options, *buffers, out_row.data(), rows);
    for (std::size_t y = 0; y < in.size(); ++y)
        for (std::size_t first = 0; first < in[y].size(); first += piece) {
            const std::size_t count = std::min(piece, in[y].size() - first);
            // Where the reader puts it: at the start of its room, or at its place for whole rows.
            std::uint8_t* room = buffers->in_row + (stage.whole_rows() ? first : 0);
            std::copy(in[y].begin() + first, in[y].begin() + first + count, room);
            EXPECT_TRUE(stage.take(y, first, room, count));
        }
    return rows.rows;
}

// The length of [a0, a1) within [b0, b1).
double overlap(double a0, double a1, double b0, double b1) {
    return std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
}

// Each output pixel the mean of the input under it, by the area covered.
double area_reference(const Picture8& in, std::size_t width, std::size_t height, std::size_t i, std::size_t j) {
    const double sx = static_cast<double>(in[0].size()) / width, sy = static_cast<double>(in.size()) / height;
    double sum = 0;
    for (std::size_t y = 0; y < in.size(); ++y)
        for (std::size_t x = 0; x < in[y].size(); ++x)
            sum += in[y][x] * overlap(x, x + 1.0, i * sx, (i + 1) * sx) * overlap(y, y + 1.0, j * sy, (j + 1) * sy);
    return sum / (sx * sy);
}

// Centres aligned: output i samples the input at (i + 1/2) W / w - 1/2,
// clamped to the first and last centres, linearly between the two nearest.
double linear_at(const std::vector<double>& line, std::size_t out_size, std::size_t i) {
    const double n = static_cast<double>(line.size());
    double p = (i + 0.5) * n / out_size - 0.5;
    p = std::min(std::max(p, 0.0), n - 1);
    const std::size_t x0 = static_cast<std::size_t>(p);
    const double f = p - x0;
    return f == 0 ? line[x0] : line[x0] * (1 - f) + line[x0 + 1] * f;
}

struct SizeCase {
    std::size_t in_width, in_height, width, height;
};

TEST(ResizeStage, AreaAveragesAreWithinHalfAGreyLevelOfExactCoverage) {
    const SizeCase cases[] = {
        {7, 5, 3, 2}, {10, 10, 5, 5}, {13, 11, 4, 3}, {40, 30, 10, 7}, {5, 1, 2, 1},     {1, 9, 1, 2},
        {9, 9, 1, 1}, {17, 5, 17, 3}, {17, 5, 6, 5},  {300, 4, 7, 4},  {64, 64, 63, 62},  // barely smaller: most pixels
                                                                                          // split
    };
    for (const SizeCase& c : cases) {
        const Picture8 in = noise(c.in_width, c.in_height, static_cast<std::uint32_t>(c.in_width * 31 + c.width));
        for (const std::size_t piece : {std::size_t{8}, std::size_t{4096}}) {
            const Picture8 out = resized(in, c.width, c.height, piece);
            ASSERT_EQ(out.size(), c.height);
            for (std::size_t j = 0; j < c.height; ++j)
                for (std::size_t i = 0; i < c.width; ++i)
                    ASSERT_NEAR(out[j][i], area_reference(in, c.width, c.height, i, j), 0.5 + 1e-6)
                        << c.in_width << "x" << c.in_height << " to " << c.width << "x" << c.height << " at " << i
                        << "," << j;
        }
    }
}

TEST(ResizeStage, EnlargingInterpolatesBilinearlyBetweenCentres) {
    const SizeCase cases[] = {
        {3, 3, 7, 7},  {2, 2, 5, 5}, {1, 1, 4, 3}, {9, 2, 20, 5}, {4, 6, 4, 13}, {10, 2, 3, 7},  // down across, up down
        {2, 10, 7, 3},                                                                           // and the other way
    };
    for (const SizeCase& c : cases) {
        const Picture8 in = noise(c.in_width, c.in_height, static_cast<std::uint32_t>(c.in_height * 7 + c.width));
        const Picture8 out = resized(in, c.width, c.height, 8);
        ASSERT_EQ(out.size(), c.height);
        // Each axis on its own: across first (by area when it shrinks), then down.
        std::vector<std::vector<double>> across(c.in_height, std::vector<double>(c.width));
        for (std::size_t y = 0; y < c.in_height; ++y) {
            const std::vector<double> line(in[y].begin(), in[y].end());
            for (std::size_t i = 0; i < c.width; ++i)
                across[y][i] = c.width > c.in_width ? linear_at(line, c.width, i)
                                                    : area_reference(Picture8{in[y]}, c.width, 1, i, 0);
        }
        for (std::size_t i = 0; i < c.width; ++i) {
            std::vector<double> column(c.in_height);
            for (std::size_t y = 0; y < c.in_height; ++y) column[y] = across[y][i];
            for (std::size_t j = 0; j < c.height; ++j) {
                double want = 0;
                if (c.height > c.in_height) {
                    want = linear_at(column, c.height, j);
                } else {
                    const double s = static_cast<double>(c.in_height) / c.height;
                    for (std::size_t y = 0; y < c.in_height; ++y)
                        want += column[y] * overlap(y, y + 1.0, j * s, (j + 1) * s);
                    want /= s;
                }
                ASSERT_NEAR(out[j][i], want, 0.5 + 1.0 / 256) << c.in_width << "x" << c.in_height << " to " << c.width
                                                              << "x" << c.height << " at " << i << "," << j;
            }
        }
    }
}

TEST(ResizeStage, BitsAreGreyAndChannelFlagsAreDecidedAtTheMiddle) {
    // 16 x 2 bits: row 0 alternates black and white, row 1 is black then white.
    const std::uint8_t bits[2][2] = {{0xAA, 0xAA}, {0xFF, 0x00}};
    for (const bool channels : {false, true}) {
        const auto buffers = std::make_unique<ResizeBuffers>();
        std::vector<std::uint8_t> out_row(4);
        Options options;
        options.method = channels ? Method::channels : Method::luma;
        Rows rows;
        ResizeStage stage(Picture(16, 2, RowForm::bits), Picture(4, 1, RowForm::values), options, *buffers,
                          out_row.data(), rows);
        for (std::size_t y = 0; y < 2; ++y) ASSERT_TRUE(stage.take(y, 0, bits[y], 16));
        ASSERT_EQ(rows.rows.size(), 1u);
        // Each output pixel is 4 x 2: half white on row 0, and none or all on row 1.
        const std::uint8_t grey[] = {64, 64, 191, 191};  // 255 * 2 / 8 and 255 * 6 / 8, rounded
        const std::uint8_t flags[] = {0, 0, 255, 255};
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(rows.rows[0][i], channels ? flags[i] : grey[i]) << i;
    }
}

}  // namespace
}  // namespace qpbm

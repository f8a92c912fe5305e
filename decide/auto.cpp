#include "decide/auto.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qpbm {

const char* method_name(Method method) {
    switch (method) {
        case Method::channels: return "channels";
        case Method::luma: return "luma";
        case Method::otsu: return "otsu";
        case Method::floyd_steinberg: return "floyd-steinberg";
        case Method::atkinson: return "atkinson";
        case Method::bayer: return "bayer";
        case Method::sauvola: return "sauvola";
        case Method::automatic: return "auto";
        case Method::jarvis: return "jarvis";
        case Method::stucki: return "stucki";
        case Method::burkes: return "burkes";
        case Method::sierra: return "sierra";
        case Method::sierra2: return "sierra2";
        case Method::sierra_lite: return "sierra-lite";
        case Method::by_input: break;
    }
    return "the input's default";
}

AutoSink::AutoSink(std::size_t width, std::size_t height, MethodBuffers& buffers)
    : width_(width), height_(height), b_(buffers) {
    const std::size_t side = std::min(width, height);
    while (factor_ < 8 && side / (factor_ * 2) >= kLookSide) factor_ *= 2;
}

void AutoSink::start() {
    // A reader's shrunk picture and the blocks here both round up.
    if (shrunk) {
        width_ = (width_ + factor_ - 1) / factor_;
        height_ = (height_ + factor_ - 1) / factor_;
        block_ = 1;
    } else {
        block_ = factor_;
    }
    small_width_ = (width_ + block_ - 1) / block_;
    small_height_ = (height_ + block_ - 1) / block_;
    std::memset(b_.column_sums, 0, sizeof(b_.column_sums[0]) * small_width_);
    std::memset(b_.prefix_sums, 0, sizeof(b_.prefix_sums[0]) * small_width_);
}

bool AutoSink::take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) {
    if (stopped_) return false;
    if (last_y_ == SIZE_MAX) start();
    if (y != last_y_) {
        if (y / block_ != block_row_) end_block_row();
        block_row_ = y / block_;
        last_y_ = y;
        ++rows_in_block_;
    }
    std::uint32_t* sums = b_.column_sums;
    if (block_ == 1) {
        // A reader's shrunk rows (a JPEG's DC terms): no division a pixel.
        for (std::size_t i = 0; i < count; ++i) sums[first + i] += row[i];
    } else {
        for (std::size_t i = 0; i < count; ++i) sums[(first + i) / block_] += row[i];
    }
    return true;
}

void AutoSink::end_block_row() {
    if (rows_in_block_ == 0) return;
    std::uint8_t* small = b_.flags;
    const std::size_t down = rows_in_block_;
    if (block_ == 1 && down == 1) {
        for (std::size_t x = 0; x < small_width_; ++x) small[x] = static_cast<std::uint8_t>(b_.column_sums[x]);
        std::memset(b_.column_sums, 0, sizeof(b_.column_sums[0]) * small_width_);
    } else {
        for (std::size_t x = 0; x < small_width_; ++x) {
            const std::size_t across = std::min(block_, width_ - x * block_);
            const std::size_t n = across * down;
            small[x] = static_cast<std::uint8_t>((b_.column_sums[x] + n / 2) / n);
            b_.column_sums[x] = 0;
        }
    }
    look(small, small_width_);
    rows_in_block_ = 0;
    if (settled()) stopped_ = true;
}

void AutoSink::look(const std::uint8_t* small, std::size_t n) {
    // The paper under each pixel: the brightest a column has been lately, a
    // level lost a row, so the paper's level follows the light down the page
    // and ink a few rows tall never counts as paper; then the brightest of
    // kReach columns either side, across the strokes of a letter.
    std::uint32_t* lately = b_.column_squares;
    for (std::size_t x = 0; x < n; ++x)
        lately[x] = small_y_ == 0 ? small[x] : std::max<std::uint32_t>(small[x], lately[x] > 0 ? lately[x] - 1 : 0);
    ++small_y_;
    // Counted in 32 bits a row (a row is far shorter than 2^32), which vectorises.
    std::uint32_t paper = 0, ink = 0;
    std::uint8_t* inked = b_.window_rows;
    auto count = [&](std::size_t x, std::uint32_t level) {
        const std::uint32_t below = level - small[x];
        paper += below <= kPaperBelow;
        ink += below >= kInkBelow;
        inked[x] = below >= kInkBelow;
    };
    auto clipped = [&](std::size_t x) {
        const std::size_t from = x >= kReach ? x - kReach : 0, to = std::min(n - 1, x + kReach);
        std::uint32_t level = 0;
        for (std::size_t i = from; i <= to; ++i) level = std::max(level, lately[i]);
        count(x, level);
    };
    // The window whole in the middle (a fixed count the compiler unrolls and
    // vectorises), clipped at the ends.
    const std::size_t middle_end = n > kReach ? n - kReach : 0;
    std::size_t x = 0;
    for (; x < std::min(kReach, n); ++x) clipped(x);
    for (; x < middle_end; ++x) {
        std::uint32_t level = lately[x - kReach];
        for (std::size_t i = 1; i <= 2 * kReach; ++i) level = std::max(level, lately[x - kReach + i]);
        count(x, level);
    }
    for (; x < n; ++x) clipped(x);
    paper_ += paper;
    ink_ += ink;
    strokes(inked, n);
    // Steps over two pixels, so that an edge blurred over one still counts as sharp.
    std::uint32_t moving = 0, jumps = 0;
    for (std::size_t x = 2; x < n; ++x) {
        const unsigned step = small[x] > small[x - 2] ? small[x] - small[x - 2] : small[x - 2] - small[x];
        moving += step > kStill;
        jumps += step >= kInkBelow;
    }
    moving_ += moving;
    jumps_ += jumps;
    pixels_ += n;
}

void AutoSink::strokes(const std::uint8_t* inked, std::size_t n) {
    // Ink in runs of at most kStrokeRun pixels, across (ended in this row)
    // and down (ended here, kept a column each); the picture's edge ends a run.
    std::uint32_t* down = b_.prefix_sums;
    std::uint64_t across_short = 0, down_short = 0;
    std::size_t run = 0;
    for (std::size_t x = 0; x < n; ++x) {
        if (inked[x] != 0) {
            ++run;
            ++down[x];
            continue;
        }
        if (run <= kStrokeRun) across_short += run;
        run = 0;
        if (down[x] <= kStrokeRun) down_short += down[x];
        down[x] = 0;
    }
    if (run <= kStrokeRun) across_short += run;
    across_short_ += across_short;
    down_short_ += down_short;
}

void AutoSink::end_strokes() {
    const std::uint32_t* down = b_.prefix_sums;
    for (std::size_t x = 0; x < small_width_; ++x)
        if (down[x] <= kStrokeRun) down_short_ += down[x];
}

bool AutoSink::settled() const {
    // Too few paper pixels left to make a document of the whole: a photo, whatever the rest holds.
    const std::uint64_t all = static_cast<std::uint64_t>(small_width_) * small_height_;
    return (pixels_ - paper_) * 100 > (100 - kPaperPct) * all;
}

AutoChoice AutoSink::choose() {
    if (!stopped_) {
        end_block_row();
        end_strokes();
    }
    AutoChoice choice;
    const std::uint64_t all = std::max<std::uint64_t>(pixels_, 1);
    const unsigned paper_pct = static_cast<unsigned>(paper_ * 100 / all);
    const unsigned ink_pmil = static_cast<unsigned>(ink_ * 1000 / all);
    const unsigned sharp_pct = moving_ != 0 ? static_cast<unsigned>(jumps_ * 100 / moving_) : 0;
    const unsigned strokes_pct =
        ink_ != 0 ? static_cast<unsigned>(std::max(across_short_, down_short_) * 100 / ink_) : 0;
    const bool document = !stopped_ && paper_pct >= kPaperPct && ink_pmil >= kInkPmil &&
                          (sharp_pct >= kSharpPct || strokes_pct >= kStrokesPct);
    choice.method = document ? kAutoDocumentMethod : Method::floyd_steinberg;
    if (stopped_)
        std::snprintf(choice.why, sizeof choice.why, "a photo: under %u%% paper", kPaperPct);
    else
        std::snprintf(choice.why, sizeof choice.why,
                      "%s: paper %u%%, ink %u per mille, sharp steps %u%%, ink in strokes %u%%",
                      document ? "a document" : "a photo", paper_pct, ink_pmil, sharp_pct, strokes_pct);
    return choice;
}

}  // namespace qpbm

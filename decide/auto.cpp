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
}

bool AutoSink::take(std::size_t y, std::size_t first, const std::uint8_t* row, std::size_t count) {
    if (last_y_ == SIZE_MAX) start();
    if (y != last_y_) {
        if (y / block_ != block_row_) end_block_row();
        block_row_ = y / block_;
        last_y_ = y;
        ++rows_in_block_;
    }
    std::uint32_t* sums = b_.column_sums;
    for (std::size_t i = 0; i < count; ++i) sums[(first + i) / block_] += row[i];
    return true;
}

void AutoSink::end_block_row() {
    if (rows_in_block_ == 0) return;
    std::uint8_t* small = b_.flags;
    const std::size_t down = rows_in_block_;
    for (std::size_t x = 0; x < small_width_; ++x) {
        const std::size_t across = std::min(block_, width_ - x * block_);
        const std::size_t n = across * down;
        small[x] = static_cast<std::uint8_t>((b_.column_sums[x] + n / 2) / n);
        b_.column_sums[x] = 0;
    }
    look(small, small_width_);
    rows_in_block_ = 0;
}

void AutoSink::look(const std::uint8_t* small, std::size_t n) {
    const std::size_t part_y =
        std::min<std::size_t>(small_y_ * kGrid / std::max<std::size_t>(small_height_, 1), kGrid - 1);
    ++small_y_;
    std::uint32_t(&parts)[kGrid][kBins] = parts_[part_y];
    for (std::size_t x = 0; x < n; ++x) ++parts[x * kGrid / n][small[x] * kBins / 256];
    for (std::size_t x = 1; x < n; ++x)
        ++steps_[small[x] > small[x - 1] ? small[x] - small[x - 1] : small[x - 1] - small[x]];
    pixels_ += n;
}

AutoChoice AutoSink::choose() {
    end_block_row();
    AutoChoice choice;
    std::uint64_t steps = 0, flat = 0, sharp = 0;
    for (unsigned d = 0; d < 256; ++d) {
        steps += steps_[d];
        if (d <= 2) flat += steps_[d];
        if (d >= 32) sharp += steps_[d];
    }
    // Paper: in each part, the blocks within two bins of its brightest tenth.
    std::uint64_t paper = 0, counted = 0;
    unsigned lightest = 0, darkest = kBins;
    for (auto& line : parts_)
        for (auto& part : line) {
            std::uint64_t total = 0;
            for (const std::uint32_t c : part) total += c;
            if (total == 0) continue;
            std::uint64_t above = 0;
            unsigned top = kBins - 1;
            for (;; --top) {
                above += part[top];
                if (above * 10 >= total || top == 0) break;
            }
            for (unsigned bin = top > 0 ? top - 1 : 0; bin < kBins; ++bin) paper += part[bin];
            counted += total;
            lightest = std::max(lightest, top);
            darkest = std::min(darkest, top);
        }
    const unsigned paper_pct = counted != 0 ? static_cast<unsigned>(paper * 100 / counted) : 0;
    const unsigned flat_pct = steps != 0 ? static_cast<unsigned>(flat * 100 / steps) : 100;
    const unsigned sharp_pmil = steps != 0 ? static_cast<unsigned>(sharp * 1000 / steps) : 0;
    const bool document = paper_pct >= 60 && flat_pct >= 60;
    choice.method = document ? kAutoDocumentMethod : Method::floyd_steinberg;
    std::snprintf(choice.why, sizeof choice.why,
                  "%s: paper %u%%, flat steps %u%%, sharp %u per mille, paper light spread %u",
                  document ? "a document" : "a photo", paper_pct, flat_pct, sharp_pmil,
                  (lightest - std::min(darkest, lightest)) * 256 / kBins);
    return choice;
}

}  // namespace qpbm

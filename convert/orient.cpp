#include "convert/orient.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qpbm {

Turn turn_of_orientation(unsigned orientation) {
    switch (orientation) {
        case 2: return {false, true, false};  // mirrored
        case 3: return {false, true, true};   // upside down
        case 4: return {false, false, true};  // flipped
        case 5: return {true, false, false};  // transposed
        case 6: return {true, true, false};   // on its left side: a quarter turn clockwise
        case 7: return {true, true, true};    // transverse
        case 8: return {true, false, true};   // on its right side: three quarter turns
        default: return {};
    }
}

Turn turn_of_quarters(unsigned quarters) {
    switch (quarters % 4) {
        case 1: return {true, true, false};
        case 2: return {false, true, true};
        case 3: return {true, false, true};
        default: return {};
    }
}

// In coordinates about the centre, a layout maps (x, y) to (±a, ±b), with
// (a, b) = (y, x) when it swaps. After a second swap, each sign lands on
// the other axis.
Turn then(Turn first, Turn second) {
    if (!second.swap) return {first.swap, first.mirror != second.mirror, first.flip != second.flip};
    return {!first.swap, first.flip != second.mirror, first.mirror != second.flip};
}

Turn turn_for(const Options& options, unsigned orientation) {
    Turn turn = options.auto_orient ? turn_of_orientation(orientation) : Turn{};
    turn = then(turn, turn_of_quarters(options.rotate / 90));
    return then(turn, Turn{false, options.mirror, options.flip});
}

Resolution output_resolution(const Options& options, const Resolution& input, Turn turn) {
    if (options.dpi_x != 0 && options.dpi_y != 0)
        return {ResolutionUnit::inch, static_cast<double>(options.dpi_x), static_cast<double>(options.dpi_y)};
    Resolution r = input;
    if (turn.swap) std::swap(r.x, r.y);
    return r;
}

namespace {

// Rows go to the writer in pieces of at most this many pixels.
constexpr std::size_t kPiecePixels = 64 * 1024;

struct ReversedBytes {
    std::uint8_t of[256];
};

constexpr ReversedBytes make_reversed() {
    ReversedBytes t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned r = 0;
        for (unsigned i = 0; i < 8; ++i) r |= ((b >> i) & 1u) << (7 - i);
        t.of[b] = static_cast<std::uint8_t>(r);
    }
    return t;
}

constexpr ReversedBytes kReversed = make_reversed();

// `width` bits reversed: the last pixel first. The bits past the end stay 0.
void reverse_row(const std::uint8_t* row, std::size_t width, std::uint8_t* out) {
    const std::size_t bytes = (width + 7) / 8;
    for (std::size_t i = 0; i < bytes; ++i) out[i] = kReversed.of[row[bytes - 1 - i]];
    const unsigned pad = static_cast<unsigned>(bytes * 8 - width);
    if (pad == 0) return;
    // The padding came first: move every bit back over it.
    for (std::size_t i = 0; i < bytes; ++i) {
        const unsigned next = i + 1 < bytes ? out[i + 1] : 0u;
        out[i] = static_cast<std::uint8_t>((unsigned{out[i]} << pad) | (next >> (8 - pad)));
    }
}

// An 8 x 8 block of bits, row i in byte 7 - i (the first row highest),
// column j in bit 7 - j of its row: returned with rows and columns swapped.
std::uint64_t transpose8(std::uint64_t x) {
    std::uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
    x ^= t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
    x ^= t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
    x ^= t ^ (t << 28);
    return x;
}

}  // namespace

TurnWriter::~TurnWriter() { release(); }

void TurnWriter::release() {
    std::free(image_);
    std::free(rows_);
    image_ = rows_ = nullptr;
}

void TurnWriter::abandon() {
    release();
    out_.abandon();
}

Status TurnWriter::check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) {
    release();
    sent_ = false;
    width_ = static_cast<std::size_t>(width);
    height_ = static_cast<std::size_t>(height);
    out_width_ = turn_.swap ? height_ : width_;
    out_height_ = turn_.swap ? width_ : height_;
    pitch_ = (width_ + 7) / 8;
    out_pitch_ = (out_width_ + 7) / 8;
    const Status status = out_.check(static_cast<std::int32_t>(out_width_), static_cast<std::int32_t>(out_height_),
                                     output_seekable, facts);
    if (status != Status::ok || width_ == 0 || height_ == 0) return status;
    const bool row_alone = !turn_.swap && !turn_.flip;  // a mirror alone
    if (!row_alone && std::uint64_t{width_} * height_ > kMaxTurnPixels) {
        facts.limit = kMaxTurnPixels;
        return Status::turn_too_large;
    }
    image_ = static_cast<std::uint8_t*>(std::calloc(row_alone ? 1 : height_, pitch_));
    rows_ = static_cast<std::uint8_t*>(std::calloc(turn_.swap ? 9 : 1, out_pitch_));
    if (image_ == nullptr || rows_ == nullptr) {
        release();
        facts.limit = 0;
        return Status::turn_too_large;
    }
    return Status::ok;
}

bool TurnWriter::take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) {
    if (image_ == nullptr) return false;
    const bool row_alone = !turn_.swap && !turn_.flip;
    std::memcpy(image_ + (row_alone ? 0 : y * pitch_) + first / 8, bits, (count + 7) / 8);
    if (first + count != width_) return true;
    if (row_alone) {
        reverse_row(image_, width_, rows_);
        return send(y, rows_);
    }
    return y + 1 != height_ || emit();
}

bool TurnWriter::send(std::size_t y, const std::uint8_t* row) {
    for (std::size_t first = 0; first < out_width_; first += kPiecePixels)
        if (!out_.take(y, first, row + first / 8, std::min(kPiecePixels, out_width_ - first))) return false;
    return true;
}

// Every turned row, top first, from the whole stored picture.
bool TurnWriter::emit() {
    sent_ = true;
    std::uint8_t* reversed = rows_ + (turn_.swap ? 8 * out_pitch_ : 0);
    auto out_row = [&](std::size_t v0, const std::uint8_t* row) {
        const std::size_t y = turn_.flip ? out_height_ - 1 - v0 : v0;
        if (turn_.mirror) {
            reverse_row(row, out_width_, reversed);
            row = reversed;
        }
        return send(y, row);
    };
    if (!turn_.swap) {
        for (std::size_t i = 0; i < out_height_; ++i) {
            const std::size_t v0 = turn_.flip ? out_height_ - 1 - i : i;
            if (!out_row(v0, image_ + v0 * pitch_)) return false;
        }
        return true;
    }
    // Turned row v0 is stored column v0, top to bottom: the eight turned
    // rows of a column of bytes are made at once, a block of 8 x 8 bits at
    // a time, and given out in the output's order.
    const std::size_t groups = pitch_;
    const std::size_t blocks = (height_ + 7) / 8;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t c = turn_.flip ? groups - 1 - g : g;
        for (std::size_t k = 0; k < blocks; ++k) {
            std::uint64_t block = 0;
            for (std::size_t i = 0; i < 8; ++i) {
                const std::size_t y = 8 * k + i;
                const std::uint64_t byte = y < height_ ? image_[y * pitch_ + c] : 0u;
                block |= byte << (56 - 8 * i);
            }
            block = transpose8(block);
            for (std::size_t j = 0; j < 8; ++j)
                rows_[j * out_pitch_ + k] = static_cast<std::uint8_t>(block >> (56 - 8 * j));
        }
        const std::size_t n = std::min<std::size_t>(8, out_height_ - 8 * c);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t j = turn_.flip ? n - 1 - i : i;
            if (!out_row(8 * c + j, rows_ + j * out_pitch_)) return false;
        }
    }
    return true;
}

// A reader that ended early would have failed; never pass on half a picture.
bool TurnWriter::whole() const { return sent_ || image_ == nullptr || !(turn_.swap || turn_.flip); }

Status TurnWriter::finish() { return whole() ? out_.finish() : Status::write_failed; }

Status TurnWriter::end_page() { return whole() ? out_.end_page() : Status::write_failed; }

}  // namespace qpbm

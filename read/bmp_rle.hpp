// RLE8 and RLE4 rows, decoded into palette indices. Rows come bottom first;
// the reader decodes a picture during the check, the legacy token writer
// straight to the places its text has in the file.
#pragma once

#include <algorithm>
#include <cstring>

#include "core/buffers.hpp"
#include "read/bmp_source.hpp"

namespace qpbm {

// The input from the current position, a block at a time.
class BlockReader {
public:
    // An `empty` reader reads nothing: its input has already ended.
    BlockReader(std::FILE* in, std::uint8_t* block, bool empty = false) : in_(in), block_(block), ended_(empty) {}
    // The next byte; false at the end of the input or on a read error.
    bool next(std::uint8_t& byte) {
        if (at_ == size_ && !refill()) return false;
        byte = block_[at_++];
        return true;
    }
    // Up to `want` bytes at once from the block (at least one unless the
    // input ended); false at the end of the input or on a read error.
    bool take(std::size_t want, const std::uint8_t*& bytes, std::size_t& got) {
        if (at_ == size_ && !refill()) return false;
        bytes = block_ + at_;
        got = std::min(want, size_ - at_);
        at_ += got;
        return true;
    }
    bool failed() const { return failed_; }

private:
    bool refill() {
        at_ = 0;
        size_ = ended_ ? 0 : std::fread(block_, 1, kRowBlockSize, in_);
        if (size_ == 0) {
            ended_ = true;
            failed_ = std::ferror(in_) != 0;
        }
        return size_ != 0;
    }
    std::FILE* in_;
    std::uint8_t* block_;
    std::size_t size_ = 0;
    std::size_t at_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

// Decodes an RLE8 or RLE4 stream into rows of palette indices, bottom row
// first, and hands each row to `sink` in pieces of at most kBlockPixelsMax
// pixels, left to right: sink(stored_row, first_pixel, indices, count), which
// returns false to stop. Pixels the stream does not set are index 0. A run
// stops at the end of its row; only an end of line or a move leaves a row.
template <typename Sink>
class RleDecoder {
public:
    RleDecoder(const BmpSource& source, std::uint8_t* indices, Sink& sink)
        : width_(static_cast<std::size_t>(source.width)),
          height_(static_cast<std::size_t>(source.height)),
          piece_(std::min(width_, kBlockPixelsMax)),
          nibbles_(source.bit_count == 4),
          indices_(indices),
          sink_(sink) {}

    // Fails only when the input cannot be read or the sink stops.
    Status run(BlockReader& in) {
        std::uint8_t count = 0, value = 0;
        while (y_ < height_ && in.next(count) && in.next(value)) {
            if (count != 0) {
                run_of(count, nibbles_ ? value >> 4 : value, nibbles_ ? value & 0x0F : value);
            } else if (value == bmp_rle::end_of_line) {
                end_row();
            } else if (value == bmp_rle::end_of_bitmap) {
                break;
            } else if (value == bmp_rle::move) {
                std::uint8_t dx = 0, dy = 0;
                if (!in.next(dx) || !in.next(dy)) break;
                const std::size_t to = x_ + dx;
                for (unsigned i = 0; i < dy && y_ < height_; ++i) end_row();
                if (y_ < height_) skip_to(to);
            } else if (!literal(in, value)) {
                break;
            }
            if (stopped_) return Status::write_failed;
        }
        if (in.failed()) return Status::read_failed;
        while (y_ < height_ && !stopped_) end_row();  // the rest is unset
        return stopped_ ? Status::write_failed : Status::ok;
    }

private:
    // n literal indices, padded to a 16-bit boundary.
    bool literal(BlockReader& in, std::size_t n) {
        const std::size_t bytes = nibbles_ ? (n + 1) / 2 : n;
        std::uint8_t b = 0;
        if (!nibbles_) {
            for (std::size_t left = n, got = 0; left > 0; left -= got) {
                const std::uint8_t* run = nullptr;
                if (!in.take(left, run, got)) return false;
                put_all(run, got);
            }
        } else {
            for (std::size_t i = 0; i < bytes; ++i) {
                if (!in.next(b)) return false;
                put(b >> 4);
                if (2 * i + 1 < n) put(b & 0x0F);
            }
        }
        return bytes % 2 == 0 || in.next(b);
    }

    // n indices in a row, as far as the row goes.
    void put_all(const std::uint8_t* from, std::size_t n) {
        n = std::min(n, width_ - x_);
        while (n > 0) {
            if (x_ - base_ == piece_) hand_over();
            const std::size_t part = std::min(n, base_ + piece_ - x_);
            std::memcpy(indices_ + (x_ - base_), from, part);
            from += part;
            x_ += part;
            n -= part;
        }
    }

    void put(std::uint8_t index) {
        if (x_ == width_) return;  // clipped
        if (x_ - base_ == piece_) hand_over();
        indices_[x_++ - base_] = index;
    }

    // n pixels of a, b, a, b, ...
    void run_of(std::size_t n, std::uint8_t a, std::uint8_t b) {
        n = std::min(n, width_ - x_);
        for (std::size_t k = 0; n > 0;) {
            if (x_ - base_ == piece_) hand_over();
            const std::size_t part = std::min(n, base_ + piece_ - x_);
            std::uint8_t* at = indices_ + (x_ - base_);
            if (a == b) {
                // Most runs are short: eight bytes at a time, past the run's
                // end into bytes that are written again before they are used.
                const std::uint64_t eight = a * 0x0101010101010101ULL;
                for (std::size_t i = 0; i < part; i += 8) std::memcpy(at + i, &eight, 8);
            } else
                for (std::size_t i = 0; i < part; ++i) at[i] = (k + i) % 2 == 0 ? a : b;
            k += part;
            x_ += part;
            n -= part;
        }
    }

    // Leaves pixels unset (index 0) up to column `to`.
    void skip_to(std::size_t to) {
        to = std::min(to, width_);
        while (to >= base_ + piece_ && base_ + piece_ < width_) {
            unset_to(base_ + piece_);
            hand_over();
        }
        unset_to(to);
    }

    // Pixels from x_ to `end`, in the current piece, are index 0. Only the
    // pixels before x_ are defined: runs may write past it.
    void unset_to(std::size_t end) {
        if (x_ >= end) return;
        std::memset(indices_ + (x_ - base_), 0, end - x_);
        x_ = end;
    }

    // Hands over the current piece, whole, and starts the next one.
    void hand_over() {
        const std::size_t n = std::min(piece_, width_ - base_);
        if (!stopped_ && !sink_(y_, base_, indices_, n)) stopped_ = true;
        base_ += piece_;
    }

    void end_row() {
        while (base_ < width_) {
            unset_to(std::min(base_ + piece_, width_));
            hand_over();
        }
        ++y_;
        x_ = 0;
        base_ = 0;
    }

    const std::size_t width_, height_, piece_;
    const bool nibbles_;
    std::uint8_t* indices_;
    Sink& sink_;
    std::size_t y_ = 0;     // stored row, 0 at the bottom
    std::size_t x_ = 0;     // next pixel of the row, at most width_
    std::size_t base_ = 0;  // first pixel of the piece in indices_
    bool stopped_ = false;
};

template <class Sink>
Status decode_rle(std::FILE* in, const BmpSource& source, BmpReadBuffers& buffers, Sink& sink) {
    // A stream that would start past the end of the file is empty, every
    // pixel unset, whether or not the stream can seek there.
    const bool empty = source.pixel_offset >= source.file_size;
    if (!empty && !seek_to(in, source.pixel_offset)) return Status::read_failed;
    BlockReader reader(in, buffers.rows, empty);
    RleDecoder decoder(source, buffers.indices, sink);
    return decoder.run(reader);
}

}  // namespace qpbm

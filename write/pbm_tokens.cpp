// The legacy plain PBM conversion of a BMP, under the channels rule: the
// plain PBM writer's shortcut past values and bits, named here and chosen by
// the joiner alone. Stored pixels become tokens in one step: blue-green-red
// bytes by the rule, palette indices through a table of the tokens of every
// byte value, masked words by one comparison per channel against a
// threshold worked out from the mask. Each block's text is written at once.
//
// RLE rows come bottom first, the PBM lists them top first. The text offset
// of pixel i (top row first) is computable, header + 2i + i / 30 line feeds,
// so to a file each decoded row's text is written straight to its place
// (pixels the stream does not set are palette index 0, so every byte of the
// text is written). To a pipe, the check decoded the picture into a one-bit
// image, which the write then lists in order.
#include "write/pbm_tokens.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/vector_paths.hpp"
#include "read/bmp_rle.hpp"

namespace qpbm {

namespace {

// The pixel rule, written so that the compiler vectorises it: a pixel is
// white when blue, green and red each reach the threshold. The test has no
// branch, so noisy pictures cost no mispredictions.
QPBM_LOOP_BODY void tokens_by_rule(const std::uint8_t* pixel, std::size_t count, char* token, unsigned level) {
    for (std::size_t x = 0; x < count; ++x, pixel += kBytesPerPixel, token += kTokenSize) {
        const bool white = (pixel[0] >= level) & (pixel[1] >= level) & (pixel[2] >= level);
        token[0] = white ? kWhiteChar : kBlackChar;
        token[1] = kTokenSeparator;
    }
}

QPBM_TARGET_AVX2 void pixel_tokens_avx2(const std::uint8_t* pixels, std::size_t count, char* tokens, unsigned level) {
    tokens_by_rule(pixels, count, tokens, level);
}

// Masked words: each channel's masked bits reach the threshold exactly when
// they are at least its threshold shifted into place, so no shift is needed.
template <unsigned Bytes>
QPBM_LOOP_BODY void masked_tokens(const std::uint8_t* word, std::size_t count, const BmpSource& source, char* token) {
    const std::uint32_t red = source.masks[0], green = source.masks[1], blue = source.masks[2];
    const std::uint32_t red_min = source.thresholds[0], green_min = source.thresholds[1],
                        blue_min = source.thresholds[2];
    for (std::size_t x = 0; x < count; ++x, word += Bytes, token += kTokenSize) {
        const std::uint32_t v = Bytes == 2 ? read_le16(word) : read_le32(word);
        const bool white = ((v & red) >= red_min) & ((v & green) >= green_min) & ((v & blue) >= blue_min);
        token[0] = white ? kWhiteChar : kBlackChar;
        token[1] = kTokenSeparator;
    }
}

template <unsigned Bytes>
QPBM_TARGET_AVX2 void masked_tokens_avx2(const std::uint8_t* words, std::size_t count, const BmpSource& source,
                                         char* tokens) {
    masked_tokens<Bytes>(words, count, source, tokens);
}

template <unsigned Bytes>
void masked_tokens_portable(const std::uint8_t* words, std::size_t count, const BmpSource& source, char* tokens) {
    masked_tokens<Bytes>(words, count, source, tokens);
}

template <unsigned Bytes>
void masked_row_tokens(const std::uint8_t* words, std::size_t count, const BmpSource& source, char* tokens) {
    if (use_avx2_path())
        masked_tokens_avx2<Bytes>(words, count, source, tokens);
    else
        masked_tokens_portable<Bytes>(words, count, source, tokens);
}

// Palette indices of `Bits` each, a byte's worth of tokens at a time.
template <unsigned Bits>
void indexed_tokens(const char (*table)[kByteTokensSize], const std::uint8_t* bytes, std::size_t count, char* tokens) {
    constexpr std::size_t per_byte = 8 / Bits;
    constexpr std::size_t chunk = per_byte * kTokenSize;
    const std::size_t whole = count / per_byte;
    for (std::size_t i = 0; i < whole; ++i, tokens += chunk) std::memcpy(tokens, table[bytes[i]], chunk);
    if (count % per_byte != 0) std::memcpy(tokens, table[bytes[whole]], count % per_byte * kTokenSize);
}

}  // namespace

void pixel_tokens_portable(const std::uint8_t* pixels, std::size_t count, char* tokens) {
    tokens_by_rule(pixels, count, tokens, kThreshold);
}

void pixel_tokens(const std::uint8_t* pixels, std::size_t count, char* tokens, unsigned level) {
    if (use_avx2_path())
        pixel_tokens_avx2(pixels, count, tokens, level);
    else
        tokens_by_rule(pixels, count, tokens, level);
}

void pixel_tokens(const std::uint8_t* pixels, std::size_t count, char* tokens) {
    pixel_tokens(pixels, count, tokens, kThreshold);
}

void row_tokens(const BmpSource& source, const BmpReadBuffers& buffers, const std::uint8_t* bytes, std::size_t count,
                char* tokens) {
    switch (source.pixels) {
        case BmpPixels::bgr24: pixel_tokens(bytes, count, tokens, source.level); return;
        case BmpPixels::masked16: masked_row_tokens<2>(bytes, count, source, tokens); return;
        case BmpPixels::masked32: masked_row_tokens<4>(bytes, count, source, tokens); return;
        case BmpPixels::rle: indexed_tokens<8>(buffers.byte_tokens, bytes, count, tokens); return;
        case BmpPixels::indexed: break;
    }
    switch (source.bit_count) {
        case 1: indexed_tokens<1>(buffers.byte_tokens, bytes, count, tokens); return;
        case 2: indexed_tokens<2>(buffers.byte_tokens, bytes, count, tokens); return;
        case 4: indexed_tokens<4>(buffers.byte_tokens, bytes, count, tokens); return;
        default: indexed_tokens<8>(buffers.byte_tokens, bytes, count, tokens); return;
    }
}

namespace {

// Uncompressed rows, for a picture of at least one pixel.
Status write_rows(std::FILE* in, const BmpSource& source, std::FILE* out, BmpReadBuffers& read, PbmWriteBuffers& write,
                  const Options& options, bool& cancelled) {
    std::size_t line_tokens = 0;
    char* text = write.text;
    std::uint64_t rows = 0;
    auto piece = [&](std::size_t, std::size_t first, const std::uint8_t* bytes, std::size_t count) {
        if (first == 0) tell_progress(options, rows++, static_cast<std::uint64_t>(source.height));
        if (first == 0 && cancel_requested(options)) {
            cancelled = true;
            return false;
        }
        row_tokens(source, read, bytes, count, write.tokens);
        text = break_lines(write.tokens, count, text, line_tokens);
        return true;
    };
    auto block_done = [&] {
        const std::size_t length = static_cast<std::size_t>(text - write.text);
        text = write.text;
        return std::fwrite(write.text, 1, length, out) == length;
    };
    return for_each_piece(in, source, read.rows, piece, block_done);
}

// The text of an RLE picture to a file, pieces of rows at the offsets their
// pixels have in the PBM. Rows come bottom first, so pieces that precede each
// other in the file are gathered from the end of the text buffer backwards
// and written with one seek.
class PlacedText {
public:
    PlacedText(std::FILE* out, std::uint64_t header_size, PbmWriteBuffers& buffers)
        : out_(out), header_size_(header_size), buffers_(buffers) {}

    // The text of pixels [first, first + count) of the picture, top row first.
    bool place(std::uint64_t first, const char* tokens, std::size_t count) {
        const std::size_t length =
            count * kTokenSize + static_cast<std::size_t>(line_feeds_before(first + count) - line_feeds_before(first));
        if (!(held_ && first + count == held_first_ && length <= start_)) {
            if (!flush()) return false;
            start_ = kBlockTextSize;
        }
        start_ -= length;
        std::size_t line_tokens = static_cast<std::size_t>(first % kTokensPerLine);
        break_lines(tokens, count, buffers_.text + start_, line_tokens);
        held_ = true;
        held_first_ = first;
        return true;
    }

    bool flush() {
        if (!held_) return true;
        held_ = false;
        const std::uint64_t at =
            header_size_ + held_first_ * kTokenSize + line_feeds_before(held_first_) * kStoredLineFeedSize;
        const std::size_t length = kBlockTextSize - start_;
        return seek_to(out_, at) && std::fwrite(buffers_.text + start_, 1, length, out_) == length;
    }

private:
    static std::uint64_t line_feeds_before(std::uint64_t pixel) { return pixel / kTokensPerLine; }

    std::FILE* out_;
    std::uint64_t header_size_;  // stored bytes
    PbmWriteBuffers& buffers_;
    bool held_ = false;
    std::uint64_t held_first_ = 0;  // the first pixel of the text held
    std::size_t start_ = 0;         // where that text starts in buffers_.text
};

Status write_rle_placed(std::FILE* in, const BmpSource& source, std::FILE* out, std::uint64_t header_size,
                        BmpReadBuffers& read, PbmWriteBuffers& write, const Options& options, bool& cancelled) {
    const std::uint64_t width = static_cast<std::uint64_t>(source.width);
    const std::uint64_t height = static_cast<std::uint64_t>(source.height);
    PlacedText text(out, header_size, write);
    std::uint64_t rows = 0;
    auto sink = [&](std::size_t row, std::size_t first, const std::uint8_t* indices, std::size_t count) {
        if (first == 0) tell_progress(options, rows++, height);
        if (first == 0 && cancel_requested(options)) {
            cancelled = true;
            return false;
        }
        row_tokens(source, read, indices, count, write.tokens);
        return text.place((height - 1 - row) * width + first, write.tokens, count);
    };
    const Status status = decode_rle(in, source, read, sink);
    if (status != Status::ok) return status;
    return text.flush() ? Status::ok : Status::write_failed;
}

// The text of the image an RLE picture was gathered into, in order.
Status write_rle_gathered(const BmpSource& source, std::FILE* out, const BmpReadBuffers& read,
                          PbmWriteBuffers& buffers) {
    const std::size_t total = static_cast<std::size_t>(source.width) * static_cast<std::size_t>(source.height);
    std::size_t line_tokens = 0;
    for (std::size_t first = 0; first < total; first += kBlockPixelsMax) {
        const std::size_t count = std::min(kBlockPixelsMax, total - first);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t p = first + i;
            buffers.tokens[kTokenSize * i] = (read.image[p / 8] >> (p % 8)) & 1 ? kWhiteChar : kBlackChar;
            buffers.tokens[kTokenSize * i + 1] = kTokenSeparator;
        }
        const char* end = break_lines(buffers.tokens, count, buffers.text, line_tokens);
        const std::size_t length = static_cast<std::size_t>(end - buffers.text);
        if (std::fwrite(buffers.text, 1, length, out) != length) return Status::write_failed;
    }
    return Status::ok;
}

}  // namespace

Status write_pbm_tokens(std::FILE* in, const BmpSource& source, BmpReadBuffers& read, PbmWriteBuffers& write,
                        std::FILE* out, const Options& options) {
    char header[64];
    const std::size_t header_length = format_pbm_header(header, source.width, source.height);
    if (std::fwrite(header, 1, header_length, out) != header_length) return Status::write_failed;
    if (source.width > 0 && source.height > 0) {
        Status status = Status::ok;
        bool cancelled = false;
        if (source.pixels != BmpPixels::rle) {
            status = write_rows(in, source, out, read, write, options, cancelled);
        } else if (source.gathered) {
            status = write_rle_gathered(source, out, read, write);  // from memory, gathered during the check
        } else {
            constexpr std::size_t kHeaderLineFeeds = 3;
            status = write_rle_placed(in, source, out, header_length + kHeaderLineFeeds * (kStoredLineFeedSize - 1),
                                      read, write, options, cancelled);
        }
        if (cancelled) return Status::cancelled;
        if (status != Status::ok) return status;
        tell_progress(options, static_cast<std::uint64_t>(source.height), static_cast<std::uint64_t>(source.height));
    }
    return std::fflush(out) == 0 && !std::ferror(out) ? Status::ok : Status::write_failed;
}

}  // namespace qpbm

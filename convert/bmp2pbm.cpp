// BMP to PBM: a block of stored rows at a time through static buffers, so
// pictures of any height convert in constant memory. Each block's text is
// built in memory and written at once: per-token writes would cost far more
// than the conversion itself.
#include <algorithm>
#include <climits>
#include <cstring>

#include "convert/convert.hpp"
#include "convert/stream.hpp"
#include "convert/vector_paths.hpp"
#include "formats/bmp.hpp"

namespace qpbm {

Status read_bmp_source(std::FILE* in, bool, BmpSource& source, Bmp2PbmBuffers&, Facts& facts) {
    // Rows are read in blocks straight into the row buffer; a stream buffer
    // would only add a copy and a read per block.
    std::setvbuf(in, nullptr, _IONBF, 0);
    std::uint8_t bytes[kHeadersSize];
    const std::size_t got = std::fread(bytes, 1, sizeof bytes, in);
    if (std::ferror(in)) return Status::read_failed;
    // A file that does not start with "BM" is not a BMP, however short.
    if (got >= 2 && read_le16(bytes + bmp_field::bfType) != kBmpMagic) return Status::bmp_not_bmp;
    if (got != sizeof bytes) return Status::bmp_header_truncated;

    const BmpHeader h = decode_bmp_header(bytes);
    facts.width = h.width;
    facts.height = h.height;
    facts.bit_count = h.bit_count;
    facts.compression = h.compression;
    facts.info_size = h.info_size;
    facts.pixel_offset = h.pixel_offset;

    if (h.type != kBmpMagic) return Status::bmp_not_bmp;
    if (h.info_size < kInfoHeaderSize || h.bit_count != kBitsPerPixel || h.compression != kCompressionNone)
        return Status::bmp_unsupported;
    if (h.pixel_offset < kPixelDataOffset) return Status::bmp_bad_pixel_offset;
    if (h.width < 0) return Status::bmp_negative_width;
    if (h.width > kMaxBmpWidth) return Status::bmp_too_wide;
    if (h.height == INT32_MIN) return Status::bmp_bad_height;

    source.width = h.width;
    source.top_down = h.height < 0;
    source.height = source.top_down ? -h.height : h.height;
    source.pixel_offset = h.pixel_offset;
    source.stride = bmp_stride(static_cast<std::uint64_t>(h.width));
    facts.height = source.height;

    if (source.width == 0 || source.height == 0) return Status::ok;

    // The last row read needs only its pixels, not its padding.
    facts.needed_size = source.pixel_offset + source.stride * static_cast<std::uint64_t>(source.height - 1) +
                        static_cast<std::uint64_t>(source.width) * kBytesPerPixel;
    if (!stream_size(in, facts.file_size)) return Status::read_failed;
    if (facts.file_size < facts.needed_size) return Status::bmp_pixels_truncated;
    return Status::ok;
}

namespace {

// The pixel rule, written so that the compiler vectorises it: a pixel is
// white when blue, green and red each reach the threshold. The test has no
// branch, so noisy pictures cost no mispredictions.
QPBM_LOOP_BODY void tokens_by_rule(const std::uint8_t* pixel, std::size_t count, char* token) {
    for (std::size_t x = 0; x < count; ++x, pixel += kBytesPerPixel, token += kTokenSize) {
        const bool white = (pixel[0] >= kThreshold) & (pixel[1] >= kThreshold) & (pixel[2] >= kThreshold);
        token[0] = white ? kWhiteChar : kBlackChar;
        token[1] = kTokenSeparator;
    }
}

QPBM_TARGET_AVX2 void pixel_tokens_avx2(const std::uint8_t* pixels, std::size_t count, char* tokens) {
    tokens_by_rule(pixels, count, tokens);
}

}  // namespace

void pixel_tokens_portable(const std::uint8_t* pixels, std::size_t count, char* tokens) {
    tokens_by_rule(pixels, count, tokens);
}

void pixel_tokens(const std::uint8_t* pixels, std::size_t count, char* tokens) {
    if (use_avx2_path())
        pixel_tokens_avx2(pixels, count, tokens);
    else
        pixel_tokens_portable(pixels, count, tokens);
}

namespace {

// Copies `count` tokens into text with a line feed after every 30th token of
// the file; `line_tokens` carries the count across rows and blocks.
char* break_lines(const char* tokens, std::size_t count, char* text, std::size_t& line_tokens) {
    constexpr std::size_t kLineChars = kTokensPerLine * kTokenSize;
    while (count > 0) {
        if (line_tokens == 0 && count >= kTokensPerLine) {  // a whole line: the common case
            std::memcpy(text, tokens, kLineChars);
            text[kLineChars] = '\n';
            text += kLineChars + 1;
            tokens += kLineChars;
            count -= kTokensPerLine;
            continue;
        }
        const std::size_t n = std::min(count, kTokensPerLine - line_tokens);
        std::memcpy(text, tokens, n * kTokenSize);
        text += n * kTokenSize;
        tokens += n * kTokenSize;
        count -= n;
        line_tokens += n;
        if (line_tokens == kTokensPerLine) {
            *text++ = '\n';
            line_tokens = 0;
        }
    }
    return text;
}

// The text of every pixel, for a picture of at least one pixel.
Status write_pixels(std::FILE* in, const BmpSource& source, std::FILE* out, Bmp2PbmBuffers& buffers) {
    const std::size_t width = static_cast<std::size_t>(source.width);
    const std::size_t height = static_cast<std::size_t>(source.height);
    const std::size_t stride = static_cast<std::size_t>(source.stride);
    const std::size_t row_bytes = width * kBytesPerPixel;
    const std::size_t rows_per_block = std::max<std::size_t>(1, kRowBlockSize / stride);
    std::size_t line_tokens = 0;

    // Picture rows [top, top + rows), counted from the top, come from the
    // stored rows [low, low + rows): the same rows in a top-down file, the
    // mirrored ones in a bottom-up file, which is thus read from its end.
    for (std::size_t top = 0; top < height; top += rows_per_block) {
        const std::size_t rows = std::min(rows_per_block, height - top);
        const std::size_t low = source.top_down ? top : height - top - rows;
        // The last row read needs its pixels but not its padding.
        const std::size_t bytes = (rows - 1) * stride + row_bytes;
        if (!seek_to(in, source.pixel_offset + static_cast<std::uint64_t>(low) * stride) ||
            std::fread(buffers.rows, 1, bytes, in) != bytes)
            return Status::read_failed;  // the size was checked, so the file changed or failed

        char* text = buffers.text;
        for (std::size_t i = 0; i < rows; ++i) {
            const std::size_t stored = source.top_down ? i : rows - 1 - i;
            pixel_tokens(buffers.rows + stored * stride, width, buffers.tokens);
            text = break_lines(buffers.tokens, width, text, line_tokens);
        }
        const std::size_t length = static_cast<std::size_t>(text - buffers.text);
        if (std::fwrite(buffers.text, 1, length, out) != length) return Status::write_failed;
    }
    return Status::ok;
}

}  // namespace

Status write_pbm(std::FILE* in, const BmpSource& source, bool, Bmp2PbmBuffers& buffers, std::FILE* out) {
    // The text is written in blocks larger than any stream buffer.
    std::setvbuf(out, nullptr, _IONBF, 0);
    if (std::fprintf(out, kPbmHeaderFormat, source.width, source.height) < 0) return Status::write_failed;
    if (source.width > 0 && source.height > 0) {
        const Status status = write_pixels(in, source, out, buffers);
        if (status != Status::ok) return status;
    }
    return std::fflush(out) == 0 && !std::ferror(out) ? Status::ok : Status::write_failed;
}

}  // namespace qpbm

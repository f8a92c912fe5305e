// BMP to PBM: one stored row at a time through the row buffer, so pictures of
// any height convert in constant memory.
#include <climits>

#include "convert/convert.hpp"
#include "convert/stream.hpp"
#include "formats/bmp.hpp"

namespace qpbm {

Status read_bmp_source(std::FILE* in, BmpSource& source, Facts& facts) {
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

// One token per pixel, white when every channel reaches the threshold, and a
// line feed after every 30th token. `line_tokens` carries across rows.
char* tokens_for_row(const std::uint8_t* pixel, std::int32_t width, char* text, std::size_t& line_tokens) {
    for (std::int32_t x = 0; x < width; ++x, pixel += kBytesPerPixel) {
        const bool white = (pixel[0] >= kThreshold) & (pixel[1] >= kThreshold) & (pixel[2] >= kThreshold);
        *text++ = white ? kWhiteChar : kBlackChar;
        *text++ = kTokenSeparator;
        if (++line_tokens == kTokensPerLine) {
            *text++ = '\n';
            line_tokens = 0;
        }
    }
    return text;
}

}  // namespace

Status write_pbm(std::FILE* in, const BmpSource& source, std::FILE* out, Bmp2PbmBuffers& buffers) {
    if (std::fprintf(out, kPbmHeaderFormat, source.width, source.height) < 0) return Status::write_failed;

    const std::size_t row_bytes = static_cast<std::size_t>(source.width) * kBytesPerPixel;
    std::size_t line_tokens = 0;
    for (std::int32_t y = 0; y < source.height && source.width > 0; ++y) {
        // Picture row y, counted from the top.
        const std::int32_t stored_row = source.top_down ? y : source.height - 1 - y;
        const std::uint64_t offset = source.pixel_offset + static_cast<std::uint64_t>(stored_row) * source.stride;
        if (!seek_to(in, offset) || std::fread(buffers.row, 1, row_bytes, in) != row_bytes)
            return Status::read_failed;  // the size was checked, so the file changed or failed

        const char* end = tokens_for_row(buffers.row, source.width, buffers.text, line_tokens);
        const std::size_t length = static_cast<std::size_t>(end - buffers.text);
        if (std::fwrite(buffers.text, 1, length, out) != length) return Status::write_failed;
    }
    return std::fflush(out) == 0 && !std::ferror(out) ? Status::ok : Status::write_failed;
}

}  // namespace qpbm

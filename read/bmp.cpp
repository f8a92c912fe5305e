// The BMP check: the headers, masks and palette, and that the pixels are all
// there. It is the only phase that refuses a file.
#include "read/bmp.hpp"

#include <bit>
#include <climits>
#include <cstring>

#include "decide/decide.hpp"
#include "read/bmp_rle.hpp"
#include "read/values.hpp"

namespace qpbm {

std::uint32_t channel_threshold(unsigned bits, unsigned level) {
    const std::uint64_t max = (std::uint64_t{1} << bits) - 1;
    return static_cast<std::uint32_t>((max * level + 254) / 255);
}

namespace {

// ---- the check -------------------------------------------------------------

// The variant a header's bit count and compression name, or why none does.
Status classify(const BmpHeader& h, BmpSource& source, const char*& format) {
    const std::uint32_t bits = h.bit_count;
    const std::uint32_t c = h.compression;
    if (c == bmp_compression::jpeg || c == bmp_compression::png || c > bmp_compression::alpha_bitfields ||
        (c == bmp_compression::bitfields && bits == 1))
        return Status::bmp_compressed;
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return Status::bmp_bad_bit_count;
    source.bit_count = bits;
    if (c == bmp_compression::rle8 || c == bmp_compression::rle4) {
        if (bits != (c == bmp_compression::rle8 ? 8u : 4u)) return Status::bmp_bad_compression;
        source.pixels = BmpPixels::rle;
        format = bits == 8 ? "BMP, 8-bit RLE" : "BMP, 4-bit RLE";
        return Status::ok;
    }
    const bool masks = c != bmp_compression::rgb;
    switch (bits) {
        case 16:
            source.pixels = BmpPixels::masked16;
            format = masks ? "BMP, 16-bit bit fields" : "BMP, 16-bit";
            return Status::ok;
        case 32:
            source.pixels = BmpPixels::masked32;
            format = masks ? "BMP, 32-bit bit fields" : "BMP, 32-bit";
            return Status::ok;
        default: break;
    }
    if (masks) return Status::bmp_bad_compression;
    if (bits == 24) {
        source.pixels = BmpPixels::bgr24;
        format = "BMP, 24-bit";
        return Status::ok;
    }
    static const char* const palette_formats[] = {"BMP, 1-bit palette", "BMP, 2-bit palette", "BMP, 4-bit palette",
                                                  "BMP, 8-bit palette"};
    source.pixels = BmpPixels::indexed;
    format = palette_formats[std::countr_zero(bits)];
    return Status::ok;
}

// The threshold a masked channel is compared with; false for a mask that is
// zero or not one run of bits.
bool mask_threshold(std::uint32_t mask, unsigned level, std::uint32_t& threshold) {
    if (mask == 0) return false;
    const unsigned shift = static_cast<unsigned>(std::countr_zero(mask));
    const std::uint32_t run = mask >> shift;
    if ((run & (run + 1)) != 0) return false;  // a gap: the run plus one is not a power of two
    threshold = channel_threshold(static_cast<unsigned>(std::popcount(run)), level) << shift;
    return true;
}

// The tokens of the pixels packed in each byte value, `bits` per pixel, the
// leftmost in the highest bits; white[i] tells palette index i.
void fill_byte_tokens(const bool (&white)[256], unsigned bits, char (*table)[kByteTokensSize]) {
    const unsigned per_byte = 8 / bits;
    const unsigned index_mask = (1u << bits) - 1;
    for (unsigned byte = 0; byte < 256; ++byte)
        for (unsigned k = 0; k < per_byte; ++k) {
            const unsigned index = (byte >> (8 - bits * (k + 1))) & index_mask;
            table[byte][kTokenSize * k] = white[index] ? kWhiteChar : kBlackChar;
            table[byte][kTokenSize * k + 1] = kTokenSeparator;
        }
}

// Reads the palette at `start` into the token table. Indices past the palette
// read as the colour black (0, 0, 0), which a threshold of 0 still passes.
Status read_palette(std::FILE* in, std::uint64_t start, std::uint32_t entries, std::size_t entry_size,
                    const BmpSource& source, BmpReadBuffers& buffers) {
    const std::size_t bytes = entries * entry_size;  // at most 256 * 4
    if (!seek_to(in, start) || std::fread(buffers.rows, 1, bytes, in) != bytes) return Status::read_failed;
    const bool black_passes = source.level == 0;
    bool white[256];
    std::fill_n(white, 256, black_passes);
    const std::uint8_t past = source.luma ? 0 : black_passes ? kChannelsWhite : kChannelsBlack;  // luma 0
    std::memset(buffers.palette_values, past, sizeof buffers.palette_values);
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::uint8_t* entry = buffers.rows + i * entry_size;
        const unsigned level = source.level;
        white[i] = entry[0] >= level && entry[1] >= level && entry[2] >= level;
        buffers.palette_values[i] = static_cast<std::uint8_t>(source.luma ? luma(entry[0], entry[1], entry[2])
                                                              : white[i]  ? kChannelsWhite
                                                                          : kChannelsBlack);
    }
    // RLE hands over one index per byte.
    fill_byte_tokens(white, source.pixels == BmpPixels::rle ? 8 : source.bit_count, buffers.byte_tokens);
    return Status::ok;
}

// To a pipe, for the token path: the picture as one bit per pixel, set for
// white, top row first.
Status gather_rle(std::FILE* in, const BmpSource& source, BmpReadBuffers& buffers) {
    const std::uint64_t width = static_cast<std::uint64_t>(source.width);
    const std::uint64_t height = static_cast<std::uint64_t>(source.height);
    std::memset(buffers.image, 0, (width * height + 7) / 8);
    auto sink = [&](std::size_t row, std::size_t first, const std::uint8_t* indices, std::size_t count) {
        const std::uint64_t start = (height - 1 - row) * width + first;
        for (std::size_t i = 0; i < count; ++i)
            if (buffers.byte_tokens[indices[i]][0] == kWhiteChar)
                buffers.image[(start + i) / 8] |= static_cast<std::uint8_t>(1u << ((start + i) % 8));
        return true;
    };
    return decode_rle(in, source, buffers, sink);
}

// The palette indices of the picture, top row first; unset pixels are 0.
Status gather_rle_indices(std::FILE* in, const BmpSource& source, BmpReadBuffers& buffers) {
    const std::size_t width = static_cast<std::size_t>(source.width);
    const std::size_t height = static_cast<std::size_t>(source.height);
    std::memset(buffers.rle_indices, 0, width * height);
    auto sink = [&](std::size_t row, std::size_t first, const std::uint8_t* indices, std::size_t count) {
        std::memcpy(buffers.rle_indices + (height - 1 - row) * width + first, indices, count);
        return true;
    };
    return decode_rle(in, source, buffers, sink);
}

}  // namespace

Status check_bmp(std::FILE* in, bool output_seekable, bool tokens, BmpSource& source, BmpReadBuffers& buffers,
                 Facts& facts, const Options& options) {
    std::setvbuf(in, nullptr, _IONBF, 0);  // whole blocks are read straight into the buffers
    const ValueRule rule = value_rule(options);
    source.level = rule.level;
    source.luma = rule.luma;
    std::uint8_t bytes[kHeaderProbeSize] = {};
    // A file that does not start with "BM" is not a BMP, however short: the
    // signature is read alone, so that a pipe that sent only a wrong one is
    // refused without waiting for more.
    std::size_t got = std::fread(bytes, 1, 2, in);
    if (std::ferror(in)) return Status::read_failed;
    if (got == 2 && read_le16(bytes + bmp_field::bfType) != kBmpMagic) return Status::bmp_not_bmp;
    if (got == 2) got += std::fread(bytes + 2, 1, sizeof bytes - 2, in);
    if (std::ferror(in)) return Status::read_failed;
    if (!stream_size(in, facts.file_size)) return Status::read_failed;

    // The file header and biSize, then the whole information header.
    facts.needed_size = bmp_field::biSize + 4;
    if (facts.file_size < facts.needed_size) return Status::bmp_header_truncated;
    const BmpHeader h = decode_bmp_header(bytes);
    facts.info_size = h.info_size;
    facts.pixel_offset = h.pixel_offset;
    if (h.info_size != kCoreHeaderSize && h.info_size < kInfoHeaderSize) return Status::bmp_bad_header_size;
    std::uint64_t headers_end = kFileHeaderSize + static_cast<std::uint64_t>(h.info_size);
    facts.needed_size = headers_end;
    if (facts.file_size < headers_end) return Status::bmp_header_truncated;

    facts.width = h.width;
    facts.height = h.height;
    facts.bit_count = h.bit_count;
    facts.compression = h.compression;
    facts.palette_size = h.colors_used;
    if (const Status s = classify(h, source, facts.format); s != Status::ok) return s;

    if (source.pixels == BmpPixels::masked16 || source.pixels == BmpPixels::masked32) {
        if (h.compression == bmp_compression::rgb) {
            const bool words16 = source.pixels == BmpPixels::masked16;
            source.masks[0] = words16 ? 0x7C00 : 0xFF0000;
            source.masks[1] = words16 ? 0x03E0 : 0x00FF00;
            source.masks[2] = words16 ? 0x001F : 0x0000FF;
        } else {
            std::size_t at = kFileHeaderSize + kRedMaskField;  // the header's own fields
            if (h.info_size < kMasksInHeaderSize) {            // or right after it
                at = static_cast<std::size_t>(headers_end);
                headers_end +=
                    h.compression == bmp_compression::alpha_bitfields ? kAlphaMaskFieldsSize : kMaskFieldsSize;
                facts.needed_size = headers_end;
                if (facts.file_size < headers_end) return Status::bmp_header_truncated;
            }
            for (int i = 0; i < 3; ++i) source.masks[i] = read_le32(bytes + at + 4 * i);
        }
        for (int i = 0; i < 3; ++i)
            if (!mask_threshold(source.masks[i], source.level, source.thresholds[i])) return Status::bmp_bad_masks;
    }

    const bool palette = source.pixels == BmpPixels::indexed || source.pixels == BmpPixels::rle;
    const std::uint64_t palette_start = headers_end;
    std::uint32_t entries = 0;
    const std::size_t entry_size = h.info_size == kCoreHeaderSize ? kCorePaletteEntrySize : kPaletteEntrySize;
    if (palette) {
        const std::uint32_t most = 1u << source.bit_count;
        if (h.colors_used > most) return Status::bmp_bad_palette_size;
        entries = h.colors_used != 0 ? h.colors_used : most;
        headers_end += entries * entry_size;
    }
    facts.needed_size = headers_end;
    if (h.pixel_offset < headers_end) return Status::bmp_bad_pixel_offset;
    if (palette) {
        if (facts.file_size < headers_end) return Status::bmp_palette_truncated;
        if (const Status s = read_palette(in, palette_start, entries, entry_size, source, buffers); s != Status::ok)
            return s;
    }

    if (h.width < 0) return Status::bmp_negative_width;
    if (h.height == INT32_MIN) return Status::bmp_bad_height;
    if (source.pixels == BmpPixels::rle && h.height < 0) return Status::bmp_rle_top_down;
    source.width = h.width;
    source.top_down = h.height < 0;
    source.height = source.top_down ? -h.height : h.height;
    source.pixel_offset = h.pixel_offset;
    source.file_size = facts.file_size;
    source.x_pels_per_metre = h.x_pels_per_metre;
    source.y_pels_per_metre = h.y_pels_per_metre;
    source.stride = bmp_stride(static_cast<std::uint64_t>(h.width), source.bit_count);
    facts.height = source.height;
    facts.needed_size = 0;
    if (const Status s = check_size_for(options, source.width, source.height, facts); s != Status::ok) return s;
    if (source.width == 0 || source.height == 0) return Status::ok;

    if (!tokens) {
        if (const Status s = check_method(options, source.width, source.height, facts); s != Status::ok) return s;
        // The values of an RLE picture are needed top row first, and rows
        // come bottom first: the picture is decoded into indices here.
        if (source.pixels == BmpPixels::rle) {
            if (source.width > kMaxRlePipeWidth || source.height > kMaxRlePipeHeight)
                return Status::bmp_rle_too_large_for_method;
            source.gathered = true;
            return gather_rle_indices(in, source, buffers);
        }
    } else if (source.pixels == BmpPixels::rle) {
        // The stream may end early (unset pixels are index 0), so any length
        // will do. Its text is written at offsets, every one of which must
        // be a file offset: under 2^63 (tokens are under 2^62).
        constexpr std::uint64_t kHeaderRoom = 128;  // the three header lines, with CR LF
        const std::uint64_t pixels =
            static_cast<std::uint64_t>(source.width) * static_cast<std::uint64_t>(source.height);
        facts.needed_size = pixels * kTokenSize + pixels / kTokensPerLine * kStoredLineFeedSize;
        if (output_seekable && facts.needed_size > static_cast<std::uint64_t>(INT64_MAX) - kHeaderRoom)
            return Status::bmp_text_too_large;
        facts.needed_size = 0;
        if (output_seekable) return Status::ok;
        if (source.width > kMaxRlePipeWidth || source.height > kMaxRlePipeHeight) return Status::bmp_rle_too_large;
        source.gathered = true;
        return gather_rle(in, source, buffers);
    }

    // The last row read needs only its pixels, not its padding. Up to
    // 2^33 * 2^31 bytes: sums near 2^64 saturate rather than wrap.
    const std::uint64_t rows_before = static_cast<std::uint64_t>(source.height - 1);
    const std::uint64_t last_row = (static_cast<std::uint64_t>(source.width) * source.bit_count + 7) / 8;
    const std::uint64_t room = UINT64_MAX - source.pixel_offset - last_row;
    facts.needed_size = rows_before != 0 && source.stride > room / rows_before
                            ? UINT64_MAX
                            : source.pixel_offset + source.stride * rows_before + last_row;
    if (facts.file_size < facts.needed_size) return Status::bmp_pixels_truncated;
    return Status::ok;
}

}  // namespace qpbm

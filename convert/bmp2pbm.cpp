// BMP to PBM. The check reads the headers, masks and palette and is the only
// phase that refuses a file; the write turns the stored pixels into text
// through static buffers, so pictures of any size convert in constant memory.
//
// Uncompressed rows are read a block of whole rows at a time (a row larger
// than a block in pieces of whole bytes). One small decoder per variant turns
// a row's bytes into tokens: blue-green-red bytes by the rule, palette indices
// through a table of the tokens of every byte value, masked words by one
// comparison per channel against a threshold worked out from the mask. Each
// block's text is written at once: per-token writes would cost far more than
// the conversion itself.
//
// RLE rows come bottom first, the PBM lists them top first. The text offset
// of pixel i (top row first) is computable, header + 2i + i / 30 line feeds,
// so to a file each decoded row's text is written straight to its place
// (pixels the stream does not set are palette index 0, so every byte of the
// text is written). To a pipe, the check decodes the picture into a one-bit
// image, which the write then lists in order.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "convert/convert.hpp"
#include "convert/stream.hpp"
#include "convert/vector_paths.hpp"
#include "formats/bmp.hpp"

#if QPBM_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

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
                    const BmpSource& source, Bmp2PbmBuffers& buffers) {
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

Status gather_rle(std::FILE* in, const BmpSource& source, Bmp2PbmBuffers& buffers);
Status gather_rle_indices(std::FILE* in, const BmpSource& source, Bmp2PbmBuffers& buffers);

// What a method needs of the picture's size, beyond what every conversion needs.
Status check_method(const Options& options, const BmpSource& source, Facts& facts) {
    const std::uint64_t widest = max_row_width(options);
    if (widest != 0 && static_cast<std::uint64_t>(source.width) > widest) {
        facts.limit = widest;
        return Status::too_wide_for_method;
    }
    const std::uint64_t pixels = static_cast<std::uint64_t>(source.width) * static_cast<std::uint64_t>(source.height);
    if (options.method == Method::otsu && pixels > kMaxOtsuPixels) {
        facts.limit = kMaxOtsuPixels;
        return Status::too_many_pixels;
    }
    return Status::ok;
}

}  // namespace

Status read_bmp_source(std::FILE* in, bool output_seekable, BmpSource& source, Bmp2PbmBuffers& buffers, Facts& facts,
                       const Options& options) {
    std::setvbuf(in, nullptr, _IONBF, 0);  // whole blocks are read straight into the buffers
    source.level = options.method == Method::channels ? options.threshold : kThreshold;
    source.luma = options.method != Method::channels;
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
    source.stride = bmp_stride(static_cast<std::uint64_t>(h.width), source.bit_count);
    facts.height = source.height;
    facts.needed_size = 0;
    if (const Status s = check_size_for(options, source.width, source.height, facts); s != Status::ok) return s;
    if (source.width == 0 || source.height == 0) return Status::ok;

    if (!plain_channels(options)) {
        if (const Status s = check_method(options, source, facts); s != Status::ok) return s;
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
        const std::uint64_t tokens =
            static_cast<std::uint64_t>(source.width) * static_cast<std::uint64_t>(source.height);
        facts.needed_size = tokens * kTokenSize + tokens / kTokensPerLine * kStoredLineFeedSize;
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

// ---- the row decoders --------------------------------------------------------

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

void row_tokens(const BmpSource& source, const Bmp2PbmBuffers& buffers, const std::uint8_t* bytes, std::size_t count,
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

// ---- values for the decision stage --------------------------------------------

namespace {

// Luma with the division by 1000 done as (S div 8) * 33555 >> 22, exact for
// every S up to 255000 and within 32 bits, so that the loop vectorises.
QPBM_LOOP_BODY void luma_by_rule(const std::uint8_t* pixel, std::size_t count, std::uint8_t* value) {
    for (std::size_t x = 0; x < count; ++x, pixel += kBytesPerPixel) {
        const std::uint32_t s = 299u * pixel[2] + 587u * pixel[1] + 114u * pixel[0];
        value[x] = static_cast<std::uint8_t>(((s >> 3) * 33555u) >> 22);
    }
}

QPBM_LOOP_BODY void flags_by_rule(const std::uint8_t* pixel, std::size_t count, std::uint8_t* value, unsigned level) {
    for (std::size_t x = 0; x < count; ++x, pixel += kBytesPerPixel) {
        const bool white = (pixel[0] >= level) & (pixel[1] >= level) & (pixel[2] >= level);
        value[x] = white ? kChannelsWhite : kChannelsBlack;
    }
}

#if QPBM_HAVE_AVX2_PATH
// Luma of 32 pixels a step, as luma_by_rule computes it. The compiler's own
// vectorisation of the rule widens every channel to 32 bits and multiplies
// each apart; here one shuffle puts blue and green side by side in each
// pixel's 32-bit lane and one multiply-add weighs both, another weighs red,
// and the division runs on sixteen 16-bit lanes (S / 8 < 2^15).

// S / 8 of 8 pixels: 0-3 in the low 128-bit lane, 4-7 in the high one, each
// lane from the first 12 of the 16 bytes it loads.
QPBM_TARGET_AVX2 inline __m256i luma_eighths(const std::uint8_t* p) {
    const __m256i blue_green = _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1,  //
                                                0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1);
    const __m256i red = _mm256_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1,  //
                                         2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
    const __m256i v =
        _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 12), reinterpret_cast<const __m128i*>(p));
    const __m256i s =
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi8(v, blue_green), _mm256_set1_epi32(114 | 587 << 16)),
                         _mm256_madd_epi16(_mm256_shuffle_epi8(v, red), _mm256_set1_epi32(299)));
    return _mm256_srli_epi32(s, 3);
}

// Y of 16 pixels from their S / 8: (S / 8 * 33555) >> 22.
QPBM_TARGET_AVX2 inline __m256i luma_of_eighths(__m256i eighths) {
    return _mm256_srli_epi16(_mm256_mulhi_epu16(eighths, _mm256_set1_epi16(static_cast<short>(33555))), 6);
}

QPBM_TARGET_AVX2 void luma_avx2(const std::uint8_t* pixel, std::size_t count, std::uint8_t* value) {
    // The packs work within lanes, leaving groups of four pixels in the
    // order 0, 2, 4, 6 | 1, 3, 5, 7; one permutation puts them back.
    const __m256i in_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    std::size_t x = 0;
    // The last load of a step reads 4 bytes past its 96: stop 34 pixels short.
    for (; x + 34 <= count; x += 32) {
        const std::uint8_t* p = pixel + 3 * x;
        const __m256i first = luma_of_eighths(_mm256_packus_epi32(luma_eighths(p), luma_eighths(p + 24)));
        const __m256i second = luma_of_eighths(_mm256_packus_epi32(luma_eighths(p + 48), luma_eighths(p + 72)));
        const __m256i y = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(first, second), in_order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(value + x), y);
    }
    luma_by_rule(pixel + 3 * x, count - x, value + x);
}
#endif

QPBM_TARGET_AVX2 void bgr_values_avx2(const std::uint8_t* pixels, std::size_t count, std::uint8_t* values, bool luma,
                                      unsigned level) {
    if (luma)
#if QPBM_HAVE_AVX2_PATH
        luma_avx2(pixels, count, values);
#else
        luma_by_rule(pixels, count, values);
#endif
    else
        flags_by_rule(pixels, count, values, level);
}

void bgr_values_portable(const std::uint8_t* pixels, std::size_t count, std::uint8_t* values, bool luma,
                         unsigned level) {
    if (luma)
        luma_by_rule(pixels, count, values);
    else
        flags_by_rule(pixels, count, values, level);
}

// Masked words: the channels rule compares the masked bits as the token
// path does; luma takes each channel to 8 bits first.
template <unsigned Bytes>
void masked_values(const std::uint8_t* word, std::size_t count, const BmpSource& source, std::uint8_t* value) {
    unsigned shift[3], bits[3];
    for (int c = 0; c < 3; ++c) {
        shift[c] = static_cast<unsigned>(std::countr_zero(source.masks[c]));
        bits[c] = static_cast<unsigned>(std::popcount(source.masks[c]));
    }
    for (std::size_t x = 0; x < count; ++x, word += Bytes) {
        const std::uint32_t v = Bytes == 2 ? read_le16(word) : read_le32(word);
        if (source.luma) {
            unsigned c8[3];
            for (int c = 0; c < 3; ++c) c8[c] = channel_to_8bit((v & source.masks[c]) >> shift[c], bits[c]);
            value[x] = static_cast<std::uint8_t>(luma(c8[2], c8[1], c8[0]));
        } else {
            bool white = true;
            for (int c = 0; c < 3; ++c) white &= (v & source.masks[c]) >= source.thresholds[c];
            value[x] = white ? kChannelsWhite : kChannelsBlack;
        }
    }
}

// Palette indices of `Bits` each, the leftmost in the highest bits.
template <unsigned Bits>
void indexed_values(const std::uint8_t* table, const std::uint8_t* bytes, std::size_t count, std::uint8_t* value) {
    constexpr unsigned per_byte = 8 / Bits;
    constexpr unsigned mask = (1u << Bits) - 1;
    for (std::size_t x = 0; x < count; ++x) {
        const unsigned k = static_cast<unsigned>(x % per_byte);
        value[x] = table[(bytes[x / per_byte] >> (8 - Bits * (k + 1))) & mask];
    }
}

}  // namespace

void row_values(const BmpSource& source, const Bmp2PbmBuffers& buffers, const std::uint8_t* bytes, std::size_t count,
                std::uint8_t* values) {
    switch (source.pixels) {
        case BmpPixels::bgr24:
            if (use_avx2_path())
                bgr_values_avx2(bytes, count, values, source.luma, source.level);
            else
                bgr_values_portable(bytes, count, values, source.luma, source.level);
            return;
        case BmpPixels::masked16: masked_values<2>(bytes, count, source, values); return;
        case BmpPixels::masked32: masked_values<4>(bytes, count, source, values); return;
        case BmpPixels::rle: indexed_values<8>(buffers.palette_values, bytes, count, values); return;
        case BmpPixels::indexed: break;
    }
    switch (source.bit_count) {
        case 1: indexed_values<1>(buffers.palette_values, bytes, count, values); return;
        case 2: indexed_values<2>(buffers.palette_values, bytes, count, values); return;
        case 4: indexed_values<4>(buffers.palette_values, bytes, count, values); return;
        default: indexed_values<8>(buffers.palette_values, bytes, count, values); return;
    }
}

// ---- RLE ---------------------------------------------------------------------

namespace {

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

Status decode_rle(std::FILE* in, const BmpSource& source, Bmp2PbmBuffers& buffers, auto& sink) {
    // A stream that would start past the end of the file is empty, every
    // pixel unset, whether or not the stream can seek there.
    const bool empty = source.pixel_offset >= source.file_size;
    if (!empty && !seek_to(in, source.pixel_offset)) return Status::read_failed;
    BlockReader reader(in, buffers.rows, empty);
    RleDecoder decoder(source, buffers.indices, sink);
    return decoder.run(reader);
}

// To a pipe: the picture as one bit per pixel, set for white, top row first.
Status gather_rle(std::FILE* in, const BmpSource& source, Bmp2PbmBuffers& buffers) {
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
Status gather_rle_indices(std::FILE* in, const BmpSource& source, Bmp2PbmBuffers& buffers) {
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

// ---- the write ---------------------------------------------------------------

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

// "P1", the comment, and "<width> <height>" in signed decimal, each ending
// in a line feed; returns the length.
std::size_t format_header(char* text, std::int32_t width, std::int32_t height, const char* start = kPbmHeaderStart) {
    char* p = text;
    for (const char* s = start; *s != '\0'; ++s) *p++ = *s;
    auto number = [&p](std::int32_t value) {
        std::int64_t v = value;
        if (v < 0) {
            *p++ = '-';
            v = -v;
        }
        char digits[12];
        int n = 0;
        do digits[n++] = static_cast<char>('0' + v % 10);
        while ((v /= 10) != 0);
        while (n > 0) *p++ = digits[--n];
    };
    number(width);
    *p++ = ' ';
    number(height);
    *p++ = '\n';
    return static_cast<std::size_t>(p - text);
}

// Hands every piece of every uncompressed row to piece(y, first, bytes,
// count), top row first, and calls block_done() after each read. A row is one
// piece when it fits a block; a wider one comes in pieces of whole bytes,
// each starting at a multiple of 8 pixels. Either callback returns false to
// stop with a write error.
template <class Piece, class BlockDone>
Status for_each_piece(std::FILE* in, const BmpSource& source, Bmp2PbmBuffers& buffers, Piece&& piece,
                      BlockDone&& block_done) {
    const std::size_t width = static_cast<std::size_t>(source.width);
    const std::size_t height = static_cast<std::size_t>(source.height);
    const std::uint64_t stride = source.stride;
    const std::size_t bits = source.bit_count;

    if (stride <= kRowBlockSize && width <= kBlockPixelsMax) {
        // Picture rows [top, top + rows), counted from the top, come from the
        // stored rows [low, low + rows): the same rows in a top-down file, the
        // mirrored ones in a bottom-up file, which is thus read from its end.
        const std::size_t row_stride = static_cast<std::size_t>(stride);
        const std::size_t row_bytes = (width * bits + 7) / 8;
        const std::size_t rows_per_block =
            std::max<std::size_t>(1, std::min(kRowBlockSize / row_stride, kBlockPixelsMax / width));
        for (std::size_t top = 0; top < height; top += rows_per_block) {
            const std::size_t rows = std::min(rows_per_block, height - top);
            const std::size_t low = source.top_down ? top : height - top - rows;
            // The last row read needs its pixels but not its padding.
            const std::size_t bytes = (rows - 1) * row_stride + row_bytes;
            if (!seek_to(in, source.pixel_offset + static_cast<std::uint64_t>(low) * stride) ||
                std::fread(buffers.rows, 1, bytes, in) != bytes)
                return Status::read_failed;  // the size was checked, so the file changed or failed
            for (std::size_t i = 0; i < rows; ++i) {
                const std::size_t stored = source.top_down ? i : rows - 1 - i;
                if (!piece(top + i, std::size_t{0}, buffers.rows + stored * row_stride, width))
                    return Status::write_failed;
            }
            if (!block_done()) return Status::write_failed;
        }
        return Status::ok;
    }

    // A row larger than a block: pieces of whole bytes, as many pixels as
    // both the block and the text hold (a multiple of 8, so that every piece
    // starts on a byte).
    const std::size_t piece_pixels = std::min(kBlockPixelsMax, kRowBlockSize * 8 / bits) / 8 * 8;
    for (std::size_t top = 0; top < height; ++top) {
        const std::uint64_t stored = source.top_down ? top : height - 1 - top;
        for (std::size_t first = 0; first < width; first += piece_pixels) {
            const std::size_t count = std::min(piece_pixels, width - first);
            const std::size_t bytes = (count * bits + 7) / 8;
            const std::uint64_t at =
                source.pixel_offset + stored * stride + static_cast<std::uint64_t>(first) / 8 * bits;
            if (!seek_to(in, at) || std::fread(buffers.rows, 1, bytes, in) != bytes) return Status::read_failed;
            if (!piece(top, first, buffers.rows, count) || !block_done()) return Status::write_failed;
        }
    }
    return Status::ok;
}

// Uncompressed rows, for a picture of at least one pixel.
Status write_rows(std::FILE* in, const BmpSource& source, std::FILE* out, Bmp2PbmBuffers& buffers) {
    std::size_t line_tokens = 0;
    char* text = buffers.text;
    auto piece = [&](std::size_t, std::size_t, const std::uint8_t* bytes, std::size_t count) {
        row_tokens(source, buffers, bytes, count, buffers.tokens);
        text = break_lines(buffers.tokens, count, text, line_tokens);
        return true;
    };
    auto block_done = [&] {
        const std::size_t length = static_cast<std::size_t>(text - buffers.text);
        text = buffers.text;
        return std::fwrite(buffers.text, 1, length, out) == length;
    };
    return for_each_piece(in, source, buffers, piece, block_done);
}

// The text of an RLE picture to a file, pieces of rows at the offsets their
// pixels have in the PBM. Rows come bottom first, so pieces that precede each
// other in the file are gathered from the end of the text buffer backwards
// and written with one seek.
class PlacedText {
public:
    PlacedText(std::FILE* out, std::uint64_t header_size, Bmp2PbmBuffers& buffers)
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
    Bmp2PbmBuffers& buffers_;
    bool held_ = false;
    std::uint64_t held_first_ = 0;  // the first pixel of the text held
    std::size_t start_ = 0;         // where that text starts in buffers_.text
};

Status write_rle_placed(std::FILE* in, const BmpSource& source, std::FILE* out, std::uint64_t header_size,
                        Bmp2PbmBuffers& buffers) {
    const std::uint64_t width = static_cast<std::uint64_t>(source.width);
    const std::uint64_t height = static_cast<std::uint64_t>(source.height);
    PlacedText text(out, header_size, buffers);
    auto sink = [&](std::size_t row, std::size_t first, const std::uint8_t* indices, std::size_t count) {
        row_tokens(source, buffers, indices, count, buffers.tokens);
        return text.place((height - 1 - row) * width + first, buffers.tokens, count);
    };
    const Status status = decode_rle(in, source, buffers, sink);
    if (status != Status::ok) return status;
    return text.flush() ? Status::ok : Status::write_failed;
}

// The text of the image an RLE picture was gathered into, in order.
Status write_rle_gathered(const BmpSource& source, std::FILE* out, Bmp2PbmBuffers& buffers) {
    const std::size_t total = static_cast<std::size_t>(source.width) * static_cast<std::size_t>(source.height);
    std::size_t line_tokens = 0;
    for (std::size_t first = 0; first < total; first += kBlockPixelsMax) {
        const std::size_t count = std::min(kBlockPixelsMax, total - first);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t p = first + i;
            buffers.tokens[kTokenSize * i] = (buffers.image[p / 8] >> (p % 8)) & 1 ? kWhiteChar : kBlackChar;
            buffers.tokens[kTokenSize * i + 1] = kTokenSeparator;
        }
        const char* end = break_lines(buffers.tokens, count, buffers.text, line_tokens);
        const std::size_t length = static_cast<std::size_t>(end - buffers.text);
        if (std::fwrite(buffers.text, 1, length, out) != length) return Status::write_failed;
    }
    return Status::ok;
}

// ---- the bit path: values, decisions, and a PBM encoder ----------------------

// The tokens of the eight pixels of a byte of bits, the highest bit first.
struct BitTokens {
    char tokens[256][8 * kTokenSize];
};

constexpr BitTokens make_bit_tokens() {
    BitTokens t{};
    for (unsigned byte = 0; byte < 256; ++byte)
        for (unsigned k = 0; k < 8; ++k) {
            t.tokens[byte][kTokenSize * k] = (byte >> (7 - k)) & 1 ? kBlackChar : kWhiteChar;
            t.tokens[byte][kTokenSize * k + 1] = kTokenSeparator;
        }
    return t;
}

constexpr BitTokens kBitTokens = make_bit_tokens();

// Bits to a PBM, through the text buffer: raw rows of ceil(width / 8) bytes,
// or plain tokens with a line feed after every 30th. Pieces of a row come in
// order, each but the last a multiple of 8 pixels.
class PbmBitWriter final : public BitRowSink {
public:
    PbmBitWriter(std::FILE* out, bool raw, Bmp2PbmBuffers& buffers) : out_(out), raw_(raw), b_(buffers) {}

    bool header(std::int32_t width, std::int32_t height) {
        used_ = format_header(b_.text, width, height, raw_ ? kRawPbmHeaderStart : kPbmHeaderStart);
        return true;
    }

    bool put(const std::uint8_t* bits, std::size_t count) {
        if (raw_) {
            const std::size_t bytes = (count + 7) / 8;  // at most kMaxRowMethodWidth / 8, well within the text
            if (used_ + bytes > kBlockTextSize && !flush()) return false;
            std::memcpy(b_.text + used_, bits, bytes);
            used_ += bytes;
            return true;
        }
        constexpr std::size_t kChunk = 8192;  // pixels turned into tokens at once
        for (std::size_t done = 0; done < count; done += kChunk) {
            const std::size_t n = std::min(kChunk, count - done);
            const std::uint8_t* chunk = bits + done / 8;
            for (std::size_t i = 0; i < (n + 7) / 8; ++i)
                std::memcpy(b_.tokens + i * 8 * kTokenSize, kBitTokens.tokens[chunk[i]], 8 * kTokenSize);
            const std::size_t most = n * kTokenSize + n / kTokensPerLine + 1;
            if (used_ + most > kBlockTextSize && !flush()) return false;
            used_ = static_cast<std::size_t>(break_lines(b_.tokens, n, b_.text + used_, line_tokens_) - b_.text);
        }
        return true;
    }

    bool row(const std::uint8_t* bits, std::size_t width) override { return put(bits, width); }

    bool flush() {
        const bool written = std::fwrite(b_.text, 1, used_, out_) == used_;
        used_ = 0;
        return written;
    }

private:
    std::FILE* out_;
    bool raw_;
    Bmp2PbmBuffers& b_;
    std::size_t used_ = 0;
    std::size_t line_tokens_ = 0;
};

// Hands the values of every piece of every row, top row first, to
// consume(y, first, values, count). Whole-row methods get each piece at its
// place in a row of values; the others each piece alone.
template <class Consume>
Status for_each_values(std::FILE* in, const BmpSource& source, Bmp2PbmBuffers& buffers, bool whole_rows,
                       Consume&& consume) {
    std::uint8_t* const values = buffers.method.values;
    if (source.gathered) {  // RLE: the indices, top row first
        const std::size_t width = static_cast<std::size_t>(source.width);
        for (std::size_t y = 0; y < static_cast<std::size_t>(source.height); ++y) {
            row_values(source, buffers, buffers.rle_indices + y * width, width, values);
            if (!consume(y, std::size_t{0}, values, width)) return Status::write_failed;
        }
        return Status::ok;
    }
    auto piece = [&](std::size_t y, std::size_t first, const std::uint8_t* bytes, std::size_t count) {
        std::uint8_t* at = whole_rows ? values + first : values;
        row_values(source, buffers, bytes, count, at);
        return consume(y, first, at, count);
    };
    return for_each_piece(in, source, buffers, piece, [] { return true; });
}

// Any method, any PBM, for a picture of at least one pixel.
Status write_decided(std::FILE* in, const BmpSource& source, const Options& options, Bmp2PbmBuffers& buffers,
                     PbmBitWriter& writer) {
    const std::size_t width = static_cast<std::size_t>(source.width);
    const std::size_t height = static_cast<std::size_t>(source.height);
    MethodBuffers& m = buffers.method;
    int otsu = -1;
    if (options.method == Method::otsu) {
        std::memset(m.histogram, 0, sizeof m.histogram);
        const Status status = for_each_values(
            in, source, buffers, false, [&](std::size_t, std::size_t, const std::uint8_t* values, std::size_t count) {
                add_to_histogram(values, count, m);
                return true;
            });
        if (status != Status::ok) return status;
        otsu = otsu_threshold(m.histogram);
    }
    Decider decider(options, width, height, otsu, m);
    const bool whole = decider.whole_rows();
    return for_each_values(in, source, buffers, whole,
                           [&](std::size_t y, std::size_t first, const std::uint8_t* values, std::size_t count) {
                               if (whole) return first + count < width || decider.push_row(m.values, writer);
                               decider.decide(y, first, values, count, m.bits);
                               return writer.put(m.bits, count);
                           });
}

}  // namespace

Status write_pbm(std::FILE* in, const BmpSource& source, bool output_seekable, Bmp2PbmBuffers& buffers, std::FILE* out,
                 const Options& options) {
    (void)output_seekable;  // the check chose: an RLE picture for a pipe was gathered
    if (!plain_channels(options)) {
        PbmBitWriter writer(out, options.raw, buffers);
        writer.header(source.width, source.height);
        if (source.width > 0 && source.height > 0) {
            const Status status = write_decided(in, source, options, buffers, writer);
            if (status != Status::ok) return status;
        }
        if (!writer.flush()) return Status::write_failed;
        return std::fflush(out) == 0 && !std::ferror(out) ? Status::ok : Status::write_failed;
    }
    char header[64];
    const std::size_t header_length = format_header(header, source.width, source.height);
    if (std::fwrite(header, 1, header_length, out) != header_length) return Status::write_failed;
    if (source.width > 0 && source.height > 0) {
        Status status = Status::ok;
        if (source.pixels != BmpPixels::rle) {
            status = write_rows(in, source, out, buffers);
        } else if (source.gathered) {
            status = write_rle_gathered(source, out, buffers);
        } else {
            constexpr std::size_t kHeaderLineFeeds = 3;
            status = write_rle_placed(in, source, out, header_length + kHeaderLineFeeds * (kStoredLineFeedSize - 1),
                                      buffers);
        }
        if (status != Status::ok) return status;
    }
    return std::fflush(out) == 0 && !std::ferror(out) ? Status::ok : Status::write_failed;
}

}  // namespace qpbm

// PBM to BMP. The PBM lists rows top first and the BMP stores them bottom
// first. Every row's place in the BMP is known from the header, so a regular
// file takes each block of rows at its place as the rows arrive: any size
// converts in constant memory. An output that cannot seek must be written in
// order, so the check gathers the picture in the one-bit image buffer first.
//
// The input goes through the input buffer unbuffered: the header in small
// reads, so that a refusal reads little more than the byte that decides it,
// then the pixels a block at a time.
#include <algorithm>
#include <cstring>

#include "convert/convert.hpp"
#include "convert/stream.hpp"
#include "formats/bmp.hpp"

namespace qpbm {

namespace {

// ---- The input --------------------------------------------------------------

// Bytes [begin, end) of the block are read and not yet used.
struct Input {
    std::FILE* in;
    char* block;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool ended = false;   // nothing follows `end`: the input ended or failed
    bool failed = false;  // a read error
};

// Moves the unused bytes to the front and reads up to `want` more after them.
void refill(Input& input, std::size_t want) {
    const std::size_t kept = input.end - input.begin;
    if (input.begin > 0) std::memmove(input.block, input.block + input.begin, kept);
    input.begin = 0;
    input.end = kept;
    want = std::min(want, kPbmBlockSize - kept);
    const std::size_t got = std::fread(input.block + kept, 1, want, input.in);
    input.end += got;
    if (got < want) {
        input.ended = true;
        input.failed = std::ferror(input.in) != 0;
    }
}

// ---- The header -----------------------------------------------------------

constexpr int kEnd = -1;
// Header reads take the magic a byte at a time, so that a pipe that sent
// only a wrong first byte is refused without waiting for more; then they
// double up to the largest, so that a long header takes few reads.
constexpr std::size_t kFirstHeaderRead = 1;
constexpr std::size_t kLargestHeaderRead = 4096;

struct HeaderReader {
    Input& input;
    std::size_t read_size = kFirstHeaderRead;
    std::size_t used = 0;  // header bytes taken
};

// The next byte, not taken; kEnd at the end of the input or on a read error.
int peek(HeaderReader& h) {
    Input& input = h.input;
    if (input.begin == input.end && !input.ended) {
        refill(input, h.read_size);
        if (h.used >= 2) h.read_size = std::min(h.read_size * 2, kLargestHeaderRead);
    }
    return input.begin < input.end ? static_cast<unsigned char>(input.block[input.begin]) : kEnd;
}

// Takes the byte peek() gave; false when the header would pass its limit.
bool take(HeaderReader& h) {
    if (h.used == kPbmHeaderMax) return false;
    ++h.used;
    ++h.input.begin;
    return true;
}

Status end_status(const HeaderReader& h) { return h.input.failed ? Status::read_failed : Status::pbm_header_truncated; }

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Skips white space and comments; `skipped` tells whether there were any.
Status skip_separators(HeaderReader& h, bool& skipped) {
    skipped = false;
    bool in_comment = false;
    for (int c; (c = peek(h)) != kEnd;) {
        if (in_comment)
            in_comment = !ends_pbm_comment(c);
        else if (c == kPbmCommentStart)
            in_comment = true;
        else if (!is_pbm_space(c))
            return Status::ok;
        if (!take(h)) return Status::pbm_header_too_long;
        skipped = true;
    }
    return h.input.failed ? Status::read_failed : Status::ok;
}

// An unsigned decimal number; stops before the first byte that is not a digit.
Status read_number(HeaderReader& h, std::int64_t& value) {
    int c = peek(h);
    if (c == kEnd) return end_status(h);
    if (c == '+' || c == '-') return Status::pbm_signed_number;
    if (!is_digit(c)) return Status::pbm_bad_header_char;
    value = 0;
    for (; is_digit(c); c = peek(h)) {
        if (!take(h)) return Status::pbm_header_too_long;
        value = value * 10 + (c - '0');
        if (value > kPbmDimensionMax) return Status::pbm_number_too_large;
    }
    return c == kEnd && h.input.failed ? Status::read_failed : Status::ok;
}

// The magic, the width and the height: see formats/pbm.hpp. Leaves the input
// at the first byte of the pixels.
Status read_header(Input& input, PbmSource& source, Facts& facts) {
    HeaderReader h{input};
    int c = peek(h);
    if (c != kPbmMagicStart || !take(h)) return c == kEnd && input.failed ? Status::read_failed : Status::pbm_bad_magic;
    c = peek(h);
    if ((c != kPbmPlainKind && c != kPbmRawKind) || !take(h))
        return c == kEnd && input.failed ? Status::read_failed : Status::pbm_bad_magic;
    source.raw = c == kPbmRawKind;
    facts.format = source.raw ? "PBM, raw" : "PBM, plain";

    std::int64_t numbers[2] = {};
    for (std::int64_t& number : numbers) {
        bool separated = false;
        Status status = skip_separators(h, separated);
        if (status != Status::ok) return status;
        if (!separated) return peek(h) == kEnd ? end_status(h) : Status::pbm_bad_header_char;
        status = read_number(h, number);
        if (status != Status::ok) return status;
        if (&number == &numbers[0]) facts.width = number;
    }
    facts.height = numbers[1];

    // The raw pixels start after exactly one white-space byte; a file that
    // ends here has no pixels, which are all black.
    if (source.raw) {
        c = peek(h);
        if (c == kEnd && input.failed) return Status::read_failed;
        if (c != kEnd && !is_pbm_space(c)) return Status::pbm_no_raster_separator;
        if (c != kEnd && !take(h)) return Status::pbm_header_too_long;
    }
    source.width = static_cast<std::int32_t>(numbers[0]);
    source.height = static_cast<std::int32_t>(numbers[1]);
    return Status::ok;
}

// ---- The pixels -------------------------------------------------------------
//
// Both readers give the next `count` pixels as bits of the image (set for
// white, lowest bit first) in bits[0, ceil(count / 8)); pixels the input does
// not reach are black. They return false on a read error.

// What a byte of a plain PBM's pixels is.
enum ByteKind : std::uint8_t { kBlackPixel, kWhitePixel, kSpace, kComment };

struct KindTable {
    ByteKind kind[256];
};

constexpr KindTable make_kind_table() {
    KindTable table{};
    for (int c = 0; c < 256; ++c)
        table.kind[c] = c == kWhiteChar         ? kWhitePixel
                        : is_pbm_space(c)       ? kSpace
                        : c == kPbmCommentStart ? kComment
                                                : kBlackPixel;
    return table;
}

constexpr KindTable kKinds = make_kind_table();

// Little-endian loads, assembled from bytes (compilers make each one load).
std::uint64_t load_le64(const char* p) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}

std::uint32_t load_le32(const char* p) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}

// A full line of the layout this library writes: 30 tokens, each '0' or '1'
// and a space, then LF or CR LF.
constexpr std::size_t kOwnLineLength = kTokensPerLine * kTokenSize + 1;
constexpr std::size_t kOwnLineLookahead = kOwnLineLength + 1;

// The length of the own-layout line at p (0 when it is not one), checked and
// read eight bytes at a time, and the white bits of its 30 pixels.
std::size_t own_line(const char* p, std::size_t available, std::uint32_t& white) {
    if (available < kOwnLineLength) return 0;
    // Four tokens per word: odd bytes spaces, even bytes '0' (0x30) or '1' (0x31).
    constexpr std::uint64_t kShapeMask = 0xFFFEFFFEFFFEFFFEu;
    constexpr std::uint64_t kShape = 0x2030203020302030u;
    constexpr std::uint64_t kLowBits = 0x0001000100010001u;
    // Moves bits 0, 16, 32 and 48 to bits 48 to 51, with no carries between terms.
    constexpr std::uint64_t kGather = (1ull << 48) | (1ull << 33) | (1ull << 18) | (1ull << 3);
    std::uint64_t bad = 0;
    std::uint32_t black = 0;
    for (unsigned word = 0; word < 7; ++word) {
        const std::uint64_t w = load_le64(p + 8 * word);
        bad |= (w & kShapeMask) ^ kShape;
        black |= static_cast<std::uint32_t>(((w & kLowBits) * kGather) >> 48 & 0xF) << (4 * word);
    }
    const std::uint32_t last = load_le32(p + 56);  // tokens 28 and 29
    bad |= (last & 0xFFFEFFFEu) ^ 0x20302030u;
    black |= ((last & 1) | (last >> 15 & 2)) << 28;
    if (bad != 0) return 0;
    white = ~black & ((1u << kTokensPerLine) - 1);
    if (p[60] == '\n') return kOwnLineLength;
    if (p[60] == '\r' && available > kOwnLineLength && p[61] == '\n') return kOwnLineLength + 1;
    return 0;
}

struct PlainRaster {
    Input input;
    bool in_comment = false;
    // Pixels of an own-layout line past the end of the last request, lowest first.
    std::uint32_t pending = 0;
    std::size_t pending_count = 0;
};

constexpr std::uint64_t low_bits(std::size_t n) { return n >= 64 ? ~0ull : (1ull << n) - 1; }

void store_le64(std::uint8_t* p, std::uint64_t v) {
    for (unsigned i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Whole own-layout lines go 30 pixels at once; anything else a byte at a
// time up to the next line feed, where the fast way is tried again.
bool plain_bits(PlainRaster& r, std::size_t count, std::uint8_t* bits) {
    Input& input = r.input;
    std::size_t done = 0;   // pixels stored in bits, a multiple of 8
    std::uint64_t acc = 0;  // white bits of the pixels after those
    std::size_t n = std::min(r.pending_count, count);
    acc = r.pending & low_bits(n);
    r.pending = static_cast<std::uint32_t>(static_cast<std::uint64_t>(r.pending) >> n);
    r.pending_count -= n;

    while (done + n < count) {
        for (; n >= 8; n -= 8, done += 8, acc >>= 8) bits[done / 8] = static_cast<std::uint8_t>(acc);
        if (input.end - input.begin < kOwnLineLookahead && !input.ended) {
            refill(input, kPbmBlockSize);
            if (input.failed) return false;
        }
        if (input.begin == input.end) break;

        std::uint32_t white = 0;
        const std::size_t line = r.in_comment ? 0 : own_line(input.block + input.begin, input.end - input.begin, white);
        if (line != 0) {
            const std::size_t wanted = count - done - n;
            const std::size_t used = std::min(wanted, kTokensPerLine);
            acc |= (white & low_bits(used)) << n;
            n += used;
            r.pending = static_cast<std::uint32_t>(static_cast<std::uint64_t>(white) >> used);
            r.pending_count = kTokensPerLine - used;
            input.begin += line;
            continue;
        }

        std::size_t i = input.begin;
        bool line_ended = false;
        while (i < input.end && done + n < count && !line_ended) {
            const unsigned char c = static_cast<unsigned char>(input.block[i++]);
            if (r.in_comment) {
                r.in_comment = !ends_pbm_comment(c);
                line_ended = c == '\n';
                continue;
            }
            switch (kKinds.kind[c]) {
                case kWhitePixel: acc |= 1ull << n; [[fallthrough]];
                case kBlackPixel:
                    if (++n == 64) {
                        store_le64(bits + done / 8, acc);
                        acc = 0;
                        n = 0;
                        done += 64;
                    }
                    break;
                case kComment: r.in_comment = true; break;
                case kSpace: line_ended = c == '\n'; break;
            }
        }
        input.begin = i;
    }

    std::size_t byte = done / 8;
    for (; n > 0; n = n > 8 ? n - 8 : 0, acc >>= 8) bits[byte++] = static_cast<std::uint8_t>(acc);
    std::memset(bits + byte, 0, (count + 7) / 8 - byte);
    return true;
}

// Bit i of a raw PBM byte (counted from the most significant) is pixel i,
// set for black; in the image, bit i (from the least significant) is set for white.
struct RawTable {
    std::uint8_t white[256];
};

constexpr RawTable make_raw_table() {
    RawTable table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned bits = 0;
        for (unsigned i = 0; i < 8; ++i)
            if (!(byte & (0x80u >> i))) bits |= 1u << i;
        table.white[byte] = static_cast<std::uint8_t>(bits);
    }
    return table;
}

constexpr RawTable kRaw = make_raw_table();

// `count` is a whole row, or a multiple of 8 pixels of one.
bool raw_bits(Input& input, std::size_t count, std::uint8_t* bits) {
    const std::size_t bytes = (count + 7) / 8;
    std::size_t done = 0;
    while (done < bytes) {
        if (input.begin == input.end) {
            if (input.ended) break;
            refill(input, kPbmBlockSize);
            if (input.failed) return false;
            continue;
        }
        const std::size_t n = std::min(bytes - done, input.end - input.begin);
        const auto* raw = reinterpret_cast<const unsigned char*>(input.block + input.begin);
        for (std::size_t i = 0; i < n; ++i) bits[done + i] = kRaw.white[raw[i]];
        done += n;
        input.begin += n;
    }
    std::memset(bits + done, 0, bytes - done);
    return true;
}

// Either reader, as the source says.
struct Raster {
    PlainRaster plain;
    bool raw;
    bool bits(std::size_t count, std::uint8_t* out) {
        return raw ? raw_bits(plain.input, count, out) : plain_bits(plain, count, out);
    }
};

Raster raster_after_header(std::FILE* in, const PbmSource& source, Pbm2BmpBuffers& buffers) {
    Raster r{{Input{in, buffers.input, source.buffered_begin, source.buffered_end, source.input_ended, false}},
             source.raw};
    return r;
}

// Pixel bytes of eight pixels for each byte of the image: bit j set makes
// bytes 3j to 3j + 2 white.
struct ExpandTable {
    std::uint8_t pixels[256][8 * kBytesPerPixel];
};

constexpr ExpandTable make_expand_table() {
    ExpandTable table{};
    for (unsigned byte = 0; byte < 256; ++byte)
        for (unsigned bit = 0; bit < 8; ++bit)
            for (unsigned c = 0; c < kBytesPerPixel; ++c)
                table.pixels[byte][bit * kBytesPerPixel + c] = (byte >> bit) & 1 ? 0xFF : 0x00;
    return table;
}

constexpr ExpandTable kExpand = make_expand_table();

std::uint8_t* image_row(Pbm2BmpBuffers& buffers, std::uint64_t stored_row) {
    return buffers.image + stored_row * kImageRowPitch;
}

// ---- Writing ----------------------------------------------------------------

// The BMP written: 24 bits per pixel after 54 header bytes, or 1 bit after
// 62 (the headers and a two-colour palette).
struct BmpLayout {
    unsigned bits;
    std::uint64_t header_size;
    std::uint64_t stride;

    BmpLayout(unsigned bmp_bits, std::uint64_t width)
        : bits(bmp_bits),
          header_size(bmp_bits == 1 ? kBilevelHeadersSize : kHeadersSize),
          stride(bmp_stride(width, bmp_bits)) {}

    std::size_t bytes_of(std::size_t pixels) const { return bits == 1 ? (pixels + 7) / 8 : pixels * kBytesPerPixel; }
};

// The stored bytes of `count` pixels of the image's bits: three bytes each,
// or one bit each with the bits past `count` in the last byte clear.
void stored_pixels(const BmpLayout& layout, const std::uint8_t* bits, std::size_t count, std::uint8_t* out) {
    if (layout.bits != 1) {
        expand_bits(bits, count, out);
        return;
    }
    const std::size_t bytes = (count + 7) / 8;
    // The raw PBM table reverses a byte's bits and flips them; flipped first,
    // the image bits come out reversed alone: the leftmost pixel highest, set white.
    for (std::size_t i = 0; i < bytes; ++i) out[i] = kRaw.white[bits[i] ^ 0xFFu];
    if (count % 8 != 0) out[bytes - 1] &= static_cast<std::uint8_t>(0xFF00u >> (count % 8));
}

bool write_all(std::FILE* out, const std::uint8_t* bytes, std::size_t size) {
    return std::fwrite(bytes, 1, size, out) == size;
}

// One stored row from bits: the pixels, then zero padding up to the stride.
void stored_row(const BmpLayout& layout, const std::uint8_t* bits, std::size_t width, std::uint8_t* row) {
    stored_pixels(layout, bits, width, row);
    const std::size_t used = layout.bytes_of(width);
    std::memset(row + used, 0, static_cast<std::size_t>(layout.stride) - used);
}

// The gathered picture, bottom row first, a block of rows per write.
Status write_gathered(const PbmSource& source, const BmpLayout& layout, Pbm2BmpBuffers& buffers, std::FILE* out) {
    const std::size_t width = static_cast<std::size_t>(source.width);
    const std::size_t height = static_cast<std::size_t>(source.height);
    const std::size_t stride = static_cast<std::size_t>(layout.stride);
    const std::size_t rows_per_block = kBmpBlockSize / stride;
    for (std::size_t row = 0; row < height;) {
        const std::size_t n = std::min(rows_per_block, height - row);
        for (std::size_t k = 0; k < n; ++k)
            stored_row(layout, image_row(buffers, row + k), width, buffers.block + k * stride);
        if (!write_all(out, buffers.block, n * stride)) return Status::write_failed;
        row += n;
    }
    return Status::ok;
}

// Rows as they arrive, top first, each at its place: header + (height - 1 -
// y) * stride. Consecutive rows make one block, written in one piece, the
// first of them at its end; a row wider than a block goes in pieces.
Status write_placed(Raster& raster, const PbmSource& source, const BmpLayout& layout, Pbm2BmpBuffers& buffers,
                    std::FILE* out) {
    const std::uint64_t width = static_cast<std::uint64_t>(source.width);
    const std::uint64_t height = static_cast<std::uint64_t>(source.height);
    const std::uint64_t stride = layout.stride;
    if (width <= kRowPiecePixels) {
        const std::uint64_t rows_per_block = kBmpBlockSize / stride;
        for (std::uint64_t y = 0; y < height;) {
            const std::uint64_t n = std::min(rows_per_block, height - y);
            for (std::uint64_t k = 0; k < n; ++k) {
                if (!raster.bits(width, buffers.row_bits)) return Status::read_failed;
                stored_row(layout, buffers.row_bits, width, buffers.block + (n - 1 - k) * stride);
            }
            y += n;
            if (!seek_to(out, layout.header_size + (height - y) * stride) || !write_all(out, buffers.block, n * stride))
                return Status::write_failed;
        }
        return Status::ok;
    }
    const std::size_t padding = static_cast<std::size_t>(stride) - layout.bytes_of(static_cast<std::size_t>(width));
    for (std::uint64_t y = 0; y < height; ++y) {
        if (!seek_to(out, layout.header_size + (height - 1 - y) * stride)) return Status::write_failed;
        for (std::uint64_t x = 0; x < width;) {
            // Pieces are a multiple of 8 pixels but the last: each starts on a byte.
            const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kRowPiecePixels, width - x));
            if (!raster.bits(count, buffers.row_bits)) return Status::read_failed;
            stored_pixels(layout, buffers.row_bits, count, buffers.block);
            std::size_t size = layout.bytes_of(count);
            x += count;
            if (x == width) {
                std::memset(buffers.block + size, 0, padding);
                size += padding;
            }
            if (!write_all(out, buffers.block, size)) return Status::write_failed;
        }
    }
    return Status::ok;
}

}  // namespace

void expand_bits(const std::uint8_t* bits, std::size_t count, std::uint8_t* pixels) {
    constexpr std::size_t kGroup = sizeof kExpand.pixels[0];
    const std::size_t whole = count / 8;
    for (std::size_t i = 0; i < whole; ++i) std::memcpy(pixels + i * kGroup, kExpand.pixels[bits[i]], kGroup);
    if (count % 8 != 0) std::memcpy(pixels + whole * kGroup, kExpand.pixels[bits[whole]], count % 8 * kBytesPerPixel);
}

Status read_pbm_source(std::FILE* in, bool output_seekable, PbmSource& source, Pbm2BmpBuffers& buffers, Facts& facts,
                       const Options& options) {
    std::setvbuf(in, nullptr, _IONBF, 0);
    source = PbmSource{};
    Input input{in, buffers.input};
    const Status status = read_header(input, source, facts);
    if (status != Status::ok) return status;
    source.buffered_begin = static_cast<std::uint32_t>(input.begin);
    source.buffered_end = static_cast<std::uint32_t>(input.end);
    source.input_ended = input.ended;

    if (const Status s = check_size_for(options, source.width, source.height, facts); s != Status::ok) return s;
    const std::uint64_t width = static_cast<std::uint64_t>(source.width);
    const std::uint64_t height = static_cast<std::uint64_t>(source.height);
    const BmpLayout layout(options.bmp_bits, width);
    if (layout.header_size + layout.stride * height > UINT32_MAX) return Status::pbm_too_large;
    if (output_seekable || width == 0 || height == 0) return Status::ok;
    if (source.width > kMaxPbmWidth || source.height > kMaxPbmHeight) return Status::pbm_too_large_for_pipe;

    // Rows fill the image top first: the top row is the last stored row.
    Raster raster = raster_after_header(in, source, buffers);
    for (std::uint64_t y = 0; y < height; ++y)
        if (!raster.bits(width, image_row(buffers, height - 1 - y))) return Status::read_failed;
    source.gathered = true;
    return Status::ok;
}

Status write_bmp(std::FILE* in, const PbmSource& source, bool output_seekable, Pbm2BmpBuffers& buffers, std::FILE* out,
                 const Options& options) {
    std::setvbuf(out, nullptr, _IONBF, 0);
    const BmpLayout layout(options.bmp_bits, static_cast<std::uint64_t>(source.width));
    if (layout.bits == 1) {
        std::uint8_t header[kBilevelHeadersSize];
        encode_bmp1_header(header, source.width, source.height);
        if (!write_all(out, header, sizeof header)) return Status::write_failed;
    } else {
        std::uint8_t header[kHeadersSize];
        encode_bmp_header(header, source.width, source.height);
        if (!write_all(out, header, sizeof header)) return Status::write_failed;
    }

    Status status = Status::ok;
    if (source.width > 0 && source.height > 0) {
        if (source.gathered) {
            status = write_gathered(source, layout, buffers, out);
        } else if (output_seekable) {
            Raster raster = raster_after_header(in, source, buffers);
            status = write_placed(raster, source, layout, buffers, out);
        } else {
            status = Status::write_failed;  // the check gathers whatever a non-seekable output takes
        }
    }
    if (status != Status::ok) return status;
    return std::fflush(out) == 0 && !std::ferror(out) ? Status::ok : Status::write_failed;
}

}  // namespace qpbm

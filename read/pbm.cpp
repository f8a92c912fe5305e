// The PBM reader: the header, then the raster, plain or raw.
#include "read/pbm.hpp"

#include <algorithm>
#include <cstring>

#include "core/buffers.hpp"
#include "core/pbm_format.hpp"
#include "read/netpbm_input.hpp"

namespace qpbm {

namespace {

// The magic, the width and the height: see core/pbm_format.hpp. Leaves the input
// at the first byte of the pixels.
Status read_header(NetpbmInput& input, PbmSource& source, Facts& facts) {
    HeaderReader h{input};
    int c = peek(h);
    if (c != kPbmMagicStart || !take(h))
        return c == kInputEnd && input.failed ? Status::read_failed : Status::pbm_bad_magic;
    c = peek(h);
    if ((c != kPbmPlainKind && c != kPbmRawKind) || !take(h))
        return c == kInputEnd && input.failed ? Status::read_failed : Status::pbm_bad_magic;
    source.raw = c == kPbmRawKind;
    facts.format = source.raw ? "PBM, raw" : "PBM, plain";

    std::int64_t numbers[2] = {};
    for (std::int64_t& number : numbers) {
        const Status status = read_field(h, number);
        if (status != Status::ok) return status;
        if (&number == &numbers[0]) facts.width = number;
    }
    facts.height = numbers[1];

    // The raw pixels start after exactly one white-space byte; a file that
    // ends here has no pixels, which are all black.
    if (source.raw) {
        c = peek(h);
        if (c == kInputEnd && input.failed) return Status::read_failed;
        if (c != kInputEnd && !is_pbm_space(c)) return Status::pbm_no_raster_separator;
        if (c != kInputEnd && !take(h)) return Status::pbm_header_too_long;
    }
    source.width = static_cast<std::int32_t>(numbers[0]);
    source.height = static_cast<std::int32_t>(numbers[1]);
    return Status::ok;
}

// ---- The pixels -------------------------------------------------------------
//
// Both readers give the next `count` pixels as a bit row in bits[0,
// ceil(count / 8)): the leftmost pixel in the highest bit, 1 black, the bits
// past `count` 0. Pixels the input does not reach are black. They return
// false on a read error.

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

// Reverses a byte's bits and flips them: white bits lowest first become a
// bit row's byte (and back).
struct FlipTable {
    std::uint8_t bits[256];
};

constexpr FlipTable make_flip_table() {
    FlipTable table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned bits = 0;
        for (unsigned i = 0; i < 8; ++i)
            if (!(byte & (0x80u >> i))) bits |= 1u << i;
        table.bits[byte] = static_cast<std::uint8_t>(bits);
    }
    return table;
}

constexpr FlipTable kFlip = make_flip_table();

// Clears the bits past `count` in the last byte of a row of `count` pixels.
void clear_tail(std::uint8_t* bits, std::size_t count) {
    if (count % 8 != 0) bits[count / 8] &= static_cast<std::uint8_t>(0xFF00u >> (count % 8));
}

struct PlainRaster {
    NetpbmInput input;
    bool in_comment = false;
    // Pixels of an own-layout line past the end of the last request, lowest first.
    std::uint32_t pending = 0;
    std::size_t pending_count = 0;
};

constexpr std::uint64_t low_bits(std::size_t n) { return n >= 64 ? ~0ull : (1ull << n) - 1; }

// White bits lowest first, eight bytes of them, as a bit row's bytes: each
// byte's bits reversed and flipped at once.
std::uint64_t flip64(std::uint64_t w) {
    w = ~w;
    w = ((w >> 1) & 0x5555555555555555u) | ((w & 0x5555555555555555u) << 1);
    w = ((w >> 2) & 0x3333333333333333u) | ((w & 0x3333333333333333u) << 2);
    return ((w >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((w & 0x0F0F0F0F0F0F0F0Fu) << 4);
}

void store_le64(std::uint8_t* p, std::uint64_t v) {
    for (unsigned i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Whole own-layout lines go 30 pixels at once; anything else a byte at a
// time up to the next line feed, where the fast way is tried again.
bool plain_bits(PlainRaster& r, std::size_t count, std::uint8_t* bits) {
    NetpbmInput& input = r.input;
    std::size_t done = 0;   // pixels stored in bits, a multiple of 8
    std::uint64_t acc = 0;  // white bits of the pixels after those
    std::size_t n = std::min(r.pending_count, count);
    acc = r.pending & low_bits(n);
    r.pending = static_cast<std::uint32_t>(static_cast<std::uint64_t>(r.pending) >> n);
    r.pending_count -= n;

    while (done + n < count) {
        if (n >= 8) {  // whole bytes at once: the word's other bytes are written again later
            store_le64(bits + done / 8, flip64(acc));
            const std::size_t whole = n / 8 * 8;
            acc >>= whole;
            n -= whole;
            done += whole;
        }
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
                        store_le64(bits + done / 8, flip64(acc));
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
    for (; n > 0; n = n > 8 ? n - 8 : 0, acc >>= 8) bits[byte++] = kFlip.bits[acc & 0xFF];
    std::memset(bits + byte, 0xFF, (count + 7) / 8 - byte);  // black
    clear_tail(bits, count);
    return true;
}

// `count` is a whole row, or a multiple of 8 pixels of one.
bool raw_bits(NetpbmInput& input, std::size_t count, std::uint8_t* bits) {
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
        std::memcpy(bits + done, input.block + input.begin, n);
        done += n;
        input.begin += n;
    }
    std::memset(bits + done, 0xFF, bytes - done);  // black
    clear_tail(bits, count);
    return true;
}

// Either raster, as the source says.
struct Raster {
    PlainRaster plain;
    bool raw;
    bool bits(std::size_t count, std::uint8_t* out) {
        return raw ? raw_bits(plain.input, count, out) : plain_bits(plain, count, out);
    }
};

bool claims_pbm(const unsigned char* first, std::size_t length) {
    return length >= 2 && first[0] == kPbmMagicStart && (first[1] == kPbmPlainKind || first[1] == kPbmRawKind);
}

}  // namespace

Status PbmReader::check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) {
    std::setvbuf(in, nullptr, _IONBF, 0);
    source_ = PbmSource{};
    NetpbmInput input{in, b_.input, kPbmBlockSize};
    const Status status = read_header(input, source_, facts);
    if (status != Status::ok) return status;
    source_.buffered_begin = static_cast<std::uint32_t>(input.begin);
    source_.buffered_end = static_cast<std::uint32_t>(input.end);
    source_.input_ended = input.ended;
    picture = {source_.width, source_.height, RowForm::bits};
    return check_size_for(*request.options, source_.width, source_.height, facts);
}

Status PbmReader::read(std::FILE* in, const ReadRequest&, RowSink& sink) {
    Raster raster{{NetpbmInput{in, b_.input, kPbmBlockSize, source_.buffered_begin, source_.buffered_end,
                               source_.input_ended, false}},
                  source_.raw};
    const std::size_t width = static_cast<std::size_t>(source_.width);
    const std::size_t height = static_cast<std::size_t>(source_.height);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t first = 0; first < width; first += kRowPiecePixels) {
            // Pieces are a multiple of 8 pixels but the last: each starts on a byte.
            const std::size_t count = std::min(kRowPiecePixels, width - first);
            if (!raster.bits(count, b_.bits)) return Status::read_failed;
            if (!sink.take(y, first, b_.bits, count)) return Status::write_failed;
        }
    return Status::ok;
}

const ReaderKind kPbmReader = {
    "PBM",
    Format::pbm,
    Format::bmp,
    claims_pbm,
    [](PartRoom& room, Buffers& buffers) -> Reader* { return build_in<PbmReader>(room, buffers.read.pbm); },
    may_begin_netpbm,
};

}  // namespace qpbm

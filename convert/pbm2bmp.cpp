// PBM to BMP: the PBM lists rows top first and the BMP stores them bottom
// first, so the whole picture is gathered in the image buffer before the
// output is written.
#include <algorithm>
#include <cstring>

#include "convert/convert.hpp"
#include "formats/bmp.hpp"

namespace qpbm {

namespace {

constexpr int kLineFeed = '\n';

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads at most `max` characters, stopping after a line feed. Returns how many
// were read: 0 at the end of the input, -1 on a read error.
long read_line(std::FILE* in, char* line, std::size_t max) {
    std::size_t n = 0;
    while (n < max) {
        const int c = std::getc(in);
        if (c == EOF) break;
        line[n++] = static_cast<char>(c);
        if (c == kLineFeed) break;
    }
    if (std::ferror(in)) return -1;
    return static_cast<long>(n);
}

enum class LineEnd { line_feed, end_of_input, error };

// Reads line 1 whole, whatever its length: "P1", then only white space.
// `length` counts the characters read.
LineEnd read_magic_line(std::FILE* in, bool& matches, std::size_t& length) {
    std::size_t& n = length;
    n = 0;
    matches = true;
    for (int c; (c = std::getc(in)) != EOF; ++n) {
        if (c == kLineFeed) {
            matches = matches && n >= 2;
            return LineEnd::line_feed;
        }
        if (n < 2 ? c != kPbmMagic[n] : !is_space(c)) matches = false;
    }
    matches = matches && n >= 2;
    return std::ferror(in) ? LineEnd::error : LineEnd::end_of_input;
}

// Reads line 2 whole, whatever its length: a comment.
LineEnd read_comment_line(std::FILE* in, bool& matches) {
    int c = std::getc(in);
    matches = c == kPbmCommentStart;
    for (; c != EOF; c = std::getc(in))
        if (c == kLineFeed) return LineEnd::line_feed;
    return std::ferror(in) ? LineEnd::error : LineEnd::end_of_input;
}

// One dimension number: at most 23 characters, at least one digit.
Status parse_dimension(const char* text, std::size_t length, std::int64_t& value) {
    if (length > kDimensionDigitsMax) return Status::pbm_number_too_long;
    return parse_decimal(text, length, value) ? Status::ok : Status::pbm_bad_number;
}

}  // namespace

bool parse_decimal(const char* text, std::size_t length, std::int64_t& value) {
    constexpr std::int64_t kSaturated = INT64_MAX / 10;
    std::size_t i = 0;
    while (i < length && is_space(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t first_digit = i;
    std::int64_t magnitude = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
        if (magnitude < kSaturated) magnitude = magnitude * 10 + (text[i] - '0');
    value = negative ? -magnitude : magnitude;
    return i > first_digit;
}

Status read_pbm_header(std::FILE* in, PbmSource& source, Facts& facts) {
    bool matches = false;
    std::size_t length = 0;
    LineEnd end = read_magic_line(in, matches, length);
    if (end == LineEnd::error) return Status::read_failed;
    if (length == 0 && end == LineEnd::end_of_input) return Status::pbm_missing_lines;
    if (!matches) return Status::pbm_bad_magic;
    if (end == LineEnd::end_of_input) return Status::pbm_missing_lines;

    end = read_comment_line(in, matches);
    if (end == LineEnd::error) return Status::read_failed;
    if (end == LineEnd::end_of_input) return Status::pbm_missing_lines;
    if (!matches) return Status::pbm_bad_comment;

    // The dimension line, read like every later line: at most 99 characters.
    char line[kLineReadMax];
    const long read = read_line(in, line, kLineReadMax);
    if (read < 0) return Status::read_failed;
    if (read == 0) return Status::pbm_missing_lines;
    const std::size_t text_length = strnlen(line, static_cast<std::size_t>(read));

    const char* space = static_cast<const char*>(std::memchr(line, ' ', text_length));
    if (space == nullptr) return Status::pbm_bad_dimension_line;
    const char* height_text = space + 1;
    const std::size_t height_room = text_length - static_cast<std::size_t>(height_text - line);
    const char* line_feed = static_cast<const char*>(std::memchr(height_text, kLineFeed, height_room));
    if (line_feed == nullptr) return Status::pbm_bad_dimension_line;

    std::int64_t width = 0;
    std::int64_t height = 0;
    Status status = parse_dimension(line, static_cast<std::size_t>(space - line), width);
    if (status == Status::ok)
        status = parse_dimension(height_text, static_cast<std::size_t>(line_feed - height_text), height);
    if (status != Status::ok) return status;

    facts.width = width;
    facts.height = height;
    if (width < 0 || height < 0) return Status::pbm_negative_dimension;
    if (width > kMaxPbmWidth || height > kMaxPbmHeight) return Status::pbm_too_large;
    source.width = static_cast<std::int32_t>(width);
    source.height = static_cast<std::int32_t>(height);
    return Status::ok;
}

namespace {

// The input after the header, a block at a time, handed out in the reads the
// layout defines: at most 99 characters, ending after a line feed.
struct BlockLines {
    std::FILE* in;
    char* block;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool input_ended = false;
};

// The next read: its length, 0 at the end of the input, -1 on a read error.
long next_line(BlockLines& lines, const char*& line) {
    if (lines.end - lines.begin < kLineReadMax && !lines.input_ended) {
        const std::size_t kept = lines.end - lines.begin;
        std::memmove(lines.block, lines.block + lines.begin, kept);
        const std::size_t got = std::fread(lines.block + kept, 1, kPbmBlockSize - kept, lines.in);
        if (std::ferror(lines.in)) return -1;
        lines.begin = 0;
        lines.end = kept + got;
        lines.input_ended = lines.end < kPbmBlockSize;
    }
    line = lines.block + lines.begin;
    const std::size_t available = std::min(lines.end - lines.begin, kLineReadMax);
    const void* line_feed = std::memchr(line, kLineFeed, available);
    const std::size_t length =
        line_feed ? static_cast<std::size_t>(static_cast<const char*>(line_feed) - line) + 1 : available;
    lines.begin += length;
    return static_cast<long>(length);
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

}  // namespace

// The reading rule: "0" is white, anything else black.
void pack_token_bits(const char* chars, std::size_t count, std::uint8_t* bits) {
    for (std::size_t i = 0; i < (count + 7) / 8; ++i, chars += 8) {
        std::uint8_t byte = 0;
        for (unsigned j = 0; j < 8; ++j) byte |= static_cast<std::uint8_t>((chars[j] == kWhiteChar) << j);
        bits[i] = byte;
    }
}

void expand_bits(const std::uint8_t* bits, std::size_t count, std::uint8_t* pixels) {
    for (std::size_t i = 0; i < (count + 7) / 8; ++i, pixels += sizeof kExpand.pixels[0])
        std::memcpy(pixels, kExpand.pixels[bits[i]], sizeof kExpand.pixels[0]);
}

Status gather_pbm_pixels(std::FILE* in, const PbmSource& source, Pbm2BmpBuffers& buffers) {
    if (source.width < 1 || source.height < 1) return Status::ok;
    const std::size_t width = static_cast<std::size_t>(source.width);
    constexpr std::size_t kLineChars = kTokensPerLine * kTokenSize;
    auto image_row = [&buffers](std::int32_t row) {
        return buffers.image + static_cast<std::size_t>(row) * kImageRowPitch;
    };

    // Token characters are gathered until they make a row; tokens fill the
    // top row (the last buffer row) first.
    char* chars = buffers.row_chars;
    std::size_t gathered = 0;
    std::int32_t rows_remaining = source.height;
    BlockLines lines{in, buffers.input};
    for (;;) {
        const char* line = nullptr;
        const long read = next_line(lines, line);
        if (read < 0) return Status::read_failed;
        if (read == 0) break;

        // Every line supplies 30 tokens, from positions 0, 2, ... 58; the
        // positions a short line lacks are black, so read them as "1".
        char padded[kLineChars];
        if (static_cast<std::size_t>(read) < kLineChars) {
            std::memset(padded, kBlackChar, sizeof padded);
            std::memcpy(padded, line, static_cast<std::size_t>(read));
            line = padded;
        }
        for (std::size_t k = 0; k < kTokensPerLine; ++k) chars[gathered + k] = line[k * kTokenSize];
        gathered += kTokensPerLine;

        // A line may complete a row, or several narrow ones.
        for (; gathered >= width; gathered -= width) {
            pack_token_bits(chars, width, image_row(rows_remaining - 1));
            if (--rows_remaining == 0) return Status::ok;
            std::memmove(chars, chars + width, gathered - width);
        }
    }

    // The input ended first: every pixel no token reached is black, whatever
    // an earlier call left there.
    std::memset(chars + gathered, kBlackChar, width - gathered);
    pack_token_bits(chars, width, image_row(rows_remaining - 1));
    for (std::int32_t row = rows_remaining - 2; row >= 0; --row) std::memset(image_row(row), 0, kImageRowPitch);
    return Status::ok;
}

Status read_pbm_source(std::FILE* in, bool, PbmSource& source, Pbm2BmpBuffers& buffers, Facts& facts) {
    const Status status = read_pbm_header(in, source, facts);
    return status == Status::ok ? gather_pbm_pixels(in, source, buffers) : status;
}

Status write_bmp(std::FILE*, const PbmSource& source, bool, Pbm2BmpBuffers& buffers, std::FILE* out) {
    // Rows are written one at a time: give the stream a large buffer of our
    // own (glibc keeps 4 KiB when given only a size).
    std::setvbuf(out, buffers.output, _IOFBF, sizeof buffers.output);
    std::uint8_t header[kHeadersSize];
    encode_bmp_header(header, source.width, source.height);
    if (std::fwrite(header, 1, sizeof header, out) != sizeof header) return Status::write_failed;

    if (source.width >= 1 && source.height >= 1) {
        const std::size_t width = static_cast<std::size_t>(source.width);
        const std::size_t row_bytes = width * kBytesPerPixel;
        const std::size_t stride = static_cast<std::size_t>(bmp_stride(width));
        for (std::int32_t row = 0; row < source.height; ++row) {
            expand_bits(buffers.image + static_cast<std::size_t>(row) * kImageRowPitch, width, buffers.row_pixels);
            std::memset(buffers.row_pixels + row_bytes, 0, stride - row_bytes);
            if (std::fwrite(buffers.row_pixels, 1, stride, out) != stride) return Status::write_failed;
        }
    }
    return std::fflush(out) == 0 && !std::ferror(out) ? Status::ok : Status::write_failed;
}

}  // namespace qpbm

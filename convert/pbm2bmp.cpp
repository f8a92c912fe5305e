// PBM to BMP: the PBM lists rows top first and the BMP stores them bottom
// first, so the whole picture is gathered in the image buffer before the
// output is written.
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

Status gather_pbm_pixels(std::FILE* in, const PbmSource& source, Pbm2BmpBuffers& buffers) {
    if (source.width < 1 || source.height < 1) return Status::ok;
    const std::size_t row_bytes = static_cast<std::size_t>(source.width) * kBytesPerPixel;

    // Pixels that no token reaches are black, whatever an earlier call left.
    for (std::int32_t row = 0; row < source.height; ++row)
        std::memset(buffers.image + static_cast<std::size_t>(row) * kImageRowPitch, 0, row_bytes);

    // Tokens fill the top row (the last buffer row) first.
    std::int32_t rows_remaining = source.height;
    std::size_t i = 0;
    char line[kLineReadMax];
    for (;;) {
        const long read = read_line(in, line, kLineReadMax);
        if (read < 0) return Status::read_failed;
        if (read == 0) return Status::ok;
        const std::size_t length = static_cast<std::size_t>(read);

        for (std::size_t p = 0; p < kTokensPerLine * kTokenSize; p += kTokenSize) {
            const std::uint8_t value = p < length && line[p] == kWhiteChar ? 0xFF : 0x00;
            std::uint8_t* pixel = buffers.image + static_cast<std::size_t>(rows_remaining - 1) * kImageRowPitch + i;
            pixel[0] = pixel[1] = pixel[2] = value;
            i += kBytesPerPixel;
            if (i == row_bytes) {
                i = 0;
                if (--rows_remaining == 0) return Status::ok;
            }
        }
    }
}

Status write_bmp(const PbmSource& source, const Pbm2BmpBuffers& buffers, std::FILE* out) {
    std::uint8_t header[kHeadersSize];
    encode_bmp_header(header, source.width, source.height);
    if (std::fwrite(header, 1, sizeof header, out) != sizeof header) return Status::write_failed;

    if (source.width >= 1 && source.height >= 1) {
        const std::size_t row_bytes = static_cast<std::size_t>(source.width) * kBytesPerPixel;
        const std::size_t padding =
            static_cast<std::size_t>(bmp_stride(static_cast<std::uint64_t>(source.width))) - row_bytes;
        static constexpr std::uint8_t kZeros[kRowAlignment] = {};
        for (std::int32_t row = 0; row < source.height; ++row) {
            const std::uint8_t* bytes = buffers.image + static_cast<std::size_t>(row) * kImageRowPitch;
            if (std::fwrite(bytes, 1, row_bytes, out) != row_bytes || std::fwrite(kZeros, 1, padding, out) != padding)
                return Status::write_failed;
        }
    }
    return std::fflush(out) == 0 && !std::ferror(out) ? Status::ok : Status::write_failed;
}

}  // namespace qpbm

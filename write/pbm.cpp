#include "write/pbm.hpp"

#include <algorithm>
#include <cstring>

#include "core/buffers.hpp"

namespace qpbm {

std::size_t format_pbm_header(char* text, std::int32_t width, std::int32_t height, const char* start) {
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

namespace {

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

std::uint64_t decimal_digits(std::uint64_t v) {
    std::uint64_t n = 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

// The raw header differs from the plain one in its magic only. Both
// dimensions are at most 2^31 - 1, so none of this passes 2^64.
std::uint64_t pbm_size(std::uint64_t width, std::uint64_t height, const Options& options) {
    const std::uint64_t header = sizeof kPbmHeaderStart - 1 + decimal_digits(width) + 1 + decimal_digits(height) + 1;
    const std::uint64_t pixels = width * height;
    if (options.raw) return header + (width + 7) / 8 * height;
    return header + kTokenSize * pixels + pixels / kTokensPerLine;
}

}  // namespace

Status PbmWriter::check(std::int32_t width, std::int32_t height, bool, Facts&) {
    width_ = width;
    height_ = height;
    return Status::ok;  // any size, to any output
}

Status PbmWriter::begin(std::FILE* out) {
    out_ = out;
    used_ = format_pbm_header(b_.text, width_, height_, raw_ ? kRawPbmHeaderStart : kPbmHeaderStart);
    line_tokens_ = 0;
    return Status::ok;
}

bool PbmWriter::take(std::size_t, std::size_t, const std::uint8_t* bits, std::size_t count) {
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

bool PbmWriter::flush() {
    const bool written = std::fwrite(b_.text, 1, used_, out_) == used_;
    used_ = 0;
    return written;
}

Status PbmWriter::finish() {
    if (!flush()) return Status::write_failed;
    return std::fflush(out_) == 0 && !std::ferror(out_) ? Status::ok : Status::write_failed;
}

const WriterKind kPbmWriter = {
    "PBM",
    Format::pbm,
    [](PartRoom& room, Buffers& buffers, const Options& options) -> Writer* {
        return build_in<PbmWriter>(room, buffers.write.pbm, options.raw);
    },
    pbm_size,
};

}  // namespace qpbm

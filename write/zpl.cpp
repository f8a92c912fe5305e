#include "write/zpl.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "core/buffers.hpp"

namespace qpbm {

namespace {

constexpr char kHeaderFormat[] = "^XA\n^FO0,0^GFA,%" PRIu64 ",%" PRIu64 ",%zu,";
constexpr char kEnd[] = "^FS\n^XZ\n";
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kMaxSmallCount = 19;       // Y
constexpr std::size_t kCountStep = 20;           // g
constexpr std::size_t kMaxCount = 20 * 20 + 19;  // zY, the most one count says

// The data is never longer than plain hex: a count and its digit take at
// most three characters and stand for at least two, and a row that
// repeats or ends in a fill takes one.
std::uint64_t zpl_size(std::uint64_t width, std::uint64_t height, const Options&) {
    return sizeof kHeaderFormat + 3 * 20 + ((width + 7) / 8 * 2 + 1) * height + sizeof kEnd;
}

char* put_run(char* text, char digit, std::size_t run) {
    while (run > 0) {
        const std::size_t n = std::min(run, kMaxCount);
        if (n >= 2) {
            if (n >= kCountStep) *text++ = static_cast<char>('g' + n / kCountStep - 1);
            if (n % kCountStep != 0) *text++ = static_cast<char>('G' + n % kCountStep - 1);
        }
        *text++ = digit;
        run -= n;
    }
    return text;
}

static_assert(kMaxSmallCount == 'Y' - 'G' + 1);

}  // namespace

Status ZplWriter::check(std::int32_t width, std::int32_t height, bool, Facts& facts) {
    if (width <= 0 || height <= 0) return Status::device_empty_picture;
    row_bytes_ = (static_cast<std::size_t>(width) + 7) / 8;
    height_ = static_cast<std::uint64_t>(height);
    if (row_bytes_ > kZplMaxRowBytes) {
        facts.format = "ZPL";
        facts.limit = kZplMaxRowBytes * 8;
        return Status::device_too_wide;
    }
    return Status::ok;
}

Status ZplWriter::begin(std::FILE* out) {
    out_ = out;
    const std::uint64_t total = row_bytes_ * height_;
    return std::fprintf(out_, kHeaderFormat, total, total, row_bytes_) > 0 ? Status::ok : Status::write_failed;
}

bool ZplWriter::take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) {
    std::uint8_t* row = b_.rows[y % 2];
    std::memcpy(row + first / 8, bits, (count + 7) / 8);
    if (first / 8 + (count + 7) / 8 != row_bytes_) return true;
    char* text = b_.text;
    if (y > 0 && std::memcmp(row, b_.rows[(y + 1) % 2], row_bytes_) == 0) {
        *text++ = ':';
    } else {
        const std::size_t digits = 2 * row_bytes_;
        auto digit = [row](std::size_t i) { return kHexDigits[i % 2 == 0 ? row[i / 2] >> 4 : row[i / 2] & 15]; };
        for (std::size_t i = 0; i < digits;) {
            const char d = digit(i);
            std::size_t end = i + 1;
            while (end < digits && digit(end) == d) ++end;
            if (end == digits && (d == '0' || d == 'F')) {
                *text++ = d == '0' ? ',' : '!';
                break;
            }
            text = put_run(text, d, end - i);
            i = end;
        }
    }
    const std::size_t length = static_cast<std::size_t>(text - b_.text);
    return std::fwrite(b_.text, 1, length, out_) == length;
}

Status ZplWriter::finish() {
    if (std::fwrite(kEnd, 1, sizeof kEnd - 1, out_) != sizeof kEnd - 1) return Status::write_failed;
    return std::fflush(out_) == 0 && !std::ferror(out_) ? Status::ok : Status::write_failed;
}

const WriterKind kZplWriter = {
    "ZPL",
    Format::zpl,
    [](PartRoom& room, Buffers& buffers, const Options&) -> Writer* {
        return build_in<ZplWriter>(room, buffers.write.zpl);
    },
    zpl_size,
};

}  // namespace qpbm

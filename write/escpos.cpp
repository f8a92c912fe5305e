#include "write/escpos.hpp"

#include <algorithm>
#include <iterator>

namespace qpbm {

namespace {

constexpr std::uint8_t kReset[] = {0x1B, 0x40};
constexpr std::uint8_t kRasterCommand[] = {0x1D, 0x76, 0x30, 0x00};
constexpr std::size_t kBandHeaderSize = sizeof kRasterCommand + 4;
constexpr std::uint8_t kFeed[] = {0x1B, 0x64, kEscPosFeedLines};

std::uint64_t escpos_size(std::uint64_t width, std::uint64_t height, const Options&) {
    const std::uint64_t bands = (height + kEscPosBandRows - 1) / kEscPosBandRows;
    return sizeof kReset + bands * kBandHeaderSize + (width + 7) / 8 * height + sizeof kFeed;
}

}  // namespace

Status EscPosWriter::check(std::int32_t width, std::int32_t height, bool, Facts& facts) {
    if (width <= 0 || height <= 0) return Status::device_empty_picture;
    row_bytes_ = (static_cast<std::uint64_t>(width) + 7) / 8;
    height_ = static_cast<std::uint64_t>(height);
    if (row_bytes_ > kEscPosMaxRowBytes) {
        facts.format = "ESC/POS";
        facts.limit = kEscPosMaxRowBytes * 8;
        return Status::device_too_wide;
    }
    return Status::ok;
}

Status EscPosWriter::begin(std::FILE* out) {
    out_ = out;
    return std::fwrite(kReset, 1, sizeof kReset, out_) == sizeof kReset ? Status::ok : Status::write_failed;
}

bool EscPosWriter::take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) {
    if (first == 0 && y % kEscPosBandRows == 0) {
        const std::uint64_t rows = std::min<std::uint64_t>(kEscPosBandRows, height_ - y);
        std::uint8_t header[kBandHeaderSize];
        std::copy(std::begin(kRasterCommand), std::end(kRasterCommand), header);
        header[4] = static_cast<std::uint8_t>(row_bytes_ & 0xFF);
        header[5] = static_cast<std::uint8_t>(row_bytes_ >> 8);
        header[6] = static_cast<std::uint8_t>(rows & 0xFF);
        header[7] = static_cast<std::uint8_t>(rows >> 8);
        if (std::fwrite(header, 1, sizeof header, out_) != sizeof header) return false;
    }
    // Our rows are already the printer's: a piece starts on a byte, and the
    // bits past a row's end are 0, which prints nothing.
    const std::size_t bytes = (count + 7) / 8;
    return std::fwrite(bits, 1, bytes, out_) == bytes;
}

Status EscPosWriter::finish() {
    if (std::fwrite(kFeed, 1, sizeof kFeed, out_) != sizeof kFeed) return Status::write_failed;
    return std::fflush(out_) == 0 && !std::ferror(out_) ? Status::ok : Status::write_failed;
}

const WriterKind kEscPosWriter = {
    "ESC/POS",
    Format::escpos,
    [](PartRoom& room, Buffers&, const Options&) -> Writer* { return build_in<EscPosWriter>(room); },
    escpos_size,
};

}  // namespace qpbm

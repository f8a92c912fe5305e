#include "write/bmp.hpp"

#include <algorithm>
#include <cstring>

#include "convert/buffers.hpp"
#include "convert/stream.hpp"
#include "formats/bmp.hpp"

namespace qpbm {

namespace {

// Pixel bytes of the eight pixels of a byte of bits: in a bit row, bit 7 - j
// set makes pixel j black; in image bits (expand_bits), bit j set makes it white.
struct ExpandTable {
    std::uint8_t pixels[256][8 * kBytesPerPixel];
};

constexpr ExpandTable make_expand_table(bool row_order) {
    ExpandTable table{};
    for (unsigned byte = 0; byte < 256; ++byte)
        for (unsigned j = 0; j < 8; ++j) {
            const bool white = row_order ? !((byte >> (7 - j)) & 1) : (byte >> j) & 1;
            for (unsigned c = 0; c < kBytesPerPixel; ++c) table.pixels[byte][j * kBytesPerPixel + c] = white ? 0xFF : 0;
        }
    return table;
}

constexpr ExpandTable kExpandRow = make_expand_table(true);
constexpr ExpandTable kExpandImage = make_expand_table(false);

void expand(const ExpandTable& table, const std::uint8_t* bits, std::size_t count, std::uint8_t* pixels) {
    constexpr std::size_t kGroup = sizeof table.pixels[0];
    const std::size_t whole = count / 8;
    for (std::size_t i = 0; i < whole; ++i) std::memcpy(pixels + i * kGroup, table.pixels[bits[i]], kGroup);
    if (count % 8 != 0) std::memcpy(pixels + whole * kGroup, table.pixels[bits[whole]], count % 8 * kBytesPerPixel);
}

bool write_all(std::FILE* out, const std::uint8_t* bytes, std::size_t size) {
    return std::fwrite(bytes, 1, size, out) == size;
}

std::uint64_t bmp_size(std::uint64_t width, std::uint64_t height, const Options& options) {
    if (options.bmp_bits == 1) return kBilevelHeadersSize + bmp_stride(width, 1) * height;
    return kHeadersSize + bmp_stride(width) * height;
}

}  // namespace

void expand_bits(const std::uint8_t* bits, std::size_t count, std::uint8_t* pixels) {
    expand(kExpandImage, bits, count, pixels);
}

// The stored bytes of `count` pixels of a bit row: three bytes each, or one
// bit each (set for white, the palette's second entry) with the bits past
// `count` in the last byte clear.
void BmpWriter::stored_pixels(const std::uint8_t* bits, std::size_t count, std::uint8_t* out) const {
    if (bits_ != 1) {
        expand(kExpandRow, bits, count, out);
        return;
    }
    const std::size_t bytes = (count + 7) / 8;
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(~bits[i]);
    if (count % 8 != 0) out[bytes - 1] &= static_cast<std::uint8_t>(0xFF00u >> (count % 8));
}

Status BmpWriter::check(std::int32_t width, std::int32_t height, bool output_seekable, Facts&) {
    width_ = static_cast<std::uint64_t>(width);
    height_ = static_cast<std::uint64_t>(height);
    header_size_ = bits_ == 1 ? kBilevelHeadersSize : kHeadersSize;
    stride_ = bmp_stride(width_, bits_);
    if (header_size_ + stride_ * height_ > UINT32_MAX) return Status::pbm_too_large;
    gathers_ = false;
    if (output_seekable || width_ == 0 || height_ == 0) return Status::ok;
    if (width > kMaxPbmWidth || height > kMaxPbmHeight) return Status::pbm_too_large_for_pipe;
    gathers_ = true;
    return Status::ok;
}

Status BmpWriter::begin(std::FILE* out) {
    out_ = out;
    std::setvbuf(out, nullptr, _IONBF, 0);  // written in whole blocks
    top_ = rows_ = 0;
    failed_ = false;
    const std::int32_t width = static_cast<std::int32_t>(width_), height = static_cast<std::int32_t>(height_);
    // The resolution's fields are signed.
    auto send = [&](std::uint8_t* header, std::size_t size) {
        write_le32(header + bmp_field::biXPelsPerMeter, dots_per_metre(resolution_.unit, resolution_.x, INT32_MAX));
        write_le32(header + bmp_field::biYPelsPerMeter, dots_per_metre(resolution_.unit, resolution_.y, INT32_MAX));
        return write_all(out, header, size) ? Status::ok : Status::write_failed;
    };
    if (bits_ == 1) {
        std::uint8_t header[kBilevelHeadersSize];
        encode_bmp1_header(header, width, height);
        return send(header, sizeof header);
    }
    std::uint8_t header[kHeadersSize];
    encode_bmp_header(header, width, height);
    return send(header, sizeof header);
}

// Rows come top first, and picture row y is stored row height - 1 - y: a
// block of rows [top, top + n) goes at the place of its last row, filled from
// its end, in one write.
bool BmpWriter::take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) {
    if (gathers_) {
        std::memcpy(b_.image + (height_ - 1 - y) * kImageRowPitch + first / 8, bits, (count + 7) / 8);
        return true;
    }
    const std::size_t stride = static_cast<std::size_t>(stride_);
    const bool row_ends = first + count == width_;
    const std::size_t padding = stride - bytes_of(static_cast<std::size_t>(width_));
    if (stride_ > kBmpBlockSize) {  // a row alone, in pieces
        if (first == 0 && !seek_to(out_, header_size_ + (height_ - 1 - y) * stride_)) return false;
        for (std::size_t done = 0; done < count; done += kRowPiecePixels) {
            const std::size_t n = std::min(kRowPiecePixels, count - done);
            stored_pixels(bits + done / 8, n, b_.block);
            if (!write_all(out_, b_.block, bytes_of(n))) return false;
        }
        if (!row_ends || padding == 0) return true;
        std::memset(b_.block, 0, padding);
        return write_all(out_, b_.block, padding);
    }
    if (first == 0 && y == top_ + rows_) {
        top_ = y;
        rows_ = std::min<std::uint64_t>(kBmpBlockSize / stride, height_ - y);
    }
    std::uint8_t* row = b_.block + static_cast<std::size_t>(rows_ - 1 - (y - top_)) * stride;
    stored_pixels(bits, count, row + bytes_of(first));
    if (!row_ends) return true;
    std::memset(row + (stride - padding), 0, padding);
    if (y + 1 != top_ + rows_) return true;
    return seek_to(out_, header_size_ + (height_ - top_ - rows_) * stride_) &&
           write_all(out_, b_.block, static_cast<std::size_t>(rows_) * stride);
}

// The gathered picture, bottom row first, a block of rows per write.
Status BmpWriter::write_gathered() {
    const std::size_t width = static_cast<std::size_t>(width_);
    const std::size_t stride = static_cast<std::size_t>(stride_);
    const std::size_t used = bytes_of(width);
    const std::size_t rows_per_block = kBmpBlockSize / stride;
    for (std::size_t row = 0; row < height_;) {
        const std::size_t n = std::min<std::size_t>(rows_per_block, static_cast<std::size_t>(height_) - row);
        for (std::size_t k = 0; k < n; ++k) {
            std::uint8_t* stored = b_.block + k * stride;
            stored_pixels(b_.image + (row + k) * kImageRowPitch, width, stored);
            std::memset(stored + used, 0, stride - used);
        }
        if (!write_all(out_, b_.block, n * stride)) return Status::write_failed;
        row += n;
    }
    return Status::ok;
}

Status BmpWriter::finish() {
    if (gathers_ && width_ > 0 && height_ > 0) {
        const Status status = write_gathered();
        if (status != Status::ok) return status;
    }
    return std::fflush(out_) == 0 && !std::ferror(out_) ? Status::ok : Status::write_failed;
}

const WriterKind kBmpWriter = {
    "BMP",
    Format::bmp,
    [](PartRoom& room, Buffers& buffers, const Options& options) -> Writer* {
        return build_in<BmpWriter>(room, buffers.write.bmp, options.bmp_bits);
    },
    bmp_size,
};

}  // namespace qpbm

// BMP rows as values: one small decoder per variant, and the reader that
// hands them over top row first.
#include <bit>

#include "core/buffers.hpp"
#include "read/bmp.hpp"
#include "read/values.hpp"

namespace qpbm {

namespace {

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

void row_values(const BmpSource& source, const BmpReadBuffers& buffers, const std::uint8_t* bytes, std::size_t count,
                std::uint8_t* values) {
    switch (source.pixels) {
        case BmpPixels::bgr24: bgr_values(bytes, count, values, {source.luma, source.level}); return;
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

Status BmpReader::check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) {
    const Status status = check_bmp(in, request.output_seekable, false, source_, b_, facts, *request.options);
    picture = {source_.width, source_.height, RowForm::values};
    if (status == Status::ok && source_.x_pels_per_metre > 0 && source_.y_pels_per_metre > 0)
        picture.resolution = {ResolutionUnit::metre, static_cast<double>(source_.x_pels_per_metre),
                              static_cast<double>(source_.y_pels_per_metre)};
    return status;
}

Status BmpReader::read(std::FILE* in, const ReadRequest& request, RowSink& sink) {
    std::uint8_t* const values = request.row;
    if (source_.gathered) {  // RLE: the indices, top row first
        const std::size_t width = static_cast<std::size_t>(source_.width);
        for (std::size_t y = 0; y < static_cast<std::size_t>(source_.height); ++y) {
            row_values(source_, b_, b_.rle_indices + y * width, width, values);
            if (!sink.take(y, 0, values, width)) return Status::write_failed;
        }
        return Status::ok;
    }
    auto piece = [&](std::size_t y, std::size_t first, const std::uint8_t* bytes, std::size_t count) {
        std::uint8_t* at = request.whole_rows ? values + first : values;
        row_values(source_, b_, bytes, count, at);
        return sink.take(y, first, at, count);
    };
    return for_each_piece(in, source_, b_.rows, piece, [] { return true; });
}

namespace {

bool claims_bmp(const unsigned char* first, std::size_t length) { return length >= 2 && read_le16(first) == kBmpMagic; }
bool may_begin_bmp(const unsigned char* first, std::size_t length) {
    return length == 1 && first[0] == (kBmpMagic & 0xFF);
}

}  // namespace

const ReaderKind kBmpReader = {
    "BMP",
    Format::bmp,
    Format::pbm,
    claims_bmp,
    [](PartRoom& room, Buffers& buffers) -> Reader* { return build_in<BmpReader>(room, buffers.read.bmp); },
    may_begin_bmp,
};

}  // namespace qpbm

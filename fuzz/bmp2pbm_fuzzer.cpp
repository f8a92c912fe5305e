// BMP to PBM on arbitrary bytes, every variant. Invariants beyond "no crash":
// - the write phase never fails on an input the check phase accepted, so a
//   refusal always comes before the first output byte;
// - the PBM is the three header lines, then exactly width x height tokens,
//   a line feed after every 30th token and nothing else, every byte written
//   (RLE pictures are written out of order to a seekable output);
// - each token is the threshold of the input pixel it stands for, decoded
//   here from the header fields by a plain reference decoder that shares
//   nothing with the library: palette, masks and RLE alike.
// RLE pictures are converted both for a seekable output and for a pipe.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "convert/convert.hpp"
#include "fuzz_support.hpp"

using qpbm_fuzz::le16;
using qpbm_fuzz::le32;

namespace {

qpbm::Bmp2PbmBuffers buffers;

// The picture as the format rules describe it, one bool per pixel (white),
// top row first. Only called on files the library accepted.
class Reference {
public:
    Reference(const std::uint8_t* d, std::size_t size) : d_(d), size_(size) {
        const std::uint32_t info = le32(d + 14);
        const bool core = info == 12;
        width_ = core ? le16(d + 18) : static_cast<std::int32_t>(le32(d + 18));
        const std::int32_t stored_height = core ? le16(d + 20) : static_cast<std::int32_t>(le32(d + 22));
        top_down_ = stored_height < 0;
        height_ = std::llabs(stored_height);
        bits_ = core ? le16(d + 24) : le16(d + 28);
        compression_ = core ? 0 : le32(d + 30);
        offset_ = le32(d + 10);
        std::uint64_t after = 14 + static_cast<std::uint64_t>(info);
        if (compression_ == 3 || compression_ == 6) {
            const std::uint64_t at = info >= 52 ? 14 + 40 : after;
            if (info < 52) after += compression_ == 6 ? 16 : 12;
            for (int i = 0; i < 3; ++i) masks_[i] = le32(d + at + 4 * i);
        } else if (bits_ == 16) {
            masks_[0] = 0x7C00, masks_[1] = 0x03E0, masks_[2] = 0x001F;
        } else if (bits_ == 32) {
            masks_[0] = 0xFF0000, masks_[1] = 0xFF00, masks_[2] = 0xFF;
        }
        if (bits_ <= 8) {
            const std::uint32_t used = core ? 0 : le32(d + 46);
            const std::size_t entries = used != 0 ? used : 1u << bits_;
            const std::size_t entry = core ? 3 : 4;
            for (std::size_t i = 0; i < entries; ++i) {
                const std::uint8_t* e = d + after + i * entry;
                palette_.push_back(e[0] >= 100 && e[1] >= 100 && e[2] >= 100);
            }
        }
        if (compression_ == 1 || compression_ == 2) decode_rle();
    }

    std::int64_t width() const { return width_; }
    std::int64_t height() const { return height_; }

    bool white(std::int64_t x, std::int64_t y) const {
        const std::int64_t stored = top_down_ ? y : height_ - 1 - y;
        if (compression_ == 1 || compression_ == 2) return index_white(rle_[stored * width_ + x]);
        const std::uint64_t stride = (static_cast<std::uint64_t>(width_) * bits_ + 31) / 32 * 4;
        const std::uint8_t* row = d_ + offset_ + static_cast<std::uint64_t>(stored) * stride;
        const std::uint64_t bit = static_cast<std::uint64_t>(x) * bits_;
        switch (bits_) {
            case 24: return row[3 * x] >= 100 && row[3 * x + 1] >= 100 && row[3 * x + 2] >= 100;
            case 16: return masked_white(le16(row + 2 * x));
            case 32: return masked_white(le32(row + 4 * x));
            default: return index_white((row[bit / 8] >> (8 - bits_ - bit % 8)) & ((1u << bits_) - 1));
        }
    }

private:
    bool index_white(unsigned index) const { return index < palette_.size() && palette_[index]; }

    // Each channel's value v of n bits reaches the threshold when v * 255 >= 100 * (2^n - 1).
    bool masked_white(std::uint32_t pixel) const {
        for (std::uint32_t mask : masks_) {
            const int shift = std::countr_zero(mask);
            const std::uint64_t v = (pixel & mask) >> shift;
            const std::uint64_t max = (std::uint64_t{1} << std::popcount(mask)) - 1;
            if (v * 255 < 100 * max) return false;
        }
        return true;
    }

    // The indices an RLE stream sets, stored rows bottom first; the rest are 0.
    void decode_rle() {
        rle_.assign(static_cast<std::size_t>(width_ * height_), 0);
        const bool rle4 = compression_ == 2;
        std::uint64_t p = offset_;
        std::int64_t x = 0, y = 0;
        auto set = [&](unsigned index) {
            if (x < width_ && y < height_) rle_[y * width_ + x] = static_cast<std::uint8_t>(index);
            ++x;
        };
        while (y < height_ && p + 2 <= size_) {
            const unsigned count = d_[p], value = d_[p + 1];
            p += 2;
            if (count > 0) {
                for (unsigned k = 0; k < count; ++k) set(!rle4 ? value : k % 2 == 0 ? value >> 4 : value & 15);
            } else if (value == 0) {
                x = 0;
                ++y;
            } else if (value == 1) {
                break;
            } else if (value == 2) {
                if (p + 2 > size_) break;
                x += d_[p];
                y += d_[p + 1];
                p += 2;
            } else {
                const std::uint64_t bytes = rle4 ? (value + 1) / 2 : value;
                for (unsigned k = 0; k < value && p + (rle4 ? k / 2 : k) < size_; ++k) {
                    const unsigned b = d_[p + (rle4 ? k / 2 : k)];
                    set(!rle4 ? b : k % 2 == 0 ? b >> 4 : b & 15);
                }
                p += bytes + bytes % 2;
            }
        }
    }

    const std::uint8_t* d_;
    std::size_t size_;
    std::int64_t width_, height_;
    bool top_down_;
    unsigned bits_;
    std::uint32_t compression_;
    std::uint64_t offset_;
    std::uint32_t masks_[3] = {};
    std::vector<bool> palette_;
    std::vector<std::uint8_t> rle_;
};

std::string header_of(std::int64_t width, std::int64_t height) {
    return "P1\n# Created by Quorvel\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
}

void check_pbm(const Reference& ref, const qpbm::BmpSource& source, const std::uint8_t* pbm, std::size_t length) {
    const std::int64_t width = ref.width(), height = ref.height();
    FUZZ_REQUIRE(source.width == width && source.height == height);
    const std::string header = header_of(width, height);
    const std::uint64_t tokens = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    FUZZ_REQUIRE(length == header.size() + 2 * tokens + tokens / 30);
    FUZZ_REQUIRE(header.compare(0, header.size(), reinterpret_cast<const char*>(pbm), header.size()) == 0);

    const std::uint8_t* text = pbm + header.size();
    std::uint64_t k = 0;
    for (std::int64_t y = 0; y < height && width > 0; ++y)
        for (std::int64_t x = 0; x < width; ++x, ++k) {
            FUZZ_REQUIRE(*text++ == (ref.white(x, y) ? '0' : '1'));
            FUZZ_REQUIRE(*text++ == ' ');
            if ((k + 1) % 30 == 0) FUZZ_REQUIRE(*text++ == '\n');
        }
}

void convert_and_check(const std::uint8_t* data, std::size_t size, bool seekable) {
    qpbm_fuzz::InputStream in(data, size);
    if (in.get() == nullptr) return;
    qpbm::BmpSource source;
    qpbm::Facts facts;
    const qpbm::Status status = qpbm::read_bmp_source(in.get(), seekable, source, buffers, facts);
    if (status == qpbm::Status::bmp_rle_too_large)
        FUZZ_REQUIRE(!seekable && (source.width > 1000 || source.height > 1000));
    if (status != qpbm::Status::ok) return;
    FUZZ_REQUIRE(facts.format != nullptr);

    // Larger pictures are checked only.
    const std::uint64_t tokens = static_cast<std::uint64_t>(source.width) * static_cast<std::uint64_t>(source.height);
    if (tokens > qpbm_fuzz::kMaxWrittenPixels) return;
    const std::uint64_t length = header_of(source.width, source.height).size() + 2 * tokens + tokens / 30;
    FUZZ_REQUIRE(length < qpbm_fuzz::OutputStream::kCapacity);

    qpbm_fuzz::OutputStream out;
    out.clear(static_cast<std::size_t>(length) + 1);
    FUZZ_REQUIRE(qpbm::write_pbm(in.get(), source, seekable, buffers, out.get()) == qpbm::Status::ok);
    out.finish();
    check_pbm(Reference(data, size), source, out.bytes(), out.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    convert_and_check(data, size, true);
    const bool rle = size >= 34 && le32(data + 14) >= 40 && (le32(data + 30) == 1 || le32(data + 30) == 2);
    if (rle) convert_and_check(data, size, false);
    return 0;
}

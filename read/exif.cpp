#include "read/exif.hpp"

#include <cstring>

namespace qpbm {

namespace {

constexpr std::uint16_t kOrientationTag = 274;
constexpr std::uint16_t kXResolutionTag = 282;
constexpr std::uint16_t kYResolutionTag = 283;
constexpr std::uint16_t kResolutionUnitTag = 296;
constexpr std::uint16_t kShort = 3;
constexpr std::uint16_t kRational = 5;
constexpr std::size_t kEntrySize = 12;

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t length, bool big) : data_(data), length_(length), big_(big) {}
    bool has(std::uint64_t at, std::uint64_t n) const { return at <= length_ && n <= length_ - at; }
    std::uint16_t u16(std::size_t at) const {
        const unsigned a = data_[at], b = data_[at + 1];
        return static_cast<std::uint16_t>(big_ ? a << 8 | b : b << 8 | a);
    }
    std::uint32_t u32(std::size_t at) const {
        const std::uint32_t hi = u16(big_ ? at : at + 2), lo = u16(big_ ? at + 2 : at);
        return hi << 16 | lo;
    }

private:
    const std::uint8_t* data_;
    std::size_t length_;
    bool big_;
};

// A RATIONAL's value, when it has one over 0.
double rational(const Bytes& b, std::uint32_t at) {
    if (!b.has(at, 8)) return 0;
    const std::uint32_t num = b.u32(at), den = b.u32(at + 4);
    return den == 0 ? 0 : static_cast<double>(num) / den;
}

}  // namespace

ExifLayout parse_exif(const std::uint8_t* data, std::size_t length) {
    ExifLayout layout;
    if (data == nullptr || length < 8) return layout;
    const bool big = data[0] == 'M' && data[1] == 'M';
    if (!big && !(data[0] == 'I' && data[1] == 'I')) return layout;
    const Bytes b(data, length, big);
    if (b.u16(2) != 42) return layout;
    const std::uint32_t ifd = b.u32(4);
    if (!b.has(ifd, 2)) return layout;
    const std::uint16_t count = b.u16(ifd);
    double x = 0, y = 0;
    unsigned unit = 2;  // inch, TIFF's default
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = std::uint64_t{ifd} + 2 + std::uint64_t{i} * kEntrySize;
        if (!b.has(entry, kEntrySize)) break;
        const std::size_t e = static_cast<std::size_t>(entry);
        const std::uint16_t tag = b.u16(e), type = b.u16(e + 2);
        const std::uint32_t n = b.u32(e + 4);
        if (n != 1) continue;
        if (tag == kOrientationTag && type == kShort) {
            const unsigned v = b.u16(e + 8);
            if (v >= 1 && v <= 8) layout.orientation = v;
        } else if (tag == kResolutionUnitTag && type == kShort) {
            unit = b.u16(e + 8);
        } else if (tag == kXResolutionTag && type == kRational) {
            x = rational(b, b.u32(e + 8));
        } else if (tag == kYResolutionTag && type == kRational) {
            y = rational(b, b.u32(e + 8));
        }
    }
    if (x > 0 && y > 0 && (unit == 2 || unit == 3))
        layout.resolution = {unit == 2 ? ResolutionUnit::inch : ResolutionUnit::centimetre, x, y};
    return layout;
}

ExifLayout parse_jpeg_exif(const std::uint8_t* data, std::size_t length) {
    // Most writers end the name with two NULs; some with a NUL and a fill byte.
    if (data == nullptr || length < 6 || std::memcmp(data, "Exif\0", 5) != 0) return {};
    return parse_exif(data + 6, length - 6);
}

}  // namespace qpbm

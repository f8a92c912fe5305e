#include "write/xbm.hpp"

#include <cinttypes>

namespace qpbm {

namespace {

// "0x" and two hex digits of the byte with its bits in XBM's order.
struct XbmBytes {
    char text[256][4];
};

constexpr XbmBytes make_xbm_bytes() {
    constexpr char kHex[] = "0123456789abcdef";
    XbmBytes t{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned reversed = 0;
        for (unsigned k = 0; k < 8; ++k) reversed |= ((byte >> k) & 1u) << (7 - k);
        t.text[byte][0] = '0';
        t.text[byte][1] = 'x';
        t.text[byte][2] = kHex[reversed >> 4];
        t.text[byte][3] = kHex[reversed & 15];
    }
    return t;
}

constexpr XbmBytes kXbmBytes = make_xbm_bytes();

constexpr char kHeaderFormat[] =
    "#define image_width %" PRId32 "\n#define image_height %" PRId32 "\nstatic unsigned char image_bits[] = {\n";
constexpr char kEnd[] = " };\n";
constexpr std::size_t kByteText = 6;  // "0x00" and ", " before it; a line's first takes two more

std::uint64_t xbm_size(std::uint64_t width, std::uint64_t height, const Options&) {
    const std::uint64_t bytes = (width + 7) / 8 * height;
    return sizeof kHeaderFormat + 2 * 11 + bytes * kByteText + 2 * (bytes / kXbmBytesPerLine + 1) + sizeof kEnd;
}

}  // namespace

Status XbmWriter::check(std::int32_t width, std::int32_t height, bool, Facts&) {
    // C has no empty array, so a picture without pixels has no XBM.
    if (width <= 0 || height <= 0) return Status::device_empty_picture;
    width_ = width;
    height_ = height;
    return Status::ok;
}

Status XbmWriter::begin(std::FILE* out) {
    out_ = out;
    return std::fprintf(out_, kHeaderFormat, width_, height_) > 0 ? Status::ok : Status::write_failed;
}

bool XbmWriter::take(std::size_t, std::size_t, const std::uint8_t* bits, std::size_t count) {
    // Each byte after a separator: ", " within a line, ",\n  " across lines.
    char text[kXbmBytesPerLine * 8];
    std::size_t used = 0;
    for (std::size_t i = 0; i < (count + 7) / 8; ++i) {
        if (written_ != 0) text[used++] = ',';
        if (written_ % kXbmBytesPerLine == 0) {
            if (written_ != 0) text[used++] = '\n';
            text[used++] = ' ';
        }
        text[used++] = ' ';
        for (char c : kXbmBytes.text[bits[i]]) text[used++] = c;
        ++written_;
        if (used + 8 > sizeof text) {
            if (std::fwrite(text, 1, used, out_) != used) return false;
            used = 0;
        }
    }
    return std::fwrite(text, 1, used, out_) == used;
}

Status XbmWriter::finish() {
    if (std::fwrite(kEnd, 1, sizeof kEnd - 1, out_) != sizeof kEnd - 1) return Status::write_failed;
    return std::fflush(out_) == 0 && !std::ferror(out_) ? Status::ok : Status::write_failed;
}

const WriterKind kXbmWriter = {
    "XBM",
    Format::xbm,
    [](PartRoom& room, Buffers&, const Options&) -> Writer* { return build_in<XbmWriter>(room); },
    xbm_size,
};

}  // namespace qpbm

// Every black-and-white method and both PBM encodings on arbitrary BMPs.
// The first two bytes choose the options, the rest is the BMP:
//   byte 0: bits 0-2 the method (mod 7), bit 3 raw, bit 4 invert;
//   byte 1: the threshold of channels or luma, or (odd) Sauvola's window.
// Invariants beyond "no crash":
// - the write never fails once the check accepted the input;
// - the PBM is the three header lines ("P1" or "P4") and exactly the bytes
//   its rows take: two characters a pixel with a line feed after every 30th,
//   or ceil(width / 8) bytes a row with zero padding bits;
// - every pixel is the method's rule applied to the reference decoder's
//   pixel (tests/method_reference.hpp), inverted when asked.
#include <cstdint>
#include <string>
#include <vector>

#include "bmp_reference.hpp"
#include "convert/convert.hpp"
#include "fuzz_support.hpp"
#include "tests/method_reference.hpp"

namespace {

qpbm::Bmp2PbmBuffers buffers;

// Larger pictures are checked and not written: the references are slow,
// Sauvola's (a whole window per pixel) the most. Small pictures reach every
// branch of the methods (a row of a few pixels, a window past the edges) and
// keep the target fast, and so do inputs of at most 16 KiB.
constexpr std::uint64_t kLargestChecked = 1u << 12;
constexpr std::uint64_t kLargestWindowed = 1u << 10;
constexpr std::size_t kLargestInput = 16 * 1024;

constexpr const char* kNames[] = {"channels", "luma", "otsu", "floyd-steinberg", "atkinson", "bayer", "sauvola"};

qpbm::Options options_from(std::uint8_t a, std::uint8_t b) {
    qpbm::Options o;
    o.method = static_cast<qpbm::Method>((a & 7) % 7);
    o.raw = (a & 8) != 0;
    o.invert = (a & 16) != 0;
    o.threshold = b;
    o.window = b < 3 ? 3 : b | 1u;
    return o;
}

void check(const qpbm_fuzz::Reference& ref, const qpbm::Options& o, const std::uint8_t* pbm, std::size_t length) {
    const std::int64_t width = ref.width(), height = ref.height();
    const std::string header = std::string(o.raw ? "P4" : "P1") + "\n# Created by Quorvel\n" + std::to_string(width) +
                               " " + std::to_string(height) + "\n";
    const std::uint64_t pixels = static_cast<std::uint64_t>(width * height);
    const std::uint64_t row_bytes = (static_cast<std::uint64_t>(width) + 7) / 8;
    FUZZ_REQUIRE(length == header.size() + (o.raw ? row_bytes * height : 2 * pixels + pixels / 30));
    FUZZ_REQUIRE(header.compare(0, header.size(), reinterpret_cast<const char*>(pbm), header.size()) == 0);
    // Bounded by pixels, not rows: a width of 0 has a billion rows of nothing.
    if (pixels == 0) return;

    std::vector<bool> black(pixels);
    if (o.method == qpbm::Method::channels) {
        for (std::int64_t y = 0; y < height; ++y)
            for (std::int64_t x = 0; x < width; ++x) black[y * width + x] = !ref.white(x, y, o.threshold);
    } else {
        qpbm_test::LumaPicture picture{static_cast<int>(width), static_cast<int>(height), {}};
        for (std::int64_t y = 0; y < height; ++y)
            for (std::int64_t x = 0; x < width; ++x) picture.y.push_back(ref.luma(x, y));
        black = qpbm_test::reference_method(kNames[static_cast<int>(o.method)], picture, static_cast<int>(o.threshold),
                                            static_cast<int>(o.window));
    }
    const std::uint8_t* body = pbm + header.size();
    for (std::int64_t y = 0; y < height; ++y)
        for (std::int64_t x = 0; x < width; ++x) {
            const bool expected = black[y * width + x] != o.invert;
            const std::uint64_t k = static_cast<std::uint64_t>(y * width + x);
            if (o.raw)
                FUZZ_REQUIRE(((body[y * row_bytes + x / 8] >> (7 - x % 8)) & 1) == expected);
            else
                FUZZ_REQUIRE(body[2 * k + k / 30] == (expected ? '1' : '0') && body[2 * k + k / 30 + 1] == ' ');
        }
    if (o.raw && width % 8 != 0)
        for (std::int64_t y = 0; y < height; ++y)
            FUZZ_REQUIRE((body[y * row_bytes + row_bytes - 1] & (0xFFu >> (width % 8))) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > kLargestInput) return 0;
    qpbm::Options o = options_from(data[0], data[1]);
    if (o.method == qpbm::Method::channels && o.threshold > qpbm::kMaxChannelThreshold) return 0;
    data += 2;
    size -= 2;
    qpbm_fuzz::InputStream in(data, size);
    if (in.get() == nullptr) return 0;
    qpbm::BmpSource source;
    qpbm::Facts facts;
    const qpbm::Status status = qpbm::read_bmp_source(in.get(), true, source, buffers, facts, o);
    if (status != qpbm::Status::ok) return 0;
    const std::uint64_t pixels = static_cast<std::uint64_t>(source.width) * static_cast<std::uint64_t>(source.height);
    if (pixels > (o.method == qpbm::Method::sauvola ? kLargestWindowed : kLargestChecked)) return 0;
    qpbm_fuzz::OutputStream out;
    FUZZ_REQUIRE(qpbm::write_pbm(in.get(), source, true, buffers, out.get(), o) == qpbm::Status::ok);
    out.finish();
    check(qpbm_fuzz::Reference(data, size), o, out.bytes(), out.size());
    return 0;
}

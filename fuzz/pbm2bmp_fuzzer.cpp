// PBM to BMP on arbitrary bytes, plain and raw, to an output that can seek
// and to one that cannot. Invariants beyond "no crash":
// - the check accepts exactly what the reference reading in pbm_reference.hpp
//   accepts, with the same dimensions; it is the only phase that refuses, so
//   a refused input never reaches the output (nothing is opened before it);
// - the write never fails once the check accepted the input;
// - the BMP's length equals its bfSize, and its headers are the 24-bit (or
//   1-bit, with its black and white palette) bottom-up form for the
//   dimensions read;
// - every pixel is the reference's pixel ('0' white, anything else black in
//   a plain PBM, a clear bit white in a raw one, black where the input ends),
//   and every padding byte is zero. The buffers are reused across runs, so
//   leftovers of an earlier input show up here.
#include <cstdint>
#include <vector>

#include "convert/convert.hpp"
#include "fuzz_support.hpp"
#include "pbm_reference.hpp"

using qpbm_fuzz::le16;
using qpbm_fuzz::le32;

namespace {

qpbm::Pbm2BmpBuffers buffers;

// Seekable outputs are written in full only up to this size.
constexpr std::uint64_t kLargestWritten = 4u << 20;

void check_bmp(const std::vector<bool>& white, std::int64_t width, std::int64_t height, const std::uint8_t* bmp,
               std::size_t length) {
    const std::int64_t stride = (width * 3 + 3) / 4 * 4;
    FUZZ_REQUIRE(length >= 54 && le32(bmp + 2) == length);
    FUZZ_REQUIRE(length == static_cast<std::uint64_t>(54 + stride * height));
    FUZZ_REQUIRE(le16(bmp) == 0x4D42 && le32(bmp + 6) == 0 && le32(bmp + 10) == 54 && le32(bmp + 14) == 40);
    FUZZ_REQUIRE(static_cast<std::int32_t>(le32(bmp + 18)) == width);
    FUZZ_REQUIRE(static_cast<std::int32_t>(le32(bmp + 22)) == height);
    FUZZ_REQUIRE(le16(bmp + 26) == 1 && le16(bmp + 28) == 24 && le32(bmp + 30) == 0);
    FUZZ_REQUIRE(le32(bmp + 34) == stride * height);
    for (int at = 38; at < 54; ++at) FUZZ_REQUIRE(bmp[at] == 0);

    // A picture without pixels is the headers alone, whatever its height.
    if (width == 0 || height == 0) return;
    for (std::int64_t y = 0; y < height; ++y) {
        const std::uint8_t* row = bmp + 54 + (height - 1 - y) * stride;  // bottom row stored first
        for (std::int64_t x = 0; x < width; ++x) {
            const std::uint8_t value = white[static_cast<std::size_t>(y * width + x)] ? 0xFF : 0x00;
            FUZZ_REQUIRE(row[3 * x] == value && row[3 * x + 1] == value && row[3 * x + 2] == value);
        }
        for (std::int64_t at = 3 * width; at < stride; ++at) FUZZ_REQUIRE(row[at] == 0);
    }
}

// 62 header bytes with the palette black, white; rows of ceil(width / 32) * 4
// bytes, the leftmost pixel in the highest bit, a set bit white.
void check_bmp1(const std::vector<bool>& white, std::int64_t width, std::int64_t height, const std::uint8_t* bmp,
                std::size_t length) {
    const std::int64_t stride = (width + 31) / 32 * 4;
    FUZZ_REQUIRE(length == static_cast<std::uint64_t>(62 + stride * height) && le32(bmp + 2) == length);
    FUZZ_REQUIRE(le16(bmp) == 0x4D42 && le32(bmp + 6) == 0 && le32(bmp + 10) == 62 && le32(bmp + 14) == 40);
    FUZZ_REQUIRE(static_cast<std::int32_t>(le32(bmp + 18)) == width);
    FUZZ_REQUIRE(static_cast<std::int32_t>(le32(bmp + 22)) == height);
    FUZZ_REQUIRE(le16(bmp + 26) == 1 && le16(bmp + 28) == 1 && le32(bmp + 30) == 0);
    FUZZ_REQUIRE(le32(bmp + 34) == stride * height && le32(bmp + 46) == 2 && le32(bmp + 50) == 2);
    FUZZ_REQUIRE(le32(bmp + 54) == 0 && le32(bmp + 58) == 0x00FFFFFF);
    for (std::int64_t y = 0; y < height && width > 0; ++y) {
        const std::uint8_t* row = bmp + 62 + (height - 1 - y) * stride;
        for (std::int64_t x = 0; x < stride * 8; ++x) {
            const bool set = (row[x / 8] >> (7 - x % 8)) & 1;
            FUZZ_REQUIRE(set == (x < width && white[static_cast<std::size_t>(y * width + x)]));
        }
    }
}

void convert(const std::uint8_t* data, std::size_t size, bool seekable) {
    qpbm_fuzz::InputStream in(data, size);
    if (in.get() == nullptr) return;
    qpbm::PbmSource source;
    qpbm::Facts facts;
    const qpbm::Status status = qpbm::read_pbm_source(in.get(), seekable, source, buffers, facts);
    const qpbm_fuzz::ReferenceHeader expected = qpbm_fuzz::reference_header(data, size, seekable);
    FUZZ_REQUIRE(status == expected.status);
    if (status != qpbm::Status::ok) return;
    FUZZ_REQUIRE(source.width == expected.width && source.height == expected.height);
    const std::uint64_t stride = (static_cast<std::uint64_t>(source.width) * 3 + 3) / 4 * 4;
    if (54 + stride * static_cast<std::uint64_t>(source.height) > kLargestWritten) return;

    qpbm_fuzz::OutputStream out;
    FUZZ_REQUIRE(qpbm::write_bmp(in.get(), source, seekable, buffers, out.get()) == qpbm::Status::ok);
    out.finish();
    const std::vector<bool> white = qpbm_fuzz::reference_pixels(data, size, expected);
    check_bmp(white, source.width, source.height, out.bytes(), out.size());

    // The same picture as a 1-bit BMP, from the start again.
    qpbm_fuzz::InputStream again(data, size);
    qpbm::Options one;
    one.bmp_bits = 1;
    FUZZ_REQUIRE(qpbm::read_pbm_source(again.get(), seekable, source, buffers, facts, one) == qpbm::Status::ok);
    qpbm_fuzz::OutputStream out1;
    FUZZ_REQUIRE(qpbm::write_bmp(again.get(), source, seekable, buffers, out1.get(), one) == qpbm::Status::ok);
    out1.finish();
    check_bmp1(white, source.width, source.height, out1.bytes(), out1.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    convert(data, size, true);
    convert(data, size, false);
    return 0;
}

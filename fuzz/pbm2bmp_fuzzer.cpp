// PBM to BMP on arbitrary bytes. Invariants beyond "no crash":
// - the gather and write phases never fail on an input whose header the
//   check phase accepted, so a refusal comes before the first output byte;
// - the BMP's length equals its bfSize, and its headers are the 24-bit
//   bottom-up form for the dimensions read;
// - every pixel is the token that a reader of 99-character lines, tokens at
//   positions 0, 2, ... 58, finds for it ("0" white, anything else black,
//   black where no token reaches), and every padding byte is zero. The
//   image buffer is reused across runs, so leftovers of an earlier input
//   show up here.
#include <cstdint>
#include <vector>

#include "convert/convert.hpp"
#include "fuzz_support.hpp"

using qpbm_fuzz::le16;
using qpbm_fuzz::le32;

namespace {

qpbm::Pbm2BmpBuffers buffers;

// The pixels, top row first, read from the bytes after the third line feed.
std::vector<bool> expected_white(const std::uint8_t* data, std::size_t size, std::int64_t pixels) {
    std::vector<bool> white(static_cast<std::size_t>(pixels), false);
    std::size_t pos = 0;
    for (int line_feeds = 0; line_feeds < 3; ++pos)
        if (data[pos] == '\n') ++line_feeds;

    std::int64_t n = 0;
    while (pos < size && n < pixels) {
        std::size_t length = 0;  // one line read: at most 99 characters, through a line feed
        while (length < 99 && pos + length < size && data[pos + length++] != '\n') {
        }
        for (std::size_t p = 0; p < 60 && n < pixels; p += 2, ++n)
            white[static_cast<std::size_t>(n)] = p < length && data[pos + p] == '0';
        pos += length;
    }
    return white;
}

void check_bmp(const std::uint8_t* pbm, std::size_t pbm_size, const qpbm::PbmSource& source, const std::uint8_t* bmp,
               std::size_t length) {
    const std::int64_t width = source.width, height = source.height;
    FUZZ_REQUIRE(width >= 0 && width <= 1000 && height >= 0 && height <= 1000);
    const std::int64_t stride = (width * 3 + 3) / 4 * 4;
    FUZZ_REQUIRE(length >= 54 && le32(bmp + 2) == length);
    FUZZ_REQUIRE(length == static_cast<std::uint64_t>(54 + stride * height));
    FUZZ_REQUIRE(le16(bmp) == 0x4D42 && le32(bmp + 6) == 0 && le32(bmp + 10) == 54 && le32(bmp + 14) == 40);
    FUZZ_REQUIRE(static_cast<std::int32_t>(le32(bmp + 18)) == width);
    FUZZ_REQUIRE(static_cast<std::int32_t>(le32(bmp + 22)) == height);
    FUZZ_REQUIRE(le16(bmp + 26) == 1 && le16(bmp + 28) == 24 && le32(bmp + 30) == 0);
    FUZZ_REQUIRE(le32(bmp + 34) == stride * height);
    for (int at = 38; at < 54; ++at) FUZZ_REQUIRE(bmp[at] == 0);

    const std::vector<bool> white = expected_white(pbm, pbm_size, width * height);
    for (std::int64_t y = 0; y < height; ++y) {
        const std::uint8_t* row = bmp + 54 + (height - 1 - y) * stride;  // bottom row stored first
        for (std::int64_t x = 0; x < width; ++x) {
            const std::uint8_t value = white[static_cast<std::size_t>(y * width + x)] ? 0xFF : 0x00;
            FUZZ_REQUIRE(row[3 * x] == value && row[3 * x + 1] == value && row[3 * x + 2] == value);
        }
        for (std::int64_t at = 3 * width; at < stride; ++at) FUZZ_REQUIRE(row[at] == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qpbm_fuzz::InputStream in(data, size);
    if (in.get() == nullptr) return 0;

    qpbm::PbmSource source;
    qpbm::Facts facts;
    if (qpbm::read_pbm_header(in.get(), source, facts) != qpbm::Status::ok) return 0;
    FUZZ_REQUIRE(qpbm::gather_pbm_pixels(in.get(), source, buffers) == qpbm::Status::ok);

    qpbm_fuzz::OutputStream out;
    FUZZ_REQUIRE(qpbm::write_bmp(in.get(), source, true, buffers, out.get()) == qpbm::Status::ok);
    out.finish();
    check_bmp(data, size, source, out.bytes(), out.size());
    return 0;
}

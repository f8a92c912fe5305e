// BMP to PBM on arbitrary bytes. Invariants beyond "no crash":
// - the write phase never fails on an input the check phase accepted, so a
//   refusal always comes before the first output byte;
// - the PBM is the three header lines, then exactly width x height tokens,
//   a line feed after every 30th token and nothing else;
// - each token is the threshold of the input pixel it stands for, located
//   here from the header fields decoded independently of the library.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "convert/convert.hpp"
#include "fuzz_support.hpp"

using qpbm_fuzz::le16;
using qpbm_fuzz::le32;

namespace {

qpbm::Bmp2PbmBuffers buffers;

bool is_white(const std::uint8_t* pixel) { return pixel[0] >= 100 && pixel[1] >= 100 && pixel[2] >= 100; }

void check_pbm(const std::uint8_t* bmp, const qpbm::BmpSource& source, const std::uint8_t* pbm, std::size_t length) {
    // What the header promises. The library accepted it, so it is at least 54 bytes long.
    const auto width = static_cast<std::int32_t>(le32(bmp + 18));
    const auto stored_height = static_cast<std::int32_t>(le32(bmp + 22));
    const std::int64_t height = std::llabs(stored_height);
    const std::uint64_t offset = le32(bmp + 10);
    const std::uint64_t stride = (static_cast<std::uint64_t>(width) * 3 + 3) / 4 * 4;
    FUZZ_REQUIRE(le16(bmp) == 0x4D42 && le16(bmp + 28) == 24 && le32(bmp + 30) == 0);
    FUZZ_REQUIRE(source.width == width && source.height == height);

    const std::string header =
        "P1\n# Created by Quorvel\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
    const std::uint64_t tokens = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    FUZZ_REQUIRE(length == header.size() + 2 * tokens + tokens / 30);
    FUZZ_REQUIRE(header.compare(0, header.size(), reinterpret_cast<const char*>(pbm), header.size()) == 0);

    const std::uint8_t* text = pbm + header.size();
    std::uint64_t k = 0;
    for (std::int64_t y = 0; y < height && width > 0; ++y) {
        const std::int64_t stored_row = stored_height < 0 ? y : height - 1 - y;
        const std::uint8_t* row = bmp + offset + static_cast<std::uint64_t>(stored_row) * stride;
        for (std::int32_t x = 0; x < width; ++x, ++k) {
            FUZZ_REQUIRE(*text++ == (is_white(row + 3 * x) ? '0' : '1'));
            FUZZ_REQUIRE(*text++ == ' ');
            if ((k + 1) % 30 == 0) FUZZ_REQUIRE(*text++ == '\n');
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qpbm_fuzz::InputStream in(data, size);
    if (in.get() == nullptr) return 0;

    qpbm::BmpSource source;
    qpbm::Facts facts;
    if (qpbm::read_bmp_source(in.get(), true, source, buffers, facts) != qpbm::Status::ok) return 0;

    qpbm_fuzz::OutputStream out;
    FUZZ_REQUIRE(qpbm::write_pbm(in.get(), source, true, buffers, out.get()) == qpbm::Status::ok);
    out.finish();
    check_pbm(data, source, out.bytes(), out.size());
    return 0;
}

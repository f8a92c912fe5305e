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

#include "bmp_reference.hpp"
#include "convert/convert.hpp"
#include "fuzz_support.hpp"

using qpbm_fuzz::le32;
using qpbm_fuzz::Reference;

namespace {

qpbm::Bmp2PbmBuffers buffers;

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

// PGM, PPM and PAM on arbitrary bytes into a raw PBM under the luma rule.
// The first byte is the threshold, the rest the picture. Invariants beyond
// "no crash":
// - a refusal of the write phase is one of a damaged or short raster;
// - the PBM is its header and exactly ceil(width / 8) bytes a row;
// - for P2, P3, P5 and P6 the reader accepts exactly what the reference
//   (pnm_reference.hpp) accepts, and every pixel is black exactly when the
//   reference's luma is under the threshold.
#include <cstdint>
#include <string>

#include "convert/convert.hpp"
#include "fuzz_support.hpp"
#include "pnm_reference.hpp"

namespace {

qpbm::Buffers buffers;

bool damaged(qpbm::Status s) {
    return s == qpbm::Status::pnm_bad_sample || s == qpbm::Status::pnm_sample_over_maxval ||
           s == qpbm::Status::pnm_damaged_sample || s == qpbm::Status::pnm_pixels_truncated;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const qpbm::Options options = qpbm_fuzz::luma_to_raw_pbm(data[0]);
    ++data, --size;
    const qpbm::ReaderKind* kind = qpbm::reader_for(data, size);
    if (kind == nullptr || kind->format != qpbm::Format::pnm) return 0;

    const qpbm_fuzz::InputStream in(data, size);
    if (in.get() == nullptr) return 0;
    qpbm_fuzz::OutputStream out;
    qpbm::Facts facts;
    qpbm::Status status;
    {
        qpbm::Conversion conversion;
        status = qpbm::check_conversion(conversion, *kind, in.get(), true, buffers, facts, options);
        if (status == qpbm::Status::ok) {
            status = qpbm::write_conversion(conversion, in.get(), out.get());
            FUZZ_REQUIRE(status == qpbm::Status::ok || damaged(status));
        }
    }
    out.finish();

    const bool netpbm = data[1] == '2' || data[1] == '3' || data[1] == '5' || data[1] == '6';
    if (status == qpbm::Status::too_many_pixels || !netpbm) return 0;
    const qpbm_fuzz::PnmPicture want = qpbm_fuzz::read_pnm_reference(data, size);
    FUZZ_REQUIRE(want.accepted == (status == qpbm::Status::ok));
    if (!want.accepted) return 0;

    const std::string header =
        "P4\n# Created by Quorvel\n" + std::to_string(want.width) + " " + std::to_string(want.height) + "\n";
    const std::uint64_t row = static_cast<std::uint64_t>(want.width + 7) / 8;
    FUZZ_REQUIRE(out.size() == header.size() + row * static_cast<std::uint64_t>(want.height));
    FUZZ_REQUIRE(header.compare(0, header.size(), reinterpret_cast<const char*>(out.bytes()), header.size()) == 0);
    const std::uint8_t* rows = out.bytes() + header.size();
    for (std::int64_t y = 0; y < want.height; ++y)
        for (std::int64_t x = 0; x < want.width; ++x) {
            const bool black = (rows[y * row + x / 8] >> (7 - x % 8)) & 1;
            FUZZ_REQUIRE(black == (want.luma[static_cast<std::size_t>(y * want.width + x)] < data[-1]));
        }
    return 0;
}

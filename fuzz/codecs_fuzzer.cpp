// The PNG, JPEG and TIFF readers on arbitrary bytes into a raw PBM under the
// luma rule. The first byte is the threshold, the rest the picture, whose
// first bytes pick the reader. Invariants beyond "no crash, no leak, no
// hang":
// - the check refuses or accepts; a refusal of the write phase is the
//   library's refusal of damaged data, never another status;
// - a written PBM is its header and exactly ceil(width / 8) bytes a row.
#include <cstdint>
#include <string>

#include "convert/codecs.hpp"
#include "convert/convert.hpp"
#include "fuzz_support.hpp"

namespace {

qpbm::Buffers buffers;

bool damaged(qpbm::Status s) {
    return s == qpbm::Status::png_refused || s == qpbm::Status::png_bad_palette_index ||
           s == qpbm::Status::jpeg_refused || s == qpbm::Status::jpeg_too_many_scans || s == qpbm::Status::tiff_refused;
}

bool codec(qpbm::Format f) { return f == qpbm::Format::png || f == qpbm::Format::jpeg || f == qpbm::Format::tiff; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool added = qpbm::add_codecs();
    if (!added || size < 5) return 0;
    const qpbm::Options options = qpbm_fuzz::luma_to_raw_pbm(data[0]);
    ++data, --size;
    const qpbm::ReaderKind* kind = qpbm::reader_for(data, size);
    if (kind == nullptr || !codec(kind->format)) return 0;

    const qpbm_fuzz::InputStream in(data, size);
    if (in.get() == nullptr) return 0;
    qpbm_fuzz::OutputStream out;
    qpbm::Facts facts;
    qpbm::Status status;
    std::int64_t width = 0, height = 0;
    {
        qpbm::Conversion conversion;
        status = qpbm::check_conversion(conversion, *kind, in.get(), true, buffers, facts, options);
        if (status == qpbm::Status::ok) {
            // The output as it lies: a recorded orientation may turn it.
            width = conversion.out_width;
            height = conversion.out_height;
            status = qpbm::write_conversion(conversion, in.get(), out.get());
            FUZZ_REQUIRE(status == qpbm::Status::ok || damaged(status));
        }
    }
    out.finish();
    if (status != qpbm::Status::ok) return 0;
    const std::string header =
        "P4\n# Created by Quorvel\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
    FUZZ_REQUIRE(out.size() ==
                 header.size() + static_cast<std::uint64_t>(width + 7) / 8 * static_cast<std::uint64_t>(height));
    return 0;
}

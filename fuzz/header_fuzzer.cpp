// The PBM header on arbitrary bytes after a magic ("P1" or "P4", chosen by
// the first byte), for both kinds of output. The check's status, width,
// height and format equal those of the reference reading in
// pbm_reference.hpp: the grammar, values over 2^31 - 1, the 4 GiB BMP limit
// and the 1000 x 1000 limit of an output that cannot seek. Inputs are at
// most 4 KiB: the grammar needs no more, and a header read near its 64 KiB
// limit takes milliseconds here (tests/pbm_reader_test.cpp takes the limit).
#include <cstdint>
#include <cstring>

#include "convert/convert.hpp"
#include "fuzz_support.hpp"
#include "pbm_reference.hpp"

namespace {

qpbm::Pbm2BmpBuffers buffers;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::uint8_t input[2 + 4 * 1024];
    if (size == 0 || size - 1 > sizeof input - 2) return 0;
    input[0] = 'P';
    input[1] = data[0] & 1 ? '4' : '1';
    std::memcpy(input + 2, data + 1, size - 1);
    const std::size_t length = size + 1;

    for (const bool seekable : {true, false}) {
        qpbm_fuzz::InputStream in(input, length);
        FUZZ_REQUIRE(in.get() != nullptr);
        qpbm::PbmSource source;
        qpbm::Facts facts;
        const qpbm::Status status = qpbm::read_pbm_source(in.get(), seekable, source, buffers, facts);
        const qpbm_fuzz::ReferenceHeader expected = qpbm_fuzz::reference_header(input, length, seekable);
        FUZZ_REQUIRE(status == expected.status);
        FUZZ_REQUIRE(facts.format != nullptr && facts.format[5] == (expected.raw ? 'r' : 'p'));
        if (status == qpbm::Status::ok || status == qpbm::Status::pbm_too_large ||
            status == qpbm::Status::pbm_too_large_for_pipe) {
            FUZZ_REQUIRE(facts.width == expected.width && facts.height == expected.height);
        }
        if (status == qpbm::Status::ok) {
            FUZZ_REQUIRE(source.width == expected.width && source.height == expected.height);
            FUZZ_REQUIRE(source.raw == expected.raw);
        }
    }
    return 0;
}

// qpbm_options.to through the shared library: any input to any output, an
// older caller's shorter options, and a format out of range.
#include <cstddef>

#include "library/qpbm.h"
#include "support.hpp"

namespace qpbm_test {
namespace {

Bytes convert_memory(const Bytes& input, const qpbm_options& options, qpbm_status& status) {
    std::uint64_t size = 0;
    status = qpbm_output_size(input.data(), input.size(), QPBM_DETECT, &options, nullptr, 0, &size, nullptr);
    if (status != QPBM_OK) return {};
    Bytes out(static_cast<std::size_t>(size));
    status = qpbm_convert_memory(input.data(), input.size(), out.data(), out.size(), &size, QPBM_DETECT, &options,
                                 nullptr, 0, nullptr);
    out.resize(static_cast<std::size_t>(size));
    return out;
}

TEST(ApiFormats, TheOutputFormatIsAnOptionOfEveryInput) {
    // 3 x 2: a white top row and a black bottom one.
    const Bytes bmp = make_bmp(3, 2, [](int, int y) { return y == 0 ? kWhite : kBlack; });
    const std::string p1 = "P1\n# Created by Quorvel\n3 2\n0 0 0 1 1 1 ";
    const Bytes plain(p1.begin(), p1.end());
    qpbm_options o;
    qpbm_options_init(&o);
    EXPECT_EQ(o.to, QPBM_FORMAT_AUTO);
    qpbm_status status;

    o.to = QPBM_FORMAT_BMP;
    EXPECT_TRUE(convert_memory(bmp, o, status) == bmp) << "a black and white BMP comes back as it was";
    EXPECT_EQ(status, QPBM_OK);
    o.to = QPBM_FORMAT_PBM;
    o.raw = 1;
    const std::string p4 = std::string("P4\n# Created by Quorvel\n3 2\n") + '\x00' + '\xE0';
    EXPECT_TRUE(convert_memory(plain, o, status) == Bytes(p4.begin(), p4.end()));
    EXPECT_EQ(status, QPBM_OK);

    // A caller built before the field: its output is the other format.
    o.size = offsetof(qpbm_options, to);
    o.raw = 0;
    EXPECT_TRUE(convert_memory(bmp, o, status) == plain);
    EXPECT_EQ(status, QPBM_OK);

    qpbm_options_init(&o);
    o.to = static_cast<qpbm_format>(3);
    convert_memory(bmp, o, status);
    EXPECT_EQ(status, QPBM_EINVALID_ARGUMENT);
}

}  // namespace
}  // namespace qpbm_test

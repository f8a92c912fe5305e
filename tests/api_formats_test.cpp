// qpbm_options.to and .compression through the shared library: any input to
// any output, an older caller's shorter options, and values out of range.
#include <cstddef>
#include <cstring>

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

TEST(ApiFormats, CompressionIsATiffWordOrAPngLevel) {
    const Bytes bmp = make_bmp(40, 9, [](int x, int y) { return (x / 4 + y) % 3 ? kWhite : kBlack; });
    qpbm_options o;
    qpbm_options_init(&o);
    EXPECT_EQ(o.compression, QPBM_COMPRESSION_DEFAULT);
    o.to = QPBM_FORMAT_PNG;
    qpbm_status status;
    const Bytes level6 = convert_memory(bmp, o, status);
    if (status != QPBM_OK) GTEST_SKIP() << "built without PNG output";
    o.compression = QPBM_COMPRESSION_ZLIB_6;
    EXPECT_TRUE(convert_memory(bmp, o, status) == level6) << "the default level is 6";
    o.compression = QPBM_COMPRESSION_ZLIB_0;
    const Bytes level0 = convert_memory(bmp, o, status);
    EXPECT_EQ(status, QPBM_OK);
    EXPECT_GT(level0.size(), level6.size()) << "level 0 stores the rows";
    // A TIFF word is another format's option, which a PNG output ignores.
    o.compression = QPBM_COMPRESSION_PACKBITS;
    EXPECT_TRUE(convert_memory(bmp, o, status) == level6);
    // A caller built before the field gets the default.
    o.compression = QPBM_COMPRESSION_ZLIB_0;
    o.size = offsetof(qpbm_options, compression);
    EXPECT_TRUE(convert_memory(bmp, o, status) == level6);

    for (const int bad : {-1, 6, 15, 26}) {
        SCOPED_TRACE(bad);
        qpbm_options_init(&o);
        o.to = QPBM_FORMAT_PNG;
        std::memcpy(&o.compression, &bad, sizeof bad);  // as a C caller may store any int
        convert_memory(bmp, o, status);
        EXPECT_EQ(status, QPBM_EINVALID_ARGUMENT);
    }
}

}  // namespace
}  // namespace qpbm_test

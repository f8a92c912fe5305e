// A TIFF output's resolution comes from its input. Each input is made here
// by its own rules (BMP's and PNG's fields by hand, JPEG and TIFF through
// libjpeg and libtiff) and the output read back with libtiff: dots per
// metre become a hundredth as many per centimetre, inches and centimetres
// stay, and an input without a resolution (or with only an aspect ratio)
// gives none of the three tags.
#include <tiffio.h>
#include <zlib.h>

#include <string>
#include <vector>

#ifdef QPBM_TEST_JPEG
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#endif

#include "convert/codecs.hpp"
#include "tests/conversion_support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Status;

const bool codecs_added = qpbm::add_codecs();

constexpr std::uint16_t kNone = 0;  // no resolution expected

Bytes bmp(std::uint32_t x_ppm, std::uint32_t y_ppm) {
    Bytes b = make_bmp(8, 2, [](int x, int y) { return (x + y) % 2 ? kWhite : kBlack; });
    put32(b, 38, x_ppm);  // biXPelsPerMeter
    put32(b, 42, y_ppm);
    return b;
}

void be32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

void chunk(Bytes& png, const char* type, const Bytes& data) {
    be32(png, static_cast<std::uint32_t>(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    be32(png, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

// An 8 x 1 grey PNG with a pHYs chunk of x and y pixels per unit.
Bytes png(std::uint32_t x, std::uint32_t y, std::uint8_t unit) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    be32(ihdr, 8), be32(ihdr, 1);
    ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});
    chunk(out, "IHDR", ihdr);
    Bytes phys;
    be32(phys, x), be32(phys, y), phys.push_back(unit);
    chunk(out, "pHYs", phys);
    const Bytes row = {0, 0, 40, 80, 120, 160, 200, 240, 255};
    uLongf size = compressBound(static_cast<uLong>(row.size()));
    Bytes idat(size);
    EXPECT_EQ(compress2(idat.data(), &size, row.data(), static_cast<uLong>(row.size()), 6), Z_OK);
    idat.resize(size);
    chunk(out, "IDAT", idat);
    chunk(out, "IEND", {});
    return out;
}

#ifdef QPBM_TEST_JPEG
// An 8 x 8 grey JPEG whose JFIF marker holds the density.
Bytes jpeg(std::uint16_t x, std::uint16_t y, std::uint8_t unit) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = c.image_height = 8;
    c.input_components = 1;
    c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    c.write_JFIF_header = TRUE;
    c.density_unit = unit;
    c.X_density = x;
    c.Y_density = y;
    jpeg_start_compress(&c, TRUE);
    JSAMPLE row[8] = {0, 255, 0, 255, 0, 255, 0, 255};
    JSAMPROW rows[] = {row};
    for (int i = 0; i < 8; ++i) jpeg_write_scanlines(&c, rows, 1);
    jpeg_finish_compress(&c);
    Bytes bytes(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return bytes;
}
#endif

// An 8 x 1 grey TIFF written by libtiff, with the resolution tags when unit
// is not 0.
Bytes tiff(float x, float y, std::uint16_t unit) {
    const std::string path = ::testing::TempDir() + "/resolution-input-" + std::to_string(getpid()) + ".tif";
    TIFF* t = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(t, nullptr);
    if (t == nullptr) return {};
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 8);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 1);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    if (unit != kNone) {
        TIFFSetField(t, TIFFTAG_XRESOLUTION, x);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, y);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, unit);
    }
    std::uint8_t row[8] = {0, 255, 0, 255, 0, 255, 0, 255};
    EXPECT_EQ(TIFFWriteScanline(t, row, 0, 0), 1);
    TIFFClose(t);
    return read_file(path);
}

TEST(TiffWriter, TheResolutionIsTheInputsOrNone) {
    struct Case {
        const char* what;
        Bytes input;
        std::uint16_t unit;  // RESUNIT_INCH or RESUNIT_CENTIMETER; kNone: no tag at all
        float x, y;
    };
    std::vector<Case> cases = {
        {"BMP, dots per metre", bmp(3780, 11811), RESUNIT_CENTIMETER, 37.8f, 118.11f},
        {"BMP, no resolution", bmp(0, 0), kNone, 0, 0},
        {"BMP, one axis only", bmp(3780, 0), kNone, 0, 0},
        {"PBM, which has none", text("P4\n8 1\n\x55"), kNone, 0, 0},
        {"PNG, dots per metre", png(2835, 5669, 1), RESUNIT_CENTIMETER, 28.35f, 56.69f},
        {"PNG, aspect ratio only", png(2, 1, 0), kNone, 0, 0},
        {"TIFF, inches", tiff(72, 96, RESUNIT_INCH), RESUNIT_INCH, 72, 96},
        {"TIFF, centimetres", tiff(37.8f, 0.5f, RESUNIT_CENTIMETER), RESUNIT_CENTIMETER, 37.8f, 0.5f},
        {"TIFF, aspect ratio only", tiff(2, 1, RESUNIT_NONE), kNone, 0, 0},
        {"TIFF, no resolution", tiff(0, 0, kNone), kNone, 0, 0},
    };
#ifdef QPBM_TEST_JPEG
    cases.push_back({"JPEG, dots per inch", jpeg(300, 150, 1), RESUNIT_INCH, 300, 150});
    cases.push_back({"JPEG, dots per centimetre", jpeg(118, 59, 2), RESUNIT_CENTIMETER, 118, 59});
    cases.push_back({"JPEG, aspect ratio only", jpeg(1, 1, 0), kNone, 0, 0});
#endif
    qpbm::Options options;
    options.to = qpbm::Format::tiff;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const qpbm::ReaderKind* kind = qpbm::reader_for(c.input.data(), c.input.size());
        ASSERT_NE(kind, nullptr);
        const Outcome o = run_checked(c.input, [&](qpbm::Conversion& conversion, std::FILE* in, qpbm::Facts& facts) {
            return qpbm::check_conversion(conversion, *kind, in, true, test_buffers(), facts, options);
        });
        ASSERT_EQ(o.status, Status::ok);
        const std::string path = ::testing::TempDir() + "/resolution-output-" + std::to_string(getpid()) + ".tif";
        write_file(path, o.bytes);
        TIFF* t = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(t, nullptr);
        float x = 0, y = 0;
        std::uint16_t unit = kNone;
        const int has_x = TIFFGetField(t, TIFFTAG_XRESOLUTION, &x);
        const int has_y = TIFFGetField(t, TIFFTAG_YRESOLUTION, &y);
        const int has_unit = TIFFGetField(t, TIFFTAG_RESOLUTIONUNIT, &unit);
        TIFFClose(t);
        if (c.unit == kNone) {
            EXPECT_EQ(has_x + has_y + has_unit, 0) << "no resolution tag";
            continue;
        }
        ASSERT_TRUE(has_x && has_y && has_unit);
        EXPECT_EQ(unit, c.unit);
        EXPECT_FLOAT_EQ(x, c.x);
        EXPECT_FLOAT_EQ(y, c.y);
    }
}

}  // namespace
}  // namespace qpbm_test

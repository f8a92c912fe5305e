// Upright, turned, flipped. Each stored picture is made from an upright one
// by the words of the orientation tag ("the 0th row is the visual right-hand
// side, the 0th column the visual top"), written losslessly (a TIFF with tag
// 274 through libtiff, a PNG with eXIf by hand), and its output under luma
// must be that of the upright picture. The options' turns are checked
// against the picture each describes; resolutions are read back from the
// outputs.
#include <tiffio.h>
#include <zlib.h>

#include <functional>
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
#include "read/exif.hpp"
#include "tests/conversion_support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Status;

const bool codecs_added = qpbm::add_codecs();

// A grey picture: its size and a sample at (x, y).
struct Grey {
    int width, height;
    std::function<std::uint8_t(int, int)> at;
};

// Uneven in both directions, so that any turn or flip shows.
const Grey kUpright{19, 11, [](int x, int y) { return static_cast<std::uint8_t>((x * 31 + y * 17 + x * y) % 7 * 40); }};

// The picture stored under orientation o, from what the tag's value says
// of its 0th row and 0th column.
Grey stored_as(const Grey& p, unsigned o) {
    const int w = p.width, h = p.height;
    auto at = p.at;
    switch (o) {
        case 2: return {w, h, [=](int c, int r) { return at(w - 1 - c, r); }};          // row 0 top, column 0 right
        case 3: return {w, h, [=](int c, int r) { return at(w - 1 - c, h - 1 - r); }};  // bottom, right
        case 4: return {w, h, [=](int c, int r) { return at(c, h - 1 - r); }};          // bottom, left
        case 5: return {h, w, [=](int c, int r) { return at(r, c); }};                  // left, top
        case 6: return {h, w, [=](int c, int r) { return at(w - 1 - r, c); }};          // right, top
        case 7: return {h, w, [=](int c, int r) { return at(w - 1 - r, h - 1 - c); }};  // right, bottom
        case 8: return {h, w, [=](int c, int r) { return at(r, h - 1 - c); }};          // left, bottom
        default: return p;
    }
}

Bytes pgm(const Grey& p) {
    Bytes b = text("P5\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n255\n");
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) b.push_back(p.at(x, y));
    return b;
}

Bytes tiff(const Grey& p, unsigned orientation, float x_dpi = 0, float y_dpi = 0) {
    const std::string path = ::testing::TempDir() + "/orient-input-" + std::to_string(getpid()) + ".tif";
    TIFF* t = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(t, nullptr);
    if (t == nullptr) return {};
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
    if (x_dpi > 0) {
        TIFFSetField(t, TIFFTAG_XRESOLUTION, x_dpi);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, y_dpi);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    }
    std::vector<std::uint8_t> row(static_cast<std::size_t>(p.width));
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) row[static_cast<std::size_t>(x)] = p.at(x, y);
        EXPECT_EQ(TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y), 0), 1);
    }
    TIFFClose(t);
    return read_file(path);
}

void be32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

// The EXIF TIFF structure of one directory: (tag, type, count 1, value or
// offset) entries, in either byte order, the rationals' values after it.
Bytes exif(unsigned orientation, bool big_endian = true) {
    Bytes b;
    auto u16 = [&](unsigned v) {
        const std::uint8_t hi = static_cast<std::uint8_t>(v >> 8), lo = static_cast<std::uint8_t>(v);
        b.insert(b.end(), big_endian ? std::initializer_list<std::uint8_t>{hi, lo}
                                     : std::initializer_list<std::uint8_t>{lo, hi});
    };
    auto u32 = [&](std::uint32_t v) {
        if (big_endian)
            u16(v >> 16), u16(v & 0xFFFF);
        else
            u16(v & 0xFFFF), u16(v >> 16);
    };
    b.insert(b.end(),
             {big_endian ? std::uint8_t{'M'} : std::uint8_t{'I'}, big_endian ? std::uint8_t{'M'} : std::uint8_t{'I'}});
    u16(42), u32(8);
    u16(1);  // one entry
    u16(274), u16(3), u32(1), u16(orientation), u16(0);
    u32(0);  // no next directory
    return b;
}

void chunk(Bytes& png, const char* type, const Bytes& data) {
    be32(png, static_cast<std::uint32_t>(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    be32(png, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

// An 8-bit grey PNG, with an eXIf chunk holding `exif_bytes` when not empty.
Bytes png(const Grey& p, const Bytes& exif_bytes) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    be32(ihdr, static_cast<std::uint32_t>(p.width)), be32(ihdr, static_cast<std::uint32_t>(p.height));
    ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});
    chunk(out, "IHDR", ihdr);
    if (!exif_bytes.empty()) chunk(out, "eXIf", exif_bytes);
    Bytes raw;
    for (int y = 0; y < p.height; ++y) {
        raw.push_back(0);  // no filter
        for (int x = 0; x < p.width; ++x) raw.push_back(p.at(x, y));
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes idat(size);
    EXPECT_EQ(compress2(idat.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6), Z_OK);
    idat.resize(size);
    chunk(out, "IDAT", idat);
    chunk(out, "IEND", {});
    return out;
}

qpbm::Options luma() {
    qpbm::Options o;
    o.method = qpbm::Method::luma;
    o.threshold = qpbm::kDefaultLumaThreshold;
    return o;
}

Bytes p4(const Bytes& input, const qpbm::Options& options) {
    const Outcome o = run_to_p4(input, options);
    EXPECT_EQ(o.status, Status::ok);
    return o.bytes;
}

TEST(Orientation, EveryTaggedLayoutComesOutUpright) {
    const Bytes upright = p4(pgm(kUpright), luma());
    for (unsigned o = 1; o <= 8; ++o) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        const Grey stored = stored_as(kUpright, o);
        EXPECT_EQ(p4(tiff(stored, o), luma()), upright) << "TIFF tag 274";
        EXPECT_EQ(p4(png(stored, exif(o, o % 2 == 0)), luma()), upright) << "PNG eXIf";
        // The other methods that decide a pixel by its surroundings alone.
        for (const qpbm::Method m : {qpbm::Method::otsu, qpbm::Method::sauvola}) {
            qpbm::Options other;
            other.method = m;
            EXPECT_EQ(p4(tiff(stored, o), other), p4(pgm(kUpright), other)) << "method " << static_cast<int>(m);
        }
        qpbm::Options kept = luma();
        kept.auto_orient = false;
        EXPECT_EQ(p4(tiff(stored, o), kept), p4(pgm(stored), luma())) << "--no-auto-orient: as stored";
    }
}

TEST(Orientation, AnUnreadableOrientationLeavesThePictureAsStored) {
    const Bytes stored = p4(pgm(kUpright), luma());
    Bytes truncated = exif(6);
    truncated.resize(14);  // the entry cut off
    Bytes long_type = exif(6);
    long_type[11] = 4;  // LONG, which Orientation is not
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"value 0", exif(0)},
        {"value 9", exif(9)},
        {"cut short", truncated},
        {"a LONG", long_type},
        {"not TIFF", text("Exif\0\0MM")},
        {"no eXIf", {}},
    };
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(p4(png(kUpright, bytes), luma()), stored);
    }
}

#ifdef QPBM_TEST_JPEG
// A grey JPEG of 8 x 8 blocks of black and white (which come back within a
// few levels), with an EXIF APP1 of the orientation.
Bytes jpeg(const Grey& p, unsigned orientation) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(p.width);
    c.image_height = static_cast<JDIMENSION>(p.height);
    c.input_components = 1;
    c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_start_compress(&c, TRUE);
    Bytes app1 = text(std::string("Exif\0\0", 6));
    const Bytes body = exif(orientation, false);
    app1.insert(app1.end(), body.begin(), body.end());
    jpeg_write_marker(&c, JPEG_APP0 + 1, app1.data(), static_cast<unsigned>(app1.size()));
    std::vector<JSAMPLE> row(static_cast<std::size_t>(p.width));
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) row[static_cast<std::size_t>(x)] = p.at(x, y);
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    Bytes bytes(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return bytes;
}

TEST(Orientation, AJpegsExifOrientationIsUndone) {
    const Grey blocks{24, 16,
                      [](int x, int y) { return static_cast<std::uint8_t>((x / 8 + 2 * (y / 8)) % 3 ? 255 : 0); }};
    const Bytes upright = p4(pgm(blocks), luma());
    for (const unsigned o : {3u, 6u, 8u}) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        EXPECT_EQ(p4(jpeg(stored_as(blocks, o), o), luma()), upright);
    }
}
#endif

TEST(Orientation, TurnsFlipsAndMirrorsComposeInTheirOrder) {
    const Grey& p = kUpright;
    const int w = p.width, h = p.height;
    auto at = p.at;
    struct Case {
        const char* what;
        unsigned orientation;
        unsigned rotate;
        bool flip, mirror;
        Grey expected;
    };
    const Case cases[] = {
        {"rotate 90", 1, 90, false, false, {h, w, [=](int x, int y) { return at(y, h - 1 - x); }}},
        {"rotate 180", 1, 180, false, false, {w, h, [=](int x, int y) { return at(w - 1 - x, h - 1 - y); }}},
        {"rotate 270", 1, 270, false, false, {h, w, [=](int x, int y) { return at(w - 1 - y, x); }}},
        {"flip", 1, 0, true, false, {w, h, [=](int x, int y) { return at(x, h - 1 - y); }}},
        {"mirror", 1, 0, false, true, {w, h, [=](int x, int y) { return at(w - 1 - x, y); }}},
        {"rotate 90, mirror: the transpose", 1, 90, false, true, {h, w, [=](int x, int y) { return at(y, x); }}},
        {"rotate 90, flip, mirror: rotate 270",
         1,
         90,
         true,
         true,
         {h, w, [=](int x, int y) { return at(w - 1 - y, x); }}},
        {"flip and mirror: rotate 180",
         1,
         0,
         true,
         true,
         {w, h, [=](int x, int y) { return at(w - 1 - x, h - 1 - y); }}},
        {"orientation 6, then rotate 270: as stored", 6, 270, false, false, stored_as(p, 6)},
        {"orientation 3, then flip: the upright picture flipped",
         3,
         0,
         true,
         false,
         {w, h, [=](int x, int y) { return at(x, h - 1 - y); }}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qpbm::Options o = luma();
        o.rotate = c.rotate;
        o.flip = c.flip;
        o.mirror = c.mirror;
        EXPECT_EQ(p4(tiff(stored_as(p, c.orientation), c.orientation), o), p4(pgm(c.expected), luma()));
    }
}

// The turn against every width's padding and the 8 x 8 blocks' edges, on
// a bits input (a PBM) under each of the eight layouts.
TEST(Orientation, EveryLayoutOfEverySizeAgreesWithItsPicture) {
    for (const auto& [w, h] : {std::pair{1, 1}, {1, 9}, {9, 1}, {8, 8}, {17, 23}, {70, 3}}) {
        const Grey p{w, h,
                     [](int x, int y) { return static_cast<std::uint8_t>((x * 5 + y * 3 + x * y) % 3 ? 255 : 0); }};
        for (unsigned o = 1; o <= 8; ++o) {
            SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h) + ", orientation " + std::to_string(o));
            EXPECT_EQ(p4(tiff(stored_as(p, o), o), luma()), p4(pgm(p), luma()));
        }
    }
}

struct ReadBack {
    float x = 0, y = 0;
};

ReadBack tiff_resolution(const Bytes& bytes) {
    const std::string path = ::testing::TempDir() + "/orient-output-" + std::to_string(getpid()) + ".tif";
    write_file(path, bytes);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    ReadBack r;
    if (t == nullptr) return r;
    TIFFGetField(t, TIFFTAG_XRESOLUTION, &r.x);
    TIFFGetField(t, TIFFTAG_YRESOLUTION, &r.y);
    TIFFClose(t);
    return r;
}

std::uint32_t be32_at(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}
std::uint32_t le32_at(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at + 3]} << 24 | std::uint32_t{b[at + 2]} << 16 | std::uint32_t{b[at + 1]} << 8 | b[at];
}

Outcome convert_to(const Bytes& input, qpbm::Options options, qpbm::Format to) {
    options.to = to;
    return run_checked(input, [&](qpbm::Conversion& c, std::FILE* in, qpbm::Facts& facts) {
        return qpbm::check_conversion(c, *qpbm::reader_for(input.data(), input.size()), in, true, test_buffers(), facts,
                                      options);
    });
}

// Dots per inch as BMP and PNG store them: per metre, rounded.
constexpr std::uint32_t per_metre(double dpi) { return static_cast<std::uint32_t>(dpi / 0.0254 + 0.5); }

TEST(Resolution, AQuarterTurnSwapsItsAxesAndDpiSetsIt) {
    struct Case {
        const char* what;
        unsigned orientation, rotate;
        std::uint32_t dpi_x, dpi_y;
        double x, y;  // the output's dots per inch
    };
    const Case cases[] = {
        {"as stored", 1, 0, 0, 0, 100, 300},
        {"orientation 6", 6, 0, 0, 0, 300, 100},
        {"orientation 3", 3, 0, 0, 0, 100, 300},
        {"rotate 270", 1, 270, 0, 0, 300, 100},
        {"orientation 8, rotate 90", 8, 90, 0, 0, 100, 300},
        {"--dpi 203", 6, 0, 203, 203, 203, 203},
        {"--dpi 600,300 on the output's axes", 6, 90, 600, 300, 600, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qpbm::Options o = luma();
        o.rotate = c.rotate;
        o.dpi_x = c.dpi_x;
        o.dpi_y = c.dpi_y;
        const Bytes input = tiff(stored_as(kUpright, c.orientation), c.orientation, 100, 300);
        const Outcome t = convert_to(input, o, qpbm::Format::tiff);
        ASSERT_EQ(t.status, Status::ok);
        const ReadBack r = tiff_resolution(t.bytes);
        EXPECT_FLOAT_EQ(r.x, static_cast<float>(c.x));
        EXPECT_FLOAT_EQ(r.y, static_cast<float>(c.y));
        const Outcome b = convert_to(input, o, qpbm::Format::bmp);
        ASSERT_EQ(b.status, Status::ok);
        EXPECT_EQ(le32_at(b.bytes, 38), per_metre(c.x)) << "biXPelsPerMeter";
        EXPECT_EQ(le32_at(b.bytes, 42), per_metre(c.y)) << "biYPelsPerMeter";
        const Outcome p = convert_to(input, o, qpbm::Format::png);
        ASSERT_EQ(p.status, Status::ok);
        // IHDR is 8 + 25 bytes; pHYs follows: length, type, x, y, unit.
        ASSERT_GT(p.bytes.size(), 54u);
        EXPECT_EQ(std::string(p.bytes.begin() + 37, p.bytes.begin() + 41), "pHYs");
        EXPECT_EQ(be32_at(p.bytes, 41), per_metre(c.x));
        EXPECT_EQ(be32_at(p.bytes, 45), per_metre(c.y));
        EXPECT_EQ(p.bytes[49], 1) << "the metre";
    }
}

TEST(Resolution, AnOutputOfAPictureWithoutOneHasNone) {
    const Outcome b = convert_to(pgm(kUpright), luma(), qpbm::Format::bmp);
    ASSERT_EQ(b.status, Status::ok);
    EXPECT_EQ(le32_at(b.bytes, 38), 0u);
    EXPECT_EQ(le32_at(b.bytes, 42), 0u);
    const Outcome p = convert_to(pgm(kUpright), luma(), qpbm::Format::png);
    ASSERT_EQ(p.status, Status::ok);
    EXPECT_EQ(std::string(p.bytes.begin() + 37, p.bytes.begin() + 41), "IDAT");
}

TEST(Exif, FieldsAreReadInEitherByteOrderAndNothingPastTheEnd) {
    for (const bool big : {true, false}) {
        SCOPED_TRACE(big ? "MM" : "II");
        for (unsigned o = 0; o <= 9; ++o) {
            const Bytes b = exif(o, big);
            EXPECT_EQ(qpbm::parse_exif(b.data(), b.size()).orientation, o >= 1 && o <= 8 ? o : 0u);
        }
        const Bytes whole = exif(6, big);
        for (std::size_t length = 0; length <= whole.size() - 4; ++length)  // to the end of the entry
            EXPECT_EQ(qpbm::parse_exif(whole.data(), length).orientation, length >= 22 ? 6u : 0u) << length;
    }
    Bytes far = exif(6);
    far[7] = 0xF0;  // the directory past the end
    EXPECT_EQ(qpbm::parse_exif(far.data(), far.size()).orientation, 0u);
}

}  // namespace
}  // namespace qpbm_test

// TIFF in and out through the joiner. Inputs are built here from the TIFF
// layout (little-endian, uncompressed strips): the sample rules, bilevel
// pictures as bits, pages, and one refusal each. Outputs are read back with
// libtiff, their fields and their strips. Compressions, tiles and the files
// other programs write are checked by tests/interop/tiff_files.py.
#include "write/tiff.hpp"

#include <tiffio.h>

#include <string>
#include <vector>

#include "convert/codecs.hpp"
#include "tests/conversion_support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Status;

const bool codecs_added = qpbm::add_codecs();

struct Page {
    std::uint32_t width = 1, height = 1;
    std::uint16_t bits = 8, samples = 1, photometric = 1, planar = 1;
    Bytes strip;  // every row, packed, each from a whole byte
};

void le(Bytes& b, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Pages one after another: each its strip, then its directory.
Bytes tiff(const std::vector<Page>& pages) {
    Bytes b = {'I', 'I', 42, 0};
    le(b, 0, 4);  // the first directory's offset, set below
    std::size_t link = 4;
    for (const Page& p : pages) {
        const std::size_t strip = b.size();
        b.insert(b.end(), p.strip.begin(), p.strip.end());
        if (b.size() % 2) b.push_back(0);
        const std::size_t bits_at = b.size();
        for (int i = 0; i < p.samples; ++i) le(b, p.bits, 2);
        const std::size_t directory = b.size();
        for (int i = 0; i < 4; ++i) b[link + i] = static_cast<std::uint8_t>(directory >> (8 * i));
        struct Entry {
            std::uint16_t tag, type;
            std::uint32_t count, value;
        };
        const std::vector<Entry> entries = {
            {256, 4, 1, p.width},
            {257, 4, 1, p.height},
            {258, 3, p.samples, p.samples == 1 ? p.bits : static_cast<std::uint32_t>(bits_at)},
            {259, 3, 1, 1},
            {262, 3, 1, p.photometric},
            {273, 4, 1, static_cast<std::uint32_t>(strip)},
            {277, 3, 1, p.samples},
            {278, 4, 1, p.height},
            {279, 4, 1, static_cast<std::uint32_t>(p.strip.size())},
            {284, 3, 1, p.planar},
        };
        le(b, entries.size(), 2);
        for (const Entry& e : entries) {
            le(b, e.tag, 2), le(b, e.type, 2), le(b, e.count, 4);
            le(b, e.value, e.type == 3 && e.count == 1 ? 2 : 4);
            if (e.type == 3 && e.count == 1) le(b, 0, 2);
        }
        link = b.size();
        le(b, 0, 4);
    }
    return b;
}

Bytes p4(const Page& p, const std::vector<bool>& black) {
    Bytes out = text("P4\n# Created by Quorvel\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n");
    for (std::uint32_t y = 0; y < p.height; ++y)
        for (std::uint32_t x = 0; x < p.width; x += 8) {
            std::uint8_t byte = 0;
            for (std::uint32_t k = 0; k < 8 && x + k < p.width; ++k)
                if (black[y * p.width + x + k]) byte |= 0x80 >> k;
            out.push_back(byte);
        }
    return out;
}

qpbm::Options luma() {
    qpbm::Options o;
    o.method = qpbm::Method::luma;
    o.threshold = 128;
    return o;
}

TEST(TiffReader, BilevelIsReadAsBitsEitherWayRound) {
    Page p{11, 3, 1, 1, 0, 1, {}};
    std::vector<bool> ones;
    for (std::uint32_t y = 0; y < p.height; ++y) {
        for (int i = 0; i < 2; ++i) p.strip.push_back(static_cast<std::uint8_t>(0xA5 ^ (y * 37 + i * 11)));
        for (std::uint32_t x = 0; x < p.width; ++x) ones.push_back((p.strip[y * 2 + x / 8] >> (7 - x % 8)) & 1);
    }
    std::vector<bool> zeros(ones.size());
    for (std::size_t i = 0; i < ones.size(); ++i) zeros[i] = !ones[i];
    const Outcome white_is_zero = run_to_p4(tiff({p}), luma());
    ASSERT_EQ(white_is_zero.status, Status::ok);
    EXPECT_EQ(white_is_zero.bytes, p4(p, ones));
    p.photometric = 1;  // MinIsBlack: 1 is white
    const Outcome black_is_zero = run_to_p4(tiff({p}), luma());
    ASSERT_EQ(black_is_zero.status, Status::ok);
    EXPECT_EQ(black_is_zero.bytes, p4(p, zeros));
}

TEST(TiffReader, AReaderThreadWritesTheSameBytes) {
    // Grey values, and bilevel bits.
    for (const std::uint16_t bits : {8, 1}) {
        Page p{700, 500, bits, 1, 1, 1, {}};
        const std::size_t row_bytes = (std::size_t{p.width} * bits + 7) / 8;
        for (std::size_t i = 0; i < row_bytes * p.height; ++i)
            p.strip.push_back(static_cast<std::uint8_t>(i * 7 + i / row_bytes * 13));
        expect_same_bytes_in_thread(tiff({p}));
    }
}

TEST(TiffReader, GreySamplesScaleByTheRuleAndPagesAreChosen) {
    // 2-bit grey: 0, 1, 2, 3 are 0, 85, 170, 255; luma at 128 makes 0 and 1 black.
    Page grey{8, 1, 2, 1, 1, 1, {0x1B, 0xE4}};  // 0 1 2 3 3 2 1 0
    const std::vector<bool> grey_black = {true, true, false, false, false, false, true, true};
    Page white_is_zero = grey;
    white_is_zero.photometric = 0;  // M - v first
    std::vector<bool> inverse(grey_black.size());
    for (std::size_t i = 0; i < grey_black.size(); ++i) inverse[i] = !grey_black[i];
    const Bytes two_pages = tiff({grey, white_is_zero});
    qpbm::Options options = luma();
    Outcome first = run_to_p4(two_pages, options);
    ASSERT_EQ(first.status, Status::ok);
    EXPECT_EQ(first.bytes, p4(grey, grey_black));
    options.page = 1;
    Outcome second = run_to_p4(two_pages, options);
    ASSERT_EQ(second.status, Status::ok);
    EXPECT_EQ(second.bytes, p4(white_is_zero, inverse));
    options.page = 2;
    EXPECT_EQ(run_to_p4(two_pages, options).status, Status::tiff_no_page);
}

TEST(TiffReader, HostileFilesAreRefused) {
    const Page good{40, 30, 8, 1, 1, 1, Bytes(1200, 0x80)};
    Page planes{4, 4, 8, 3, 2, 2, Bytes(48, 1)};  // RGB in separate planes
    Page ycbcr{4, 4, 8, 3, 6, 1, Bytes(48, 1)};   // YCbCr, not JPEG
    Page huge = good;
    huge.width = huge.height = 60000;
    Page wide{20000000, 1, 16, 3, 2, 1, Bytes(16, 0)};  // a 120 MB row
    const Bytes whole = tiff({good});
    struct Case {
        const char* what;
        Bytes file;
        Status status;
        std::uint64_t max_pixels = 0;
    };
    const Case cases[] = {
        {"truncated strip", Bytes(whole.begin(), whole.begin() + 700), Status::tiff_refused},
        {"no directory", Bytes{'I', 'I', 42, 0, 0xFF, 0xFF, 0, 0}, Status::tiff_refused},
        {"separate planes", tiff({planes}), Status::tiff_unsupported},
        {"YCbCr", tiff({ycbcr}), Status::tiff_unsupported},
        {"60000 x 60000 over the strip of 40 x 30", tiff({huge}), Status::tiff_refused},
        {"row", tiff({wide}), Status::tiff_too_large},
        {"max_pixels", whole, Status::too_many_pixels, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qpbm::Options o = luma();
        o.max_pixels = c.max_pixels;
        const Outcome outcome = run_to_p4(c.file, o);
        EXPECT_EQ(outcome.status, c.status);
        if (c.status == Status::tiff_refused) {
            EXPECT_NE(outcome.facts.library_text[0], '\0');
        }
    }
}

// ---- the writer -------------------------------------------------------------

Outcome to_tiff(const Bytes& pbm, qpbm::TiffCompression compression, bool seekable = true) {
    qpbm::Options options;
    options.to = qpbm::Format::tiff;
    options.tiff_compression = compression;
    return run_checked(pbm, [&](qpbm::Conversion& c, std::FILE* in, qpbm::Facts& facts) {
        return qpbm::check_conversion(c, *qpbm::reader_for(pbm.data(), pbm.size()), in, seekable, test_buffers(), facts,
                                      options);
    });
}

TEST(TiffWriter, OnePageOfOneBitMinIsWhiteWhoseStripsDecode) {
    const std::uint32_t width = 1203, height = 600;  // two strips, a row past whole bytes
    Bytes pbm = text("P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n");
    const std::size_t header = pbm.size(), stride = (width + 7) / 8;
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::size_t i = 0; i < stride; ++i) {
            std::uint8_t byte = static_cast<std::uint8_t>((i * 29 + y * 13) % 251 > 120 ? 0xF0 >> (y % 4) : i + y);
            if (i + 1 == stride) byte &= static_cast<std::uint8_t>(0xFF00u >> (width % 8));
            pbm.push_back(byte);
        }
    const std::pair<qpbm::TiffCompression, std::uint16_t> kinds[] = {
        {qpbm::TiffCompression::g4, COMPRESSION_CCITTFAX4},
        {qpbm::TiffCompression::packbits, COMPRESSION_PACKBITS},
        {qpbm::TiffCompression::none, COMPRESSION_NONE}};
    for (const auto& [compression, tag] : kinds) {
        SCOPED_TRACE(tag);
        const Outcome o = to_tiff(pbm, compression);
        ASSERT_EQ(o.status, Status::ok);
        EXPECT_LE(o.bytes.size(), qpbm::kTiffWriter.encoded_size(width, height, qpbm::Options{}) + 2 * stride * height);
        const std::string path = ::testing::TempDir() + "/written.tif";
        write_file(path, o.bytes);
        TIFF* t = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(t, nullptr);
        std::uint32_t w = 0, h = 0, rows = 0;
        std::uint16_t bits = 0, samples = 0, photometric = 9, stored = 0;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetField(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetField(t, TIFFTAG_COMPRESSION, &stored);
        TIFFGetField(t, TIFFTAG_ROWSPERSTRIP, &rows);
        EXPECT_EQ(std::vector<std::uint32_t>({w, h, bits, samples, photometric, stored}),
                  std::vector<std::uint32_t>({width, height, 1, 1, PHOTOMETRIC_MINISWHITE, tag}));
        EXPECT_LE(rows * stride, qpbm::kTiffStripBytes);
        EXPECT_GT(TIFFNumberOfStrips(t), 1u);
        std::vector<std::uint8_t> row(stride);
        for (std::uint32_t y = 0; y < height; ++y) {
            ASSERT_EQ(TIFFReadScanline(t, row.data(), y, 0), 1);
            row.back() &= static_cast<std::uint8_t>(0xFF00u >> (width % 8));
            ASSERT_TRUE(std::equal(row.begin(), row.end(), pbm.begin() + static_cast<long>(header + y * stride)))
                << "row " << y;
        }
        EXPECT_EQ(TIFFReadDirectory(t), 0) << "one page";
        TIFFClose(t);
    }
}

TEST(TiffWriter, RefusesPipesAndEmptyPictures) {
    EXPECT_EQ(to_tiff(text("P4\n8 1\n\x0F"), qpbm::TiffCompression::g4, false).status, Status::tiff_needs_file);
    EXPECT_EQ(to_tiff(text("P4\n0 1\n"), qpbm::TiffCompression::g4).status, Status::tiff_empty_picture);
}

}  // namespace
}  // namespace qpbm_test

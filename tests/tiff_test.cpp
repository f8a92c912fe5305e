// TIFF in and out through the joiner. Inputs are built here from the TIFF
// layout (little-endian, uncompressed strips): the sample rules, bilevel
// pictures as bits, pages, and one refusal each. Outputs are read back with
// libtiff, their fields and their strips. Compressions, tiles and the files
// other programs write are checked by tests/interop/tiff_files.py.
#include "write/tiff.hpp"

#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/codecs.hpp"
#include "library/file_convert.hpp"
#include "library/memory_convert.hpp"
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
    EXPECT_EQ(run_to_p4(two_pages, options).status, Status::no_such_page);
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

// A page in tiles of the given size, which the TIFF rules ask to be
// multiples of 16 and libtiff reads at any size: the tiles, their offsets
// and byte counts, then the directory.
Bytes tiled(const Page& p, std::uint32_t tile_width, std::uint32_t tile_height) {
    const std::size_t row_bits = std::size_t{p.width} * p.bits * p.samples;
    const std::size_t tile_bits = std::size_t{tile_width} * p.bits * p.samples;
    const std::size_t tile_row = (tile_bits + 7) / 8;
    Bytes b = {'I', 'I', 42, 0};
    le(b, 0, 4);
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t top = 0; top < p.height; top += tile_height)
        for (std::uint32_t left = 0; left < p.width; left += tile_width) {
            offsets.push_back(static_cast<std::uint32_t>(b.size()));
            Bytes tile(tile_row * tile_height, 0);
            for (std::uint32_t r = 0; r < tile_height && top + r < p.height; ++r)
                for (std::size_t bit = 0; bit < tile_bits; ++bit) {
                    const std::size_t x = left * std::size_t{p.bits} * p.samples + bit;
                    const std::size_t from = (top + r) * ((row_bits + 7) / 8 * 8) + x;
                    if (x < row_bits && (p.strip[from / 8] >> (7 - from % 8) & 1))
                        tile[r * tile_row + bit / 8] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
                }
            b.insert(b.end(), tile.begin(), tile.end());
        }
    const std::size_t offsets_at = b.size();
    for (const std::uint32_t o : offsets) le(b, o, 4);
    const std::size_t counts_at = b.size();
    for (std::size_t i = 0; i < offsets.size(); ++i) le(b, tile_row * tile_height, 4);
    const std::size_t bits_at = b.size();
    for (int i = 0; i < p.samples; ++i) le(b, p.bits, 2);
    const std::size_t directory = b.size();
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<std::uint8_t>(directory >> (8 * i));
    const auto count = static_cast<std::uint32_t>(offsets.size());
    const std::uint32_t entries[][4] = {
        {256, 4, 1, p.width},
        {257, 4, 1, p.height},
        {258, 3, p.samples, p.samples == 1 ? p.bits : static_cast<std::uint32_t>(bits_at)},
        {259, 3, 1, 1},
        {262, 3, 1, p.photometric},
        {277, 3, 1, p.samples},
        {284, 3, 1, 1},
        {322, 4, 1, tile_width},
        {323, 4, 1, tile_height},
        {324, 4, count, count == 1 ? offsets[0] : static_cast<std::uint32_t>(offsets_at)},
        {325, 4, count,
         count == 1 ? static_cast<std::uint32_t>(tile_row * tile_height) : static_cast<std::uint32_t>(counts_at)},
    };
    le(b, std::size(entries), 2);
    for (const auto& e : entries) le(b, e[0], 2), le(b, e[1], 2), le(b, e[2], 4), le(b, e[3], 4);
    le(b, 0, 4);
    return b;
}

// Tiles decode to the pixels of the same page in one strip, whatever their
// width: one that ends within a byte is joined to the next bit by bit.
TEST(TiffReader, TilesOfAnyWidthJoinAsTheStripDoes) {
    struct Case {
        std::uint16_t bits, samples, photometric;
        std::uint32_t tile_width, tile_height;
    };
    const Case cases[] = {
        {1, 1, 0, 4, 4}, {1, 1, 1, 16, 16}, {1, 1, 0, 3, 5}, {2, 1, 1, 6, 2}, {4, 1, 1, 3, 4}, {8, 3, 2, 5, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, tiles " + std::to_string(c.tile_width));
        Page p{21, 9, c.bits, c.samples, c.photometric, 1, {}};
        const std::size_t row_bytes = (std::size_t{p.width} * c.bits * c.samples + 7) / 8;
        for (std::size_t i = 0; i < row_bytes * p.height; ++i)
            p.strip.push_back(static_cast<std::uint8_t>(i * 97 + 31));
        const Outcome strip = run_to_p4(tiff({p}), luma());
        const Outcome tiles = run_to_p4(tiled(p, c.tile_width, c.tile_height), luma());
        ASSERT_EQ(strip.status, Status::ok);
        ASSERT_EQ(tiles.status, Status::ok);
        EXPECT_EQ(tiles.bytes, strip.bytes);
    }
}

// Piped, a TIFF is kept as far as its page goes: its IFD when it arrives,
// then the strips it names. A short tail or one without end after the file
// converts as the file does; a page over --max-pixels is refused at its IFD;
// an IFD or a strip farther than its picture can take is refused there.
TEST(TiffReader, APipeIsKeptAsFarAsItsPageGoes) {
    const Page grey{40, 30, 8, 1, 1, 1, Bytes(1200, 0x80)};
    const Bytes two_pages = tiff({grey, grey});
    Bytes far_strip = tiff({grey});
    far_strip[far_strip.size() - 4 - 12 * 10 + 5 * 12 + 8 + 3] = 0x40;  // the strip's offset (entry 273) past 1 GiB
    Bytes far_ifd = {'I', 'I', 42, 0, 0, 0, 0, 0x40};                   // the first IFD at 1 GiB
    constexpr std::uint64_t kPipeSlack = 4u << 20;                      // the pipe's buffer and a spliced block
    const std::uint64_t grey_reach = qpbm::codec_input_bound(40, 30, 1, 2);
    struct Case {
        const char* what;
        Bytes start;
        std::uint64_t tail, max_pixels;
        std::uint32_t page;
        Status expected;
        std::uint64_t most;
    };
    const Case cases[] = {
        {"a short tail", two_pages, 1000, 0, 0, Status::ok, UINT64_MAX},
        {"a tail without end", two_pages, UINT64_MAX, 0, 0, Status::ok, UINT64_MAX},
        {"the second page", two_pages, UINT64_MAX, 0, 1, Status::ok, UINT64_MAX},
        {"over --max-pixels", two_pages, UINT64_MAX, 100, 0, Status::too_many_pixels, kPipeSlack},
        {"no IFD", {'I', 'I', 42, 0}, UINT64_MAX, 100, 0, Status::tiff_refused, kPipeSlack},
        {"an IFD past the pixels allowed", far_ifd, UINT64_MAX, 100, 0, Status::input_too_long, kPipeSlack},
        {"a strip past its picture", far_strip, UINT64_MAX, 0, 0, Status::input_too_long, grey_reach + kPipeSlack},
    };
    TempDir dir;
    write_file(dir.file("in.tif"), two_pages);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qpbm::Options options = luma();
        options.max_pixels = c.max_pixels;
        options.page = c.page;
        std::filesystem::remove(dir.file("fifo"));
        std::filesystem::remove(dir.file("out"));
        const int code = convert_piped(c.start, c.tail, true, options, c.most, dir);
        ASSERT_EQ(code, static_cast<int>(c.expected)) << (code == 250 ? "kept too much" : "");
        if (c.expected == Status::ok) {
            qpbm::Direction d = qpbm::Direction::detect;
            qpbm::Facts facts;
            static qpbm::Workspace work;
            ASSERT_EQ(
                qpbm::convert_with(d, dir.file("in.tif").c_str(), dir.file("file.pbm").c_str(), work, facts, options),
                Status::ok);
            EXPECT_EQ(read_file(dir.file("out")), read_file(dir.file("file.pbm")));
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
        {qpbm::TiffCompression::none, COMPRESSION_NONE},
        {qpbm::TiffCompression::deflate, COMPRESSION_ADOBE_DEFLATE}};
    for (const auto& [compression, tag] : kinds) {
        SCOPED_TRACE(tag);
        const Outcome o = to_tiff(pbm, compression);
        ASSERT_EQ(o.status, Status::ok);
        EXPECT_LE(o.bytes.size(), qpbm::kTiffWriter.encoded_size(width, height, qpbm::Options{}) + 2 * stride * height);
        const std::string path = ::testing::TempDir() + "/written-" + std::to_string(getpid()) + ".tif";
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
        const bool deflate = compression == qpbm::TiffCompression::deflate;
        EXPECT_LE(rows * stride, deflate ? qpbm::kTiffDeflateStripBytes : qpbm::kTiffStripBytes);
        if (!deflate) {
            EXPECT_GT(TIFFNumberOfStrips(t), 1u);
        }
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

// ---- a failed output ------------------------------------------------------------

void be32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

// Noise, so that the compressed rows run on past any header.
Bytes noise(std::size_t n) {
    Bytes b(n);
    std::uint32_t x = 12345;
    for (std::uint8_t& v : b) v = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    return b;
}

// A 64 x 64 grey PNG cut in the middle of its IDAT.
Bytes cut_png() {
    Bytes rows = noise(65 * 64);
    for (std::size_t y = 0; y < 64; ++y) rows[y * 65] = 0;  // filter: none
    uLongf size = compressBound(static_cast<uLong>(rows.size()));
    Bytes z(size);
    compress2(z.data(), &size, rows.data(), static_cast<uLong>(rows.size()), 6);
    z.resize(size);
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (const auto& [type, data] : {std::pair<std::string, Bytes>{"IHDR", {0, 0, 0, 64, 0, 0, 0, 64, 8, 0, 0, 0, 0}},
                                     std::pair<std::string, Bytes>{"IDAT", z}}) {
        be32(png, static_cast<std::uint32_t>(data.size()));
        Bytes body(type.begin(), type.end());
        body.insert(body.end(), data.begin(), data.end());
        png.insert(png.end(), body.begin(), body.end());
        be32(png, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
    }
    png.resize(png.size() - z.size() / 2);
    return png;
}

// A 16 x 16 grey baseline JPEG's header up to its scan, whose data is missing:
// quantisation and Huffman tables of one code each, a frame and the scan's header.
Bytes cut_jpeg() {
    Bytes j = {0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0};
    j.insert(j.end(), 64, 1);
    j.insert(j.end(), {0xFF, 0xC0, 0, 11, 8, 0, 16, 0, 16, 1, 1, 0x11, 0});
    for (const std::uint8_t table : {0x00, 0x10}) {  // DC 0, AC 0: one code of one bit, symbol 0
        j.insert(j.end(), {0xFF, 0xC4, 0, 20, table, 1});
        j.insert(j.end(), 15, 0);
        j.push_back(0);
    }
    j.insert(j.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0x00, 0, 63, 0});
    return j;
}

// A 64 x 64 grey TIFF whose PackBits strip claims to run on past the end.
Bytes cut_tiff() {
    Page p;
    p.width = p.height = 64;
    p.strip = noise(64 * 64);
    Bytes b = tiff({p});
    const std::size_t directory = b[4] | b[5] << 8 | b[6] << 16 | static_cast<std::size_t>(b[7]) << 24;
    for (std::size_t e = directory + 2; e + 12 <= b.size(); e += 12) {
        const unsigned tag = b[e] | b[e + 1] << 8;
        if (tag == 259) b[e + 8] = 0x05, b[e + 9] = 0x80;  // Compression: 32773, PackBits
        if (tag == 279) b[e + 10] = 1;                     // StripByteCounts: 65,536 more
    }
    return b;
}

// Input damaged past its header is refused only once the TIFF has begun.
// The refusal must leave the old file and free libtiff before the stream
// it wrote to is closed: ASan (or a crash) shows a TIFF flushed late.
TEST(TiffWriter, AnInputDamagedPastItsHeaderLeavesNothingBehind) {
    static qpbm::Workspace work;
    struct Case {
        const char* what;
        Bytes input;
        Status refusal;
    };
    const Case cases[] = {
        {"PNG", cut_png(), Status::png_refused},
        {"JPEG", cut_jpeg(), Status::jpeg_refused},
        {"TIFF", cut_tiff(), Status::tiff_refused},
    };
    const TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (qpbm::reader_for(c.input.data(), c.input.size()) == nullptr) continue;  // built without it
        for (const auto compression :
             {qpbm::TiffCompression::g4, qpbm::TiffCompression::packbits, qpbm::TiffCompression::none}) {
            qpbm::Options options = luma();
            options.to = qpbm::Format::tiff;
            options.tiff_compression = compression;
            qpbm::Facts facts;
            qpbm::Direction d = qpbm::Direction::detect;
            std::uint64_t size = 0;
            ASSERT_EQ(qpbm::measure_memory(d, c.input.data(), c.input.size(), size, work, facts, options), Status::ok)
                << "the check accepts it";

            write_file(dir.file("in"), c.input);
            write_file(dir.file("out.tif"), kSentinel);
            EXPECT_EQ(qpbm::convert_with(d, dir.file("in").c_str(), dir.file("out.tif").c_str(), work, facts, options),
                      c.refusal);
            EXPECT_EQ(read_text(dir.file("out.tif")), kSentinel);

            Bytes out(static_cast<std::size_t>(size));
            std::uint64_t written = 1;
            EXPECT_EQ(qpbm::convert_memory(d, c.input.data(), c.input.size(), out.data(), out.size(), written, work,
                                           facts, options),
                      c.refusal);
            EXPECT_EQ(written, 0u);
        }
    }
}

// Abandoned part way, a TIFF gets no byte more: no strip, no directory.
TEST(TiffWriter, AnAbandonedPictureWritesNothingMore) {
    for (const auto compression :
         {qpbm::TiffCompression::g4, qpbm::TiffCompression::packbits, qpbm::TiffCompression::none}) {
        SCOPED_TRACE(static_cast<int>(compression));
        qpbm::TiffWriter writer(compression);
        qpbm::Facts facts;
        ASSERT_EQ(writer.check(1000, 1000, true, facts), Status::ok);
        std::FILE* out = std::tmpfile();
        ASSERT_EQ(writer.begin(out), Status::ok);
        const Bytes row = noise(125);
        for (std::size_t y = 0; y < 600; ++y) ASSERT_TRUE(writer.take(y, 0, row.data(), 1000));  // past a strip
        ASSERT_EQ(std::fflush(out), 0);
        const Bytes before = read_stream(out);
        EXPECT_GT(before.size(), 1000u) << "a strip went out";
        writer.abandon();
        EXPECT_EQ(std::fflush(out), 0);
        EXPECT_TRUE(read_stream(out) == before);
        std::fclose(out);
    }
}

}  // namespace
}  // namespace qpbm_test

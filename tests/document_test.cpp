// Documents: which pages a selection names, the code a page is given, and
// the pages of a document as libtiff reads them back.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/pages.hpp"
#include "library/qpbm.h"
#include "write/page_code.hpp"

namespace {

std::vector<std::uint32_t> named(const char* text, std::uint32_t pages) {
    qpbm::PageSelection selection;
    if (!qpbm::parse_pages(text, selection)) return {0};
    std::vector<std::uint32_t> out;
    selection.each(pages, [&](std::uint32_t p) {
        out.push_back(p);
        return true;
    });
    return out;
}

TEST(Pages, SelectionsNameThePagesInTheOrderWritten) {
    const struct {
        const char* text;
        std::vector<std::uint32_t> pages;  // of a 4-page input; {0}: refused
    } cases[] = {
        {"all", {1, 2, 3, 4}},
        {"3", {3}},
        {"2-4", {2, 3, 4}},
        {"4,1,2-3", {4, 1, 2, 3}},
        {"7", {7}},  // past the last: the reader's to refuse, with the count
        {"0", {0}},
        {"2-1", {0}},
        {"1,", {0}},
        {",1", {0}},
        {"1-", {0}},
        {"-2", {0}},
        {"a", {0}},
        {"", {0}},
        {"4294967296", {0}},
        {"1 ,2", {0}},
        {"All", {0}},
    };
    for (const auto& c : cases) EXPECT_EQ(named(c.text, 4), c.pages) << c.text;
    std::string many;
    for (int i = 1; i <= 65; ++i) many += std::to_string(i) + (i < 65 ? "," : "");
    qpbm::PageSelection selection;
    EXPECT_FALSE(qpbm::parse_pages(many.c_str(), selection)) << "more parts than a selection holds";
}

// A page of `width` x `height` bits: `kind` 0 random (a dither's texture),
// 1 text-like (lines of round and straight letters, with spaces between words).
std::vector<std::uint8_t> page_bits(std::uint32_t width, std::uint32_t height, int kind) {
    const std::size_t row = (width + 7) / 8;
    std::vector<std::uint8_t> bits(row * height);
    std::mt19937 random(width * 31 + height);
    auto set = [&](std::uint32_t x, std::uint32_t y) {
        bits[y * row + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    };
    if (kind == 0) {
        for (std::uint32_t y = 0; y < height; ++y)
            for (std::uint32_t x = 0; x < width; ++x)
                if (random() & 1) set(x, y);
        return bits;
    }
    // Lines of letters 40 rows apart, as a 300 dpi page's: rings of radius
    // 8 to 15 (an 'o') and bars (an 'l'), a word's letters 3 pixels apart.
    for (std::uint32_t top = 0; top + 40 <= height; top += 40)
        for (std::uint32_t x = 2; x + 34 < width;) {
            const int r = 8 + static_cast<int>(random() % 8);
            const bool ring = random() % 3 != 0;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx) {
                    const int d = dx * dx + dy * dy;
                    if (ring ? d <= r * r && d >= (r - 4) * (r - 4) : dx >= -2 && dx <= 1)
                        set(x + static_cast<std::uint32_t>(r + dx), top + 16 + static_cast<std::uint32_t>(dy));
                }
            x += static_cast<std::uint32_t>(2 * r + 3) + (random() % 6 == 0 ? 20 : 0);
        }
    return bits;
}

TEST(PageCode, DitherTakesDeflateAndTextTakesG4WhetherWholeOrSampled) {
    const struct {
        std::uint32_t width, height;
        int kind;
        qpbm::PageCode code;
        bool exact;
    } cases[] = {
        {400, 200, 0, qpbm::PageCode::deflate, true},
        {400, 200, 1, qpbm::PageCode::g4, true},
        {2480, 2000, 0, qpbm::PageCode::deflate, false},
        {2480, 2000, 1, qpbm::PageCode::g4, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " kind " + std::to_string(c.kind));
        const std::vector<std::uint8_t> bits = page_bits(c.width, c.height, c.kind);
        const qpbm::PageBits page{bits.data(), c.width, c.height};
        qpbm::CodeChoice choice;
        qpbm::Encoded g4, deflate;
        qpbm::TiffMessage message;
        ASSERT_TRUE(qpbm::choose_page_code(page, choice, g4, deflate, message));
        EXPECT_EQ(choice.code, c.code) << "G4 " << choice.g4_size << ", Deflate " << choice.deflate_size;
        EXPECT_EQ(choice.exact, c.exact);
        if (!c.exact) continue;
        // Coded whole, the sizes are the codes' own.
        qpbm::Encoded again;
        ASSERT_TRUE(qpbm::encode_g4(page, again, message));
        EXPECT_EQ(choice.g4_size, again.size());
        ASSERT_TRUE(qpbm::encode_deflate(page, again));
        EXPECT_EQ(choice.deflate_size, again.size());
    }
}

// A TIFF of `pages` pages through libtiff, page p (from 0) p + 1 pixels wide.
std::string multi_page_tiff(int pages) {
    const std::string path = ::testing::TempDir() + "/pages-" + std::to_string(getpid()) + ".tif";
    TIFF* t = TIFFOpen(path.c_str(), "w");
    for (int p = 0; p < pages; ++p) {
        const std::uint32_t width = static_cast<std::uint32_t>(p + 1);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, 2u);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        std::uint8_t rows[2] = {0x80, 0x00};
        TIFFWriteScanline(t, rows, 0, 0);
        TIFFWriteScanline(t, rows + 1, 1, 0);
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
    return path;
}

// Each page's width, as libtiff reads the file back.
std::vector<std::uint32_t> page_widths(const std::string& path) {
    std::vector<std::uint32_t> widths;
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) return widths;
    do {
        std::uint32_t w = 0;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
        widths.push_back(w);
    } while (TIFFReadDirectory(t) == 1);
    TIFFClose(t);
    return widths;
}

TEST(Document, PagesOfFilesAndPixelsInOrderAndNothingAfterARefusal) {
    const std::string input = multi_page_tiff(3);
    const std::string output = ::testing::TempDir() + "/document-" + std::to_string(getpid()) + ".tif";
    qpbm_options options;
    qpbm_options_init(&options);
    options.compression = QPBM_COMPRESSION_AUTO;
    qpbm_document* d = nullptr;
    qpbm_result r{};
    ASSERT_EQ(qpbm_document_open(output.c_str(), QPBM_FORMAT_TIFF, &options, &d, &r), QPBM_OK) << r.message;
    EXPECT_EQ(qpbm_document_add_file(d, input.c_str(), "3,1", &r), QPBM_OK) << r.message;
    const std::uint8_t grey[5] = {0, 255, 0, 255, 0};
    const qpbm_pixels pixels{grey, 5, 1, 5, QPBM_LAYOUT_GRAY8};
    EXPECT_EQ(qpbm_document_add_pixels(d, &pixels, &r), QPBM_OK) << r.message;
    EXPECT_EQ(qpbm_document_add_file(d, input.c_str(), nullptr, &r), QPBM_OK) << r.message;
    EXPECT_EQ(qpbm_document_pages(d), 6u);
    ASSERT_EQ(qpbm_document_close(d, &r), QPBM_OK) << r.message;
    EXPECT_EQ(page_widths(output), (std::vector<std::uint32_t>{3, 1, 5, 1, 2, 3}));

    // A page past the last ends the document: the other calls refuse, and
    // closing leaves the file as it was.
    ASSERT_EQ(qpbm_document_open(output.c_str(), QPBM_FORMAT_TIFF, &options, &d, &r), QPBM_OK);
    EXPECT_EQ(qpbm_document_add_file(d, input.c_str(), "2-4", &r), QPBM_ENO_SUCH_PAGE);
    EXPECT_NE(std::string(r.message).find("has 3 pages"), std::string::npos) << r.message;
    EXPECT_EQ(qpbm_document_add_file(d, input.c_str(), nullptr, &r), QPBM_ENO_SUCH_PAGE);
    EXPECT_EQ(qpbm_document_close(d, &r), QPBM_ENO_SUCH_PAGE);
    EXPECT_EQ(page_widths(output).size(), 6u);

    // No page, or a format that holds one picture, makes no document.
    ASSERT_EQ(qpbm_document_open(output.c_str(), QPBM_FORMAT_PDF, &options, &d, &r), QPBM_OK);
    EXPECT_EQ(qpbm_document_close(d, &r), QPBM_EDOCUMENT);
    EXPECT_EQ(qpbm_document_open(output.c_str(), QPBM_FORMAT_PNG, &options, &d, &r), QPBM_EINVALID_ARGUMENT);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(page_widths(output).size(), 6u);
    unsigned pages = 0;
    EXPECT_EQ(qpbm_input_pages(input.c_str(), &pages, &r), QPBM_OK);
    EXPECT_EQ(pages, 3u);

    // The one-call conversion, on UTF-8 and on UTF-16 paths alike, takes
    // every page into a TIFF output.
    ASSERT_EQ(qpbm_convert_ex(input.c_str(), output.c_str(), QPBM_DETECT, &options, nullptr, 0, &r), QPBM_OK);
    EXPECT_EQ(page_widths(output), (std::vector<std::uint32_t>{1, 2, 3}));
    const std::u16string input16(input.begin(), input.end());
    const std::string small_output = output + ".small.tif";
    const std::u16string output16(small_output.begin(), small_output.end());
    options.pages = "3,2";
    ASSERT_EQ(qpbm_convert_utf16_ex(reinterpret_cast<const std::uint16_t*>(input16.c_str()),
                                    reinterpret_cast<const std::uint16_t*>(output16.c_str()), QPBM_DETECT, &options,
                                    nullptr, 0, &r),
              QPBM_OK)
        << r.message;
    EXPECT_EQ(page_widths(small_output), (std::vector<std::uint32_t>{3, 2}));
    std::remove(small_output.c_str());
}

// A document in memory holds the bytes the same calls write to a file, for
// every document format, past the first block its memory grows from.
TEST(Document, InMemoryTheBytesOfTheFileAndNoneAfterARefusal) {
    const std::string input = multi_page_tiff(3);
    std::FILE* f = std::fopen(input.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<std::uint8_t> tiff(4096);
    tiff.resize(std::fread(tiff.data(), 1, tiff.size(), f));
    std::fclose(f);
    std::vector<std::uint8_t> noise(800 * 800);  // G4 cannot shrink it: over 64 KiB
    std::mt19937 random(7);
    for (auto& v : noise) v = static_cast<std::uint8_t>(random());
    const qpbm_pixels pixels{noise.data(), 800, 800, 800, QPBM_LAYOUT_GRAY8};
    qpbm_options options;
    qpbm_options_init(&options);
    qpbm_options luma = options;
    luma.method = QPBM_METHOD_LUMA;
    const std::string path = ::testing::TempDir() + "/memory-document-" + std::to_string(getpid());
    for (const qpbm_format format : {QPBM_FORMAT_TIFF, QPBM_FORMAT_PDF, QPBM_FORMAT_PBM}) {
        SCOPED_TRACE(format);
        qpbm_document* d = nullptr;
        qpbm_result r{};
        ASSERT_EQ(qpbm_document_open(path.c_str(), format, &options, &d, &r), QPBM_OK) << r.message;
        EXPECT_EQ(qpbm_document_add_file(d, input.c_str(), "3,1", &r), QPBM_OK) << r.message;
        EXPECT_EQ(qpbm_document_add_pixels_ex(d, &pixels, &luma, &r), QPBM_OK) << r.message;
        ASSERT_EQ(qpbm_document_close(d, &r), QPBM_OK) << r.message;
        f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::vector<std::uint8_t> file(4 << 20);
        file.resize(std::fread(file.data(), 1, file.size(), f));
        std::fclose(f);

        ASSERT_EQ(qpbm_document_open_memory(format, &options, &d, &r), QPBM_OK) << r.message;
        EXPECT_EQ(qpbm_document_add_memory(d, tiff.data(), tiff.size(), "3,1", nullptr, &r), QPBM_OK) << r.message;
        EXPECT_EQ(qpbm_document_add_pixels_ex(d, &pixels, &luma, &r), QPBM_OK) << r.message;
        EXPECT_EQ(qpbm_document_close(d, &r), QPBM_EINVALID_ARGUMENT);  // a memory handle stays open
        void* bytes = nullptr;
        std::uint64_t size = 0;
        ASSERT_EQ(qpbm_document_close_memory(d, &bytes, &size, &r), QPBM_OK) << r.message;
        EXPECT_GT(size, 64u * 1024);
        EXPECT_TRUE(size == file.size() && std::equal(file.begin(), file.end(), static_cast<std::uint8_t*>(bytes)));
        qpbm_free(bytes);

        // A refused input ends it with nothing handed over.
        ASSERT_EQ(qpbm_document_open_memory(format, &options, &d, &r), QPBM_OK);
        EXPECT_EQ(qpbm_document_add_memory(d, tiff.data(), tiff.size(), "4", nullptr, &r), QPBM_ENO_SUCH_PAGE);
        bytes = &size;
        EXPECT_EQ(qpbm_document_close_memory(d, &bytes, &size, &r), QPBM_ENO_SUCH_PAGE);
        EXPECT_EQ(bytes, nullptr);
        EXPECT_EQ(size, 0u);
    }
    std::remove(path.c_str());
}

}  // namespace

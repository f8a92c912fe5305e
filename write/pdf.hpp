// The PDF writer: a page a picture, each page one image of its bits, sized
// by the picture's resolution (kPdfDefaultDpi where it has none), written
// as it goes, so that it may go down a pipe.
//
// Each image is a stencil mask (/ImageMask true) painted black on the white
// page: readers render a mask's pixels exactly at 1:1, where they smooth a
// 1-bit grey image. Its code is CCITT Group 4 or Flate, whichever the page
// is smaller in (write/page_code.hpp): exact up to kWholePageBytes, beyond
// that from a sample, with both coded in full when the sample leaves them
// within kPdfCloseCall of each other.
//
// The file is the same bytes for the same pictures: no date, unless
// SOURCE_DATE_EPOCH gives one (reproducible builds' convention), and no ID.
//
//   1 the catalog, 2 the page tree, 3 the document's information, then a
//   page at a time: its image, its content stream, its page object.
//   The page tree, the catalog, the information, the cross-reference table
//   and the trailer come last, when the pages are known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "write/page_code.hpp"
#include "write/writer.hpp"

namespace qpbm {

inline constexpr std::uint32_t kPdfDefaultDpi = 300;
inline constexpr double kPdfCloseCall = 1.25;

class PdfWriter final : public Writer {
public:
    PdfWriter() = default;
    ~PdfWriter() override;
    PdfWriter(const PdfWriter&) = delete;
    PdfWriter& operator=(const PdfWriter&) = delete;

    Status check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) override;
    void set_resolution(const Resolution& resolution) override { resolution_ = resolution; }
    bool gathers() const override { return false; }
    Status begin(std::FILE* out) override;
    bool take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) override;
    Status finish() override;
    void abandon() override;
    bool takes_pages() const override { return true; }
    Status next_page() override;
    Status end_page() override;

private:
    bool start_page();
    bool write(const void* bytes, std::size_t count);
    bool print(const char* format, ...);
    bool begin_object(std::uint64_t number);
    bool write_image(const Encoded& code, PageCode kind);
    Status failed(Status status = Status::write_failed);

    std::FILE* out_ = nullptr;
    std::uint64_t at_ = 0;  // bytes written so far
    Resolution resolution_;
    std::uint32_t width_ = 0, height_ = 0;
    std::size_t row_bytes_ = 0;
    std::uint8_t* page_ = nullptr;  // the page's bits
    std::size_t page_room_ = 0;
    bool page_open_ = false;
    std::uint64_t pages_ = 0;
    std::uint64_t* offsets_ = nullptr;  // where each object starts, by number - 1
    std::uint64_t offset_room_ = 0;
    TiffMessage message_;
    Facts* facts_ = nullptr;
};

extern const WriterKind kPdfWriter;

}  // namespace qpbm

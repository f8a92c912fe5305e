// The TIFF writer: pages of 1 bit per sample, MinIsWhite (1 black, as a bit
// row), one directory each, CCITT Group 4 by default or Adobe Deflate,
// PackBits or none, in strips of about kTiffStripBytes of rows so that
// memory stays flat. Under `automatic` each page is held whole (at most
// kMaxHeldPixels) until its code is chosen (write/page_code.hpp). libtiff
// seeks back to its header when it closes the file, so a TIFF is written to
// a file only.
//
// The input's resolution, when it has one, becomes XResolution, YResolution
// and ResolutionUnit: inches and centimetres as they are, dots per metre
// (BMP, PNG) as dots per centimetre, a hundredth of the value, the unit that
// keeps it a plain decimal. An input without one gives none of the three.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "read/tiff.hpp"
#include "write/writer.hpp"

namespace qpbm {

// The rows of a strip take about this many bytes before compression.
inline constexpr std::size_t kTiffStripBytes = 64 * 1024;
inline constexpr std::size_t kTiffDeflateStripBytes = 1024 * 1024;

class TiffWriter final : public Writer {
public:
    explicit TiffWriter(TiffCompression compression) : compression_(compression) {}
    ~TiffWriter() override;
    TiffWriter(const TiffWriter&) = delete;
    TiffWriter& operator=(const TiffWriter&) = delete;

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
    bool set_fields(TiffCompression compression);
    bool set_resolution_tags();
    bool write_held_page();
    Status failed();

    TiffCompression compression_;
    Resolution resolution_;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    std::size_t row_bytes_ = 0;
    TiffStream stream_;  // before tif_, which must not outlive it
    tiff* tif_ = nullptr;
    TiffMessage message_;
    std::uint8_t* row_ = nullptr;
    std::uint8_t* page_ = nullptr;  // the page held whole, under `automatic`
    std::size_t page_room_ = 0;
    bool page_open_ = false;
    Facts* facts_ = nullptr;  // the check's, for libtiff's reason when a write fails
};

extern const WriterKind kTiffWriter;

}  // namespace qpbm

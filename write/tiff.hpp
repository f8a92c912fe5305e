// The TIFF writer: one page, 1 bit per sample, MinIsWhite (1 black, as a bit
// row), CCITT Group 4 by default or PackBits or none, in strips of about
// kTiffStripBytes of rows so that memory stays flat. libtiff seeks back to
// its header when it closes the file, so a TIFF is written to a file only.
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

private:
    bool set_resolution_tags();
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
    Facts* facts_ = nullptr;  // the check's, for libtiff's reason when a write fails
};

extern const WriterKind kTiffWriter;

}  // namespace qpbm

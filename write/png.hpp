// The 1-bit PNG writer: grey, bit depth 1 (0 black, 1 white), not
// interlaced, no filter (as PNG advises below 8 bits), zlib level 6 unless
// Options::png_level says otherwise, and no chunks but IHDR, pHYs (for a
// picture with a resolution), the IDATs and IEND. Rows stream through libspng's
// progressive encoder; the writer holds one row.
#pragma once

#include <cstdint>
#include <cstdio>

#include "formats/png.hpp"
#include "write/writer.hpp"

struct spng_ctx;

namespace qpbm {

class PngWriter final : public Writer {
public:
    explicit PngWriter(unsigned level) : level_(level) {}
    ~PngWriter() override;
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;

    Status check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) override;
    // pHYs, in dots per metre, for a picture with a resolution.
    void set_resolution(const Resolution& resolution) override { resolution_ = resolution; }
    bool gathers() const override { return false; }
    Status begin(std::FILE* out) override;
    bool take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) override;
    Status finish() override;
    void abandon() override;

private:
    unsigned level_;  // zlib's, 0 to 9
    Resolution resolution_;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    std::size_t row_bytes_ = 0;
    spng_ctx* ctx_ = nullptr;
    PngMemory library_memory_;  // what ctx_ holds
    std::uint8_t* row_ = nullptr;
    std::FILE* out_ = nullptr;
    bool finished_ = false;  // the last row went out, and IEND with it
};

extern const WriterKind kPngWriter;

}  // namespace qpbm

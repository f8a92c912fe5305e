// The PBM writer: plain "P1" (a token per pixel, a line feed after every
// 30th token of the file) or raw "P4" (rows of ceil(width / 8) bytes), as
// core/pbm_format.hpp lays them out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffers.hpp"
#include "core/limits.hpp"
#include "write/writer.hpp"

namespace qpbm {

// "P1" (or the given start), the comment, and "<width> <height>" in signed
// decimal, each ending in a line feed; returns the length.
std::size_t format_pbm_header(char* text, std::int32_t width, std::int32_t height, const char* start = kPbmHeaderStart);

// Copies `count` tokens into text with a line feed after every 30th token of
// the file; `line_tokens` carries the count across rows and blocks. Returns
// the end of the text.
char* break_lines(const char* tokens, std::size_t count, char* text, std::size_t& line_tokens);

class PbmWriter final : public Writer {
public:
    PbmWriter(PbmWriteBuffers& buffers, bool raw) : b_(buffers), raw_(raw) {}

    Status check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) override;
    bool gathers() const override { return false; }
    Status begin(std::FILE* out) override;
    bool take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) override;
    Status finish() override;
    // Pages follow each other in one stream, as netpbm's tools read them.
    bool takes_pages() const override { return true; }
    Status next_page() override { return begin(out_); }
    Status end_page() override { return flush() ? Status::ok : Status::write_failed; }

private:
    bool flush();

    PbmWriteBuffers& b_;
    bool raw_;
    std::FILE* out_ = nullptr;
    std::int32_t width_ = 0, height_ = 0;
    std::size_t used_ = 0;
    std::size_t line_tokens_ = 0;
};

extern const WriterKind kPbmWriter;

}  // namespace qpbm

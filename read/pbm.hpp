// The PBM reader: plain "P1" and raw "P4", as core/pbm_format.hpp describes
// them, handed over as bit rows. The check reads the header in small reads,
// so that a refusal reads little more than the byte that decides it; the
// rows then come a block of input at a time. The input is read unbuffered,
// straight into the input buffer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/buffers.hpp"
#include "core/limits.hpp"
#include "read/reader.hpp"

namespace qpbm {

// What the check learned, and where the read goes on from.
struct PbmSource {
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool raw = false;       // P4, else P1
    bool gathered = false;  // the writer took the pixels during the check
    // Input bytes the check read past the header, still in the input buffer.
    std::uint32_t buffered_begin = 0;
    std::uint32_t buffered_end = 0;
    bool input_ended = false;  // the input has no bytes after those
};

class PbmReader final : public Reader {
public:
    explicit PbmReader(PbmReadBuffers& buffers) : b_(buffers) {}
    PbmReader(PbmReadBuffers& buffers, const PbmSource& source) : b_(buffers), source_(source) {}

    Status check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) override;
    // Rows wider than kRowPiecePixels come in pieces of that many pixels.
    Status read(std::FILE* in, const ReadRequest& request, RowSink& sink) override;

    const PbmSource& source() const { return source_; }

private:
    PbmReadBuffers& b_;
    PbmSource source_;
};

extern const ReaderKind kPbmReader;

}  // namespace qpbm

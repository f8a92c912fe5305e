// The PGM, PPM and PAM reader (core/pnm_format.hpp), handed over as value rows:
// every sample scaled to 8 bits, alpha laid over white, then luma or the
// channels flags as read/values.hpp computes them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/buffers.hpp"
#include "core/pnm_format.hpp"
#include "read/reader.hpp"

namespace qpbm {

// The most bytes a plain sample is kept with, its separators and comments
// included, when a pipe is spooled: five digits and a generous margin.
inline constexpr std::uint64_t kPnmPlainSampleSpan = 64;

enum class PnmSamples : std::uint8_t { grey, grey_alpha, rgb, rgb_alpha };

// What the check learned, and where the read goes on from.
struct PnmSource {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t maxval = 0;
    PnmSamples samples = PnmSamples::grey;
    bool plain = false;
    std::int64_t raster_start = -1;  // the raster's offset in the stream; -1 where it cannot seek
    std::uint64_t header_size = 0;   // bytes before the raster
    std::uint32_t buffered_begin = 0;
    std::uint32_t buffered_end = 0;
    bool input_ended = false;
    bool read_before = false;  // a second read starts again at raster_start
};

class PnmReader final : public Reader {
public:
    explicit PnmReader(PnmReadBuffers& buffers) : b_(buffers) {}

    Status check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) override;
    Status read(std::FILE* in, const ReadRequest& request, RowSink& sink) override;
    // A raw raster's bytes; a plain one's at kPnmPlainSampleSpan a sample.
    std::uint64_t input_bound() const override;

    const PnmSource& source() const { return source_; }

private:
    PnmReadBuffers& b_;
    PnmSource source_;
    Facts* facts_ = nullptr;  // the check's, for a sample the read refuses
};

extern const ReaderKind kPnmReader;

}  // namespace qpbm

// The JPEG reader, through libjpeg-turbo's scanline API: baseline and
// progressive, grey, YCbCr (and RGB) and CMYK/YCCK, handed over as value
// rows. The pixels are libjpeg's with its defaults (accurate integer DCT,
// fancy upsampling), the same bits on every platform.
//
// CMYK: libjpeg returns each channel as a CMYK JPEG stores it, which Adobe's
// writers (and so everyone's) invert: v = 255 - ink. Ink is laid on white,
// channel by channel, as R = (vC * vK + 127) div 255, G from vM, B from vY:
// white paper where there is no ink, black where C or K is full.
//
// A progressive JPEG is read whole into libjpeg's coefficients before the
// first row: libjpeg's memory is capped at kJpegMaxMemory, and a picture
// that needs more is refused with libjpeg's words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/buffers.hpp"
#include "read/reader.hpp"

struct qpbm_jpeg;

namespace qpbm {

// What libjpeg may allocate for one picture.
inline constexpr long kJpegMaxMemory = 256L << 20;

class JpegReader final : public Reader {
public:
    explicit JpegReader(JpegReadBuffers& buffers) : b_(buffers) {}
    ~JpegReader() override;
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;

    Status check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) override;
    Status read(std::FILE* in, const ReadRequest& request, RowSink& sink) override;
    std::uint64_t input_bound() const override { return bound_; }

private:
    Status open(std::FILE* in, Facts& facts);

    JpegReadBuffers& b_;
    qpbm_jpeg* session_ = nullptr;  // in b_.session while open
    std::int64_t start_ = -1;       // the stream's offset, for a second read
    bool read_before_ = false;
    Facts* facts_ = nullptr;
    std::uint64_t bound_ = UINT64_MAX;  // after a check that passed: codec_input_bound of the picture
};

extern const ReaderKind kJpegReader;

}  // namespace qpbm

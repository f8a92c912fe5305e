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
// Shrink-on-load: for a resize to half the size or less, libjpeg decodes
// at 1/2, 1/4 or 1/8 through its scaled DCT (1/8 is each block's mean),
// the smallest of them no smaller than the output, and the resize stage
// averages the rest; a DCT at 1/8 of the size costs a fraction of a whole
// one.
//
// A progressive JPEG is read whole into libjpeg's coefficients before the
// first row: libjpeg's memory is capped at kJpegMaxMemory, and a picture
// that needs more is refused with libjpeg's words; one of more than
// kJpegMaxScans scans is refused at the scan past them.
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
// The most scans read: an encoder writes about ten (a full progression of
// three components), and each scan is a pass over the whole picture's
// coefficients, so hundreds are work without a picture. 500 is TurboJPEG's
// default limit.
inline constexpr int kJpegMaxScans = 500;

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
    unsigned shrink_ = 1;               // the DCT's scale, 1/shrink_
};

extern const ReaderKind kJpegReader;

// The libjpeg-turbo this build was compiled with, as "libjpeg-turbo 2.1.5".
const char* jpeg_library();

}  // namespace qpbm

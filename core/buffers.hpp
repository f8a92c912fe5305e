// The working memory of one conversion: a reader's, the decision stage's and
// a writer's buffers, side by side, fixed at build time so that a conversion
// never allocates. A format whose part needs buffers of its own adds them to
// its union here.
#pragma once

#include "decide/methods.hpp"
#include "read/bmp.hpp"
#include "read/jpeg.hpp"
#include "read/pbm.hpp"
#include "read/pixels.hpp"
#include "read/png.hpp"
#include "read/pnm.hpp"
#include "read/tiff.hpp"
#include "write/bmp.hpp"
#include "write/pbm.hpp"

namespace qpbm {

struct Buffers {
    union Read {
        BmpReadBuffers bmp;
        PbmReadBuffers pbm;
        PnmReadBuffers pnm;
        PixelReadBuffers pixels;
        PngReadBuffers png;
        JpegReadBuffers jpeg;
        TiffReadBuffers tiff;
    } read;
    MethodBuffers method;
    union Write {
        PbmWriteBuffers pbm;
        BmpWriteBuffers bmp;
    } write;
};

}  // namespace qpbm

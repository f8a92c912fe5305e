#include "convert/codecs.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "convert/convert.hpp"
#include "convert/read_thread.hpp"
#include "write/escpos.hpp"
#include "write/xbm.hpp"
#include "write/zpl.hpp"
#ifdef QUORVELPBM_HAVE_SPNG
#include "read/png.hpp"
#include "write/png.hpp"
#endif
#ifdef QUORVELPBM_HAVE_JPEG
#include "read/jpeg.hpp"
#endif
#ifdef QUORVELPBM_HAVE_TIFF
#include "read/tiff.hpp"
#include "write/page_code.hpp"
#include "write/pdf.hpp"
#include "write/tiff.hpp"
#endif

namespace qpbm {

bool add_codecs() {
    static const bool added = [] {
        bool ok = true;
        set_threaded_read(read_in_thread);
        // The devices' formats need no library, but like the codecs they
        // are no part of the legacy pair.
        ok = add_writer(kEscPosWriter) && ok;
        ok = add_writer(kZplWriter) && ok;
        ok = add_writer(kXbmWriter) && ok;
#ifdef QUORVELPBM_HAVE_SPNG
        ok = add_reader(kPngReader) && ok;
        ok = add_writer(kPngWriter) && ok;
#endif
#ifdef QUORVELPBM_HAVE_JPEG
        ok = add_reader(kJpegReader) && ok;
#endif
#ifdef QUORVELPBM_HAVE_TIFF
        ok = add_reader(kTiffReader) && ok;
        ok = add_writer(kTiffWriter) && ok;
        ok = add_writer(kPdfWriter) && ok;  // its G4 is libtiff's
#endif
        return ok;
    }();
    return added;
}

const char* codec_versions() {
    static char text[256];
    static const bool made = [] {
        std::size_t used = 0;
        auto line = [&](const char* format, const char* library) {
            int n = std::snprintf(text + used, sizeof text - used, "%s %s\n", format, library);
            if (n > 0) used = std::min(sizeof text - 1, used + static_cast<std::size_t>(n));
        };
        (void)line;
#ifdef QUORVELPBM_HAVE_SPNG
        line("PNG", png_library());
#endif
#ifdef QUORVELPBM_HAVE_JPEG
        line("JPEG", jpeg_library());
#endif
#ifdef QUORVELPBM_HAVE_TIFF
        line("TIFF", tiff_library());
        line("PDF", zlib_library());  // its Flate pages; its G4 is libtiff's
#endif
        return true;
    }();
    (void)made;
    return text;
}

}  // namespace qpbm

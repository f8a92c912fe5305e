#include "convert/codecs.hpp"

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

}  // namespace qpbm

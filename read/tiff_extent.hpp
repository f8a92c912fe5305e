// Where a TIFF page's bytes end, found from its IFDs without libtiff, so that
// piped input is spooled as far as the page goes and no further: the header,
// the IFDs on the way to the page, every value they hold out of line, and
// the page's strips or tiles by their offsets and byte counts. libtiff reads
// nothing else of the file for that page.
//
// A page's bytes lie before its IFD or within codec_input_bound of its
// picture after it (16-bit samples, as many as the page has); each IFD lies
// within codec_input_bound of the pixels the caller allows (16-bit RGBA)
// past the one before it. A file that puts them farther goes on past the
// most its picture can take.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/options.hpp"
#include "core/status.hpp"

namespace qpbm {

struct TiffExtent {
    std::uint64_t wanted = 0;  // nonzero: look again once this many bytes are in
    std::uint64_t end = 0;     // else: the page's bytes end here
};

// Looks at the first `length` bytes of `in`, a TIFF from offset 0, for the
// page options.page. A page over options.max_pixels is refused
// (too_many_pixels), one that lies too far as above too (input_too_long,
// the bound in facts.limit). What the walk cannot follow (a damaged IFD, a
// missing page) ends the page at the bytes it needed so far, for libtiff to
// refuse in its words.
Status tiff_extent(std::FILE* in, std::uint64_t length, const Options& options, TiffExtent& extent, Facts& facts);

}  // namespace qpbm

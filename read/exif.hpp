// What an EXIF block (a JPEG's APP1 after "Exif\0\0", a PNG's eXIf) says
// of the picture's layout: the Orientation tag and the resolution of the
// first directory. The block is a little TIFF file of either byte order;
// it is read field by field from its bytes, every offset checked against
// its length, and anything that does not parse is simply not there.
#pragma once

#include <cstddef>
#include <cstdint>

#include "read/reader.hpp"

namespace qpbm {

struct ExifLayout {
    // 1 to 8 as stored; 0 when the tag is missing, malformed or out of range.
    unsigned orientation = 0;
    Resolution resolution;  // XResolution, YResolution, ResolutionUnit (inch by default)
};

// Parses the TIFF-structured bytes (starting "II*\0" or "MM\0*").
ExifLayout parse_exif(const std::uint8_t* data, std::size_t length);

// The same after a JPEG APP1's "Exif\0\0" (or "Exif\0\xFF"); nothing for any other APP1.
ExifLayout parse_jpeg_exif(const std::uint8_t* data, std::size_t length);

}  // namespace qpbm

// What the file calls and the memory calls share: the direction a picture's
// first two bytes call for, and the two phases of a conversion on open
// streams, through the joiner. The check reads and refuses and writes
// nothing; the write never refuses.
#pragma once

#include <cstddef>
#include <cstdio>

#include "convert/convert.hpp"
#include "library/file_convert.hpp"

namespace qpbm {

// "BM" is a BMP to convert to PBM, "P1" or "P4" a PBM to convert to BMP.
inline Status direction_of(const unsigned char* magic, std::size_t length, Direction& direction) {
    if (length >= 2 && magic[0] == 'B' && magic[1] == 'M') {
        direction = Direction::bmp_to_pbm;
        return Status::ok;
    }
    if (length >= 2 && magic[0] == kPbmMagicStart && (magic[1] == kPbmPlainKind || magic[1] == kPbmRawKind)) {
        direction = Direction::pbm_to_bmp;
        return Status::ok;
    }
    return Status::unknown_format;
}

// The reader a direction names: its input's format.
inline const ReaderKind& reader_of(Direction direction) {
    return direction == Direction::bmp_to_pbm ? kBmpReader : kPbmReader;
}

inline Status check_input(Direction direction, std::FILE* in, bool output_seekable, const Options& options,
                          Workspace& work, Conversion& conversion, Facts& facts) {
    return check_conversion(conversion, reader_of(direction), in, output_seekable, work.buffers, facts, options);
}

inline Status write_output(std::FILE* in, Conversion& conversion, std::FILE* out) {
    return write_conversion(conversion, in, out);
}

}  // namespace qpbm

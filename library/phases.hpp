// What the file calls and the memory calls share: the direction a picture's
// first two bytes call for, and the two phases of a conversion on open
// streams, dispatched by direction. The check reads and refuses and writes
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

inline Status check_input(Direction direction, std::FILE* in, bool output_seekable, const Options& options,
                          Workspace& work, BmpSource& bmp, PbmSource& pbm, Facts& facts) {
    if (direction == Direction::bmp_to_pbm)
        return read_bmp_source(in, output_seekable, bmp, work.bmp2pbm, facts, options);
    return read_pbm_source(in, output_seekable, pbm, work.pbm2bmp, facts, options);
}

inline Status write_output(Direction direction, std::FILE* in, bool output_seekable, const Options& options,
                           Workspace& work, const BmpSource& bmp, const PbmSource& pbm, std::FILE* out) {
    if (direction == Direction::bmp_to_pbm) return write_pbm(in, bmp, output_seekable, work.bmp2pbm, out, options);
    return write_bmp(in, pbm, output_seekable, work.pbm2bmp, out, options);
}

}  // namespace qpbm

// What the file calls and the memory calls share: the reader a picture's
// first bytes call for, and the two phases of a conversion on open
// streams, through the joiner. The check reads and refuses and writes
// nothing; the write never refuses.
#pragma once

#include <cstddef>
#include <cstdio>

#include "convert/convert.hpp"
#include "library/file_convert.hpp"

namespace qpbm {

// How many first bytes are looked at to tell the format.
inline constexpr std::size_t kMagicSize = 16;

// The reader of an input whose first bytes are `first`: a direction's own
// format, or when detecting, the registered reader that claims them. A
// detected BMP or PBM also names its direction; other formats leave it
// `detect`. A PNG, JPEG or TIFF in a build without its codec is
// codec_missing, naming the format and library in `facts`.
inline Status reader_of_input(Direction& direction, const unsigned char* first, std::size_t length,
                              const ReaderKind*& reader, Facts* facts = nullptr) {
    if (direction == Direction::bmp_to_pbm) {
        reader = &kBmpReader;
        return Status::ok;
    }
    if (direction == Direction::pbm_to_bmp) {
        reader = &kPbmReader;
        return Status::ok;
    }
    reader = reader_for(first, length);
    if (reader == nullptr) {
        const CodecFormat* missing = codec_format_of(first, length);
        if (missing == nullptr) return Status::unknown_format;
        if (facts != nullptr) {
            facts->format = missing->format;
            std::snprintf(facts->name, sizeof facts->name, "%s", missing->library);
        }
        return Status::codec_missing;
    }
    if (reader == &kBmpReader) direction = Direction::bmp_to_pbm;
    if (reader == &kPbmReader) direction = Direction::pbm_to_bmp;
    return Status::ok;
}

inline Status check_input(const ReaderKind& reader, std::FILE* in, bool output_seekable, const Options& options,
                          Workspace& work, Conversion& conversion, Facts& facts) {
    return check_conversion(conversion, reader, in, output_seekable, work.buffers, facts, options);
}

inline Status write_output(std::FILE* in, Conversion& conversion, std::FILE* out) {
    return write_conversion(conversion, in, out);
}

}  // namespace qpbm

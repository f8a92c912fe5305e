#include "convert/status.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "formats/limits.hpp"

namespace qpbm {

const char* status_message(Status status) {
    switch (status) {
        case Status::ok: return "converted";
        case Status::invalid_path: return "invalid path";
        case Status::open_input_failed: return "cannot open the input";
        case Status::same_file: return "the output is the input file";
        case Status::open_output_failed: return "cannot create the output";
        case Status::read_failed: return "read error";
        case Status::write_failed: return "write error";
        case Status::input_shrank: return "the input became shorter while it was read";
        case Status::cleanup_failed: return "write error, and the partial output could not be removed";
        case Status::output_no_reader: return "the output is a FIFO with no reader";
        case Status::unknown_format: return "neither a BMP (\"BM\") nor a PBM (\"P1\" or \"P4\") file";
        case Status::undetectable_input: return "cannot tell the format of a device input: give a direction";
        case Status::bmp_header_truncated: return "too short for a BMP header";
        case Status::bmp_not_bmp: return "not a BMP file";
        case Status::bmp_unsupported: return "not a 24-bit uncompressed BMP";
        case Status::bmp_bad_pixel_offset: return "pixel data offset points into the header";
        case Status::bmp_negative_width: return "negative width";
        case Status::bmp_too_wide: return "too wide for bmp2pbm";
        case Status::bmp_bad_height: return "height out of range";
        case Status::bmp_pixels_truncated: return "pixel data is truncated";
        case Status::pbm_missing_lines: return "fewer than three header lines";
        case Status::pbm_bad_magic: return "not a plain PBM file (first line is not \"P1\")";
        case Status::pbm_bad_comment: return "second line is not a comment";
        case Status::pbm_bad_dimension_line: return "malformed dimension line";
        case Status::pbm_bad_number: return "dimension is not a number";
        case Status::pbm_number_too_long: return "dimension is longer than 23 characters";
        case Status::pbm_negative_dimension: return "negative width or height";
        case Status::pbm_too_large: return "too large for pbm2bmp";
    }
    return "unknown status";
}

const char* describe_status(Status status, const Facts& f, char* buffer, std::size_t size) {
    if (size == 0) return buffer;
    switch (status) {
        case Status::bmp_unsupported:
            if (f.bit_count != kBitsPerPixel)
                std::snprintf(buffer, size, "not a 24-bit uncompressed BMP (%" PRIu32 " bits per pixel)", f.bit_count);
            else if (f.compression != kCompressionNone)
                std::snprintf(buffer, size, "not a 24-bit uncompressed BMP (compression %" PRIu32 ")", f.compression);
            else
                std::snprintf(buffer, size, "not a 24-bit uncompressed BMP (%" PRIu32 "-byte information header)",
                              f.info_size);
            break;
        case Status::bmp_bad_pixel_offset:
            std::snprintf(buffer, size, "pixel data offset %" PRIu32 " points into the %zu-byte header", f.pixel_offset,
                          kHeadersSize);
            break;
        case Status::bmp_negative_width: std::snprintf(buffer, size, "negative width (%" PRId64 ")", f.width); break;
        case Status::bmp_too_wide:
            std::snprintf(buffer, size, "width %" PRId64 " is more than the %" PRId32 " pixels that bmp2pbm holds",
                          f.width, kMaxBmpWidth);
            break;
        case Status::bmp_bad_height: std::snprintf(buffer, size, "height %" PRId64 " is out of range", f.height); break;
        case Status::bmp_pixels_truncated:
            std::snprintf(buffer, size,
                          "pixel data is truncated (%" PRId64 " x %" PRId64 " needs %" PRIu64
                          " bytes, the file has %" PRIu64 ")",
                          f.width, f.height, f.needed_size, f.file_size);
            break;
        case Status::pbm_negative_dimension:
            std::snprintf(buffer, size, "negative width or height (%" PRId64 " x %" PRId64 ")", f.width, f.height);
            break;
        case Status::pbm_too_large:
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 " is larger than the %" PRId32 " x %" PRId32 " that pbm2bmp holds",
                          f.width, f.height, kMaxPbmWidth, kMaxPbmHeight);
            break;
        case Status::open_input_failed:
        case Status::open_output_failed:
        case Status::read_failed:
        case Status::write_failed:
        case Status::cleanup_failed:
            if (f.os_error != 0) {
                std::snprintf(buffer, size, "%s: %s", status_message(status), std::strerror(f.os_error));
                break;
            }
            [[fallthrough]];
        default: std::snprintf(buffer, size, "%s", status_message(status)); break;
    }
    return buffer;
}

}  // namespace qpbm

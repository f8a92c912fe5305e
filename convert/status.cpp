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
        case Status::bmp_header_truncated: return "too short for a BMP header";
        case Status::bmp_not_bmp: return "not a BMP file";
        case Status::bmp_unsupported: return "not a 24-bit uncompressed BMP";
        case Status::bmp_bad_pixel_offset: return "pixel data offset points into the header";
        case Status::bmp_negative_width: return "negative width";
        case Status::bmp_too_wide: return "too wide for bmp2pbm";
        case Status::bmp_bad_height: return "height out of range";
        case Status::bmp_pixels_truncated: return "pixel data is truncated";
        case Status::pbm_bad_magic: return "not a PBM file (it does not start with \"P1\" or \"P4\")";
        case Status::pbm_header_truncated: return "the PBM header ends before the width and height";
        case Status::pbm_bad_header_char: return "unexpected character in the PBM header";
        case Status::pbm_signed_number: return "a PBM width or height has no sign";
        case Status::pbm_number_too_large: return "PBM width or height is too large (over 2147483647)";
        case Status::pbm_header_too_long: return "PBM header longer than 64 KiB";
        case Status::pbm_no_raster_separator: return "no single white-space byte after the raw PBM's height";
        case Status::pbm_too_large: return "too large for a BMP file";
        case Status::pbm_too_large_for_pipe: return "a pipe can only take pictures up to 1000 x 1000: write to a file";
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
        case Status::pbm_too_large:
            std::snprintf(buffer, size, "%" PRId64 " x %" PRId64 " is too large for a BMP file", f.width, f.height);
            break;
        case Status::pbm_too_large_for_pipe:
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 "; a pipe can only take pictures up to %" PRId32 " x %" PRId32
                          ": write to a file",
                          f.width, f.height, kMaxPbmWidth, kMaxPbmHeight);
            break;
        case Status::open_input_failed:
        case Status::open_output_failed:
        case Status::read_failed:
        case Status::write_failed:
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

#include "convert/status.hpp"

#include <cerrno>
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
        case Status::too_many_pixels: return "the picture has more pixels than allowed";
        case Status::too_wide_for_method: return "the picture is too wide for the method";
        case Status::replace_failed: return "cannot replace the output";
        case Status::space_not_reserved:
            return "cannot reserve the space to write the output in place; it is unchanged";
        case Status::bmp_header_truncated: return "too short for its BMP headers";
        case Status::bmp_not_bmp: return "not a BMP file";
        case Status::bmp_bad_header_size: return "unknown BMP information header size";
        case Status::bmp_bad_bit_count: return "bits per pixel not supported";
        case Status::bmp_compressed: return "compression not supported";
        case Status::bmp_bad_compression: return "compression does not suit the bits per pixel";
        case Status::bmp_bad_masks: return "a colour mask is zero or not contiguous";
        case Status::bmp_bad_palette_size: return "more palette colours than the bits per pixel can index";
        case Status::bmp_palette_truncated: return "the palette runs past the end of the file";
        case Status::bmp_bad_pixel_offset: return "pixel data offset points into the headers";
        case Status::bmp_negative_width: return "negative width";
        case Status::bmp_bad_height: return "height out of range";
        case Status::bmp_rle_top_down: return "top-down RLE BMP (negative height)";
        case Status::bmp_rle_too_large: return "RLE BMP too large for a pipe: write to a file";
        case Status::bmp_rle_too_large_for_method:
            return "RLE BMP too large for this method or a raw PBM: only the plain channels rule takes any size";
        case Status::bmp_text_too_large: return "RLE BMP too large for a PBM file";
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
        case Status::output_too_small: return "the output buffer is too small";
    }
    return "unknown status";
}

const char* describe_status(Status status, const Facts& f, char* buffer, std::size_t size) {
    if (size == 0) return buffer;
    switch (status) {
        case Status::bmp_header_truncated:
            std::snprintf(buffer, size,
                          "too short for its BMP headers (%" PRIu64 " bytes, the headers need %" PRIu64 ")",
                          f.file_size, f.needed_size);
            break;
        case Status::bmp_bad_header_size:
            std::snprintf(buffer, size, "%" PRIu32 "-byte information header is not a BMP header", f.info_size);
            break;
        case Status::bmp_bad_bit_count:
            std::snprintf(buffer, size, "%" PRIu32 " bits per pixel is not supported", f.bit_count);
            break;
        case Status::bmp_compressed:
            if (f.compression == bmp_compression::jpeg && f.bit_count == 24)
                std::snprintf(buffer, size, "RLE24-compressed BMP (OS/2)");
            else if (f.compression == bmp_compression::bitfields && f.bit_count == 1)
                std::snprintf(buffer, size, "Huffman-compressed BMP (OS/2)");
            else if (f.compression == bmp_compression::jpeg)
                std::snprintf(buffer, size, "JPEG-compressed BMP");
            else if (f.compression == bmp_compression::png)
                std::snprintf(buffer, size, "PNG-compressed BMP");
            else
                std::snprintf(buffer, size, "compression %" PRIu32 " is not supported", f.compression);
            break;
        case Status::bmp_bad_compression:
            if (f.compression == bmp_compression::rle8 || f.compression == bmp_compression::rle4)
                std::snprintf(buffer, size, "RLE%s at %" PRIu32 " bits per pixel",
                              f.compression == bmp_compression::rle8 ? "8" : "4", f.bit_count);
            else
                std::snprintf(buffer, size, "bit fields at %" PRIu32 " bits per pixel are not supported", f.bit_count);
            break;
        case Status::bmp_bad_palette_size:
            std::snprintf(buffer, size, "%" PRIu32 " palette colours for %" PRIu32 " bits per pixel", f.palette_size,
                          f.bit_count);
            break;
        case Status::bmp_bad_pixel_offset:
            std::snprintf(buffer, size,
                          "pixel data offset %" PRIu32
                          " points into the headers, masks or palette (they end at %" PRIu64 ")",
                          f.pixel_offset, f.needed_size);
            break;
        case Status::bmp_negative_width: std::snprintf(buffer, size, "negative width (%" PRId64 ")", f.width); break;
        case Status::bmp_bad_height: std::snprintf(buffer, size, "height %" PRId64 " is out of range", f.height); break;
        case Status::bmp_rle_too_large:
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 "; a pipe can only take RLE pictures up to %" PRId32 " x %" PRId32
                          ": write to a file",
                          f.width, f.height, kMaxRlePipeWidth, kMaxRlePipeHeight);
            break;
        case Status::bmp_rle_too_large_for_method:
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 "; an RLE picture takes this method or a raw PBM only up to %" PRId32
                          " x %" PRId32 " (the plain channels rule takes any size)",
                          f.width, f.height, kMaxRlePipeWidth, kMaxRlePipeHeight);
            break;
        case Status::too_many_pixels:
            std::snprintf(buffer, size, "%" PRId64 " x %" PRId64 " is more pixels than the limit of %" PRIu64, f.width,
                          f.height, f.limit);
            break;
        case Status::too_wide_for_method:
            std::snprintf(buffer, size, "a row of %" PRId64 " pixels is wider than this method takes (%" PRIu64 ")",
                          f.width, f.limit);
            break;
        case Status::bmp_text_too_large:
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 " is too large: its PBM text (over %" PRIu64
                          " bytes) would pass the largest file offset",
                          f.width, f.height, f.needed_size);
            break;
        case Status::bmp_pixels_truncated:
            if (f.needed_size == UINT64_MAX)  // the sum did not fit in 64 bits
                std::snprintf(buffer, size, "pixel data is truncated (%" PRId64 " x %" PRId64 " needs too many bytes)",
                              f.width, f.height);
            else
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
        case Status::output_too_small:
            std::snprintf(buffer, size, "the output needs %" PRIu64 " bytes, the buffer has %" PRIu64, f.needed_size,
                          f.limit);
            break;
        case Status::open_input_failed:
        case Status::open_output_failed:
        case Status::read_failed:
        case Status::write_failed:
        case Status::replace_failed:
        case Status::space_not_reserved:
        case Status::cleanup_failed:
            if (f.temp_dir != nullptr) {
                std::snprintf(buffer, size, "cannot write a temporary file in %s: %s", f.temp_dir,
                              std::strerror(f.os_error != 0 ? f.os_error : EIO));
                break;
            }
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

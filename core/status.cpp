#include "core/status.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/limits.hpp"
#include "core/pnm_format.hpp"

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
        case Status::unknown_format:
            return "neither a BMP (\"BM\"), a PBM, PGM, PPM or PAM (\"P1\" to \"P7\"), nor a PNG, JPEG or TIFF file";
        case Status::undetectable_input: return "cannot tell the format of a device input: give a direction";
        case Status::too_many_pixels: return "the picture has more pixels than allowed";
        case Status::too_wide_for_method: return "the picture is too wide for the method";
        case Status::turn_too_large: return "the picture is too large to turn or flip";
        case Status::page_too_large: return "the page is too large to hold whole while its code is chosen";
        case Status::document_empty: return "a document needs at least one page of at least one pixel";
        case Status::one_picture_output: return "this output format holds one picture, not several pages";
        case Status::unwritten_output: return "the output's name calls for a format that is not written";
        case Status::codec_missing: return "this build has no codec for the input's format";
        case Status::pdf_too_large:
            return "the PDF would pass 10 GB, the most its cross-reference table can point into";
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
        case Status::pnm_header_truncated: return "the header ends before the picture's size and maxval";
        case Status::pnm_bad_header: return "malformed PGM, PPM or PAM header";
        case Status::pnm_too_large: return "width or height is too large (over 2147483647)";
        case Status::pnm_bad_maxval: return "the maxval must be 1 to 65535";
        case Status::pam_bad_line: return "unknown PAM header line";
        case Status::pam_missing_field: return "the PAM header lacks a WIDTH, HEIGHT, DEPTH or MAXVAL line";
        case Status::pam_bad_tuple_type: return "PAM tuple type not supported";
        case Status::pam_bad_depth: return "the PAM depth does not suit its tuple type";
        case Status::pnm_bad_sample: return "a sample is not a number";
        case Status::pnm_sample_over_maxval: return "a sample is over the maxval";
        case Status::pnm_damaged_sample: return "damaged raster: a sample is over the maxval";
        case Status::pnm_pixels_truncated: return "the file ends before the last sample";
        case Status::pixels_bad_layout: return "unknown pixel layout";
        case Status::pixels_bad_size: return "width or height is too large (over 2147483647)";
        case Status::pixels_no_data: return "no pixels given";
        case Status::pixels_bad_stride: return "the row stride does not describe rows in memory";
        case Status::output_too_small: return "the output buffer is too small";
        case Status::input_too_long: return "the piped input goes on past the most its picture can take";
        case Status::cancelled: return "the conversion was cancelled";
        case Status::decoded_too_many_pixels: return "the picture is larger than this library takes";
        case Status::png_refused: return "damaged or unsupported PNG";
        case Status::png_too_large: return "PNG too large to decode in the memory allowed";
        case Status::png_bad_palette_index: return "a PNG pixel's palette index is past the palette";
        case Status::png_empty_picture: return "a PNG cannot hold a picture without pixels";
        case Status::jpeg_refused: return "damaged or unsupported JPEG";
        case Status::jpeg_too_many_scans: return "a JPEG of more scans than an encoder writes";
        case Status::tiff_refused: return "damaged TIFF";
        case Status::tiff_unsupported: return "a kind of TIFF that is not read";
        case Status::no_such_page: return "the input has no such page";
        case Status::tiff_too_large: return "TIFF rows too large to read in the memory allowed";
        case Status::tiff_empty_picture: return "a TIFF cannot hold a picture without pixels";
        case Status::tiff_needs_file: return "a TIFF is written to a file, not to a pipe or a device";
        case Status::tiff_output_too_large: return "too large for an uncompressed TIFF: use G4 compression";
        case Status::device_empty_picture: return "an ESC/POS, ZPL or XBM output cannot hold a picture without pixels";
        case Status::device_too_wide: return "the picture is wider than the output format holds";
    }
    return "unknown status";
}

namespace {

bool disk_full(int error) {
#if defined(EDQUOT)
    if (error == EDQUOT) return true;
#endif
    return error == ENOSPC;
}

}  // namespace

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
        case Status::turn_too_large:
            if (f.limit == 0)
                std::snprintf(buffer, size, "%" PRId64 " x %" PRId64 ": no memory to hold its bits to turn or flip",
                              f.width, f.height);
            else
                std::snprintf(buffer, size,
                              "%" PRId64 " x %" PRId64 " is more pixels than can be turned or flipped (%" PRIu64 ")",
                              f.width, f.height, f.limit);
            break;
        case Status::page_too_large:
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 " is more pixels than a page held whole takes (%" PRIu64
                          "); choose --compression g4 or deflate",
                          f.width, f.height, f.limit);
            break;
        case Status::codec_missing:
            std::snprintf(buffer, size,
                          "a %s file, and this build has no %s: the Debian packages, the wheel and the Windows zip "
                          "read it",
                          f.format != nullptr ? f.format : "codec", f.name);
            break;
        case Status::unwritten_output:
            std::snprintf(buffer, size,
                          "cannot write %s: the outputs are PBM, BMP, PNG, TIFF, PDF, ESC/POS, ZPL and XBM; name the "
                          "output for one, or set the format",
                          f.name);
            break;
        case Status::one_picture_output:
            std::snprintf(buffer, size,
                          "%" PRIu64
                          " pages asked of a %s, which holds one picture; write a TIFF, PDF or PBM, or one file a page",
                          f.limit, f.format != nullptr ? f.format : "file");
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
            std::snprintf(
                buffer, size,
                "%" PRId64 " x %" PRId64
                " is too large for a BMP file, which holds 4 GiB (a 1-bit BMP, a PBM, PNG or TIFF holds more)",
                f.width, f.height);
            break;
        case Status::tiff_output_too_large:
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 ": its TIFF takes %" PRIu64
                          " bytes, past the 4 GiB a TIFF holds: use G4 compression",
                          f.width, f.height, f.needed_size);
            break;
        case Status::pbm_too_large_for_pipe:
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 "; a pipe can only take pictures up to %" PRId32 " x %" PRId32
                          ": write to a file",
                          f.width, f.height, kMaxPbmWidth, kMaxPbmHeight);
            break;
        case Status::pnm_bad_maxval:
            if (f.name[0] == 'B')  // BLACKANDWHITE
                std::snprintf(buffer, size, "a BLACKANDWHITE PAM has maxval 1, not %" PRIu32, f.maxval);
            else
                std::snprintf(buffer, size, "maxval %" PRIu32 " is not 1 to 65535", f.maxval);
            break;
        case Status::pam_bad_line: std::snprintf(buffer, size, "unknown PAM header line \"%s\"", f.name); break;
        case Status::pam_missing_field: std::snprintf(buffer, size, "the PAM header has no %s line", f.name); break;
        case Status::pam_bad_tuple_type:
            std::snprintf(buffer, size,
                          "PAM tuple type \"%s\" is not supported (BLACKANDWHITE, GRAYSCALE, GRAYSCALE_ALPHA, RGB "
                          "and RGB_ALPHA are)",
                          f.name);
            break;
        case Status::pam_bad_depth:
            if (f.name[0] != '\0')
                std::snprintf(buffer, size, "depth %" PRIu32 " does not suit PAM tuple type \"%s\"", f.depth, f.name);
            else
                std::snprintf(buffer, size, "a PAM of depth %" PRIu32 " without a TUPLTYPE line", f.depth);
            break;
        case Status::pnm_bad_sample:
            std::snprintf(buffer, size, "byte %" PRIu64 " should start a sample, a decimal number", f.at_byte);
            break;
        case Status::pnm_sample_over_maxval:
            if (f.sample > kPnmMaxvalMax)  // counted only that far
                std::snprintf(buffer, size,
                              "the sample at byte %" PRIu64 " is over %" PRIu32
                              ", the largest maxval (this one is %" PRIu32 ")",
                              f.at_byte, kPnmMaxvalMax, f.maxval);
            else
                std::snprintf(buffer, size, "the sample at byte %" PRIu64 " is %" PRIu32 ", over the maxval %" PRIu32,
                              f.at_byte, f.sample, f.maxval);
            break;
        case Status::pnm_damaged_sample:
            std::snprintf(buffer, size,
                          "damaged raster: the sample at byte %" PRIu64 " is %" PRIu32 ", over the maxval %" PRIu32,
                          f.at_byte, f.sample, f.maxval);
            break;
        case Status::pnm_pixels_truncated:
            if (f.needed_size == UINT64_MAX)  // the size did not fit in 64 bits
                std::snprintf(buffer, size,
                              "the raster is truncated (%" PRId64 " x %" PRId64
                              " needs more bytes than any file holds)",
                              f.width, f.height);
            else if (f.needed_size != 0)
                std::snprintf(buffer, size,
                              "the raster is truncated (%" PRId64 " x %" PRId64 " needs %" PRIu64 " bytes of samples)",
                              f.width, f.height, f.needed_size);
            else
                std::snprintf(buffer, size, "the file ends at byte %" PRIu64 ", before the last sample", f.at_byte);
            break;
        case Status::decoded_too_many_pixels:
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 " is larger than this library takes (%" PRId32 " a side)", f.width,
                          f.height, INT32_MAX);
            break;
        case Status::png_refused: std::snprintf(buffer, size, "PNG refused by libspng: %s", f.library_text); break;
        case Status::jpeg_refused: std::snprintf(buffer, size, "JPEG refused by libjpeg: %s", f.library_text); break;
        case Status::jpeg_too_many_scans:
            std::snprintf(buffer, size, "%s: more than %" PRIu64 " scans, more than an encoder writes",
                          f.format != nullptr ? f.format : "JPEG", f.limit);
            break;
        case Status::tiff_refused: std::snprintf(buffer, size, "TIFF refused by libtiff: %s", f.library_text); break;
        case Status::tiff_unsupported:
            std::snprintf(buffer, size, "%s TIFF is not read: %s (compression %" PRIu32 ", %" PRIu32 " bits a sample)",
                          f.format != nullptr ? f.format : "TIFF", f.name, f.compression, f.bit_count);
            break;
        case Status::no_such_page:
            std::snprintf(buffer, size, "page %" PRIu32 " asked for; the %s has %" PRIu64 " page%s (counted from 1)",
                          f.sample + 1, f.format != nullptr ? f.format : "input", f.limit, f.limit == 1 ? "" : "s");
            break;
        case Status::tiff_too_large:
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 ": %s takes %" PRIu64 " bytes, over the %" PRIu64 " allowed",
                          f.width, f.height, f.name, f.needed_size, f.limit);
            break;
        case Status::png_too_large:
            // Only an interlaced picture is held whole: saved without, it is read a row at a time.
            std::snprintf(buffer, size,
                          "%" PRId64 " x %" PRId64 ": %s takes %" PRIu64 " bytes, over the %" PRIu64 " allowed%s",
                          f.width, f.height, f.name, f.needed_size, f.limit,
                          std::strstr(f.name, "interlaced") != nullptr
                              ? " (saved without interlacing, it is read a row at a time)"
                              : "");
            break;
        case Status::pixels_bad_stride:
            if (f.limit < f.needed_size)
                std::snprintf(buffer, size,
                              "the row stride (%" PRIu64 " bytes) is shorter than a row (%" PRIu64 " bytes)", f.limit,
                              f.needed_size);
            else
                std::snprintf(buffer, size,
                              "%" PRId64 " rows %" PRIu64 " bytes apart run past the end of the address space",
                              f.height, f.limit);
            break;
        case Status::device_too_wide:
            std::snprintf(buffer, size, "%" PRId64 " pixels wide: %s holds rows of at most %" PRIu64 " pixels", f.width,
                          f.format != nullptr ? f.format : "the output", f.limit);
            break;
        case Status::output_too_small:
            std::snprintf(buffer, size, "the output needs %" PRIu64 " bytes, the buffer has %" PRIu64, f.needed_size,
                          f.limit);
            break;
        case Status::input_too_long:
            if (f.width == 0 || f.height == 0) {
                std::snprintf(buffer, size, "%s: the piped input goes on past %" PRIu64 " bytes before its picture",
                              f.format != nullptr ? f.format : "picture", f.limit);
                break;
            }
            std::snprintf(buffer, size,
                          "%s: the piped input goes on past %" PRIu64 " bytes, the most a %" PRId64 " x %" PRId64
                          " picture can take",
                          f.format != nullptr ? f.format : "picture", f.limit, f.width, f.height);
            break;
        case Status::space_not_reserved:
            if (disk_full(f.os_error)) {
                std::snprintf(buffer, size, "no room on its disk for the new output; the old one is unchanged: %s",
                              std::strerror(f.os_error));
                break;
            }
            [[fallthrough]];
        case Status::open_input_failed:
        case Status::open_output_failed:
        case Status::read_failed:
        case Status::write_failed:
        case Status::replace_failed:
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
            if (f.library_text[0] != '\0') {  // a codec library's reason
                std::snprintf(buffer, size, "%s: %s", status_message(status), f.library_text);
                break;
            }
            [[fallthrough]];
        default: std::snprintf(buffer, size, "%s", status_message(status)); break;
    }
    return buffer;
}

}  // namespace qpbm

#include "library/public_status.hpp"

namespace qpbm {

// The public code of each internal status. No default: a new internal
// status does not compile until it has one.
qpbm_status public_status(Status status) {
    switch (status) {
        case Status::ok: return QPBM_OK;
        case Status::invalid_path: return QPBM_EINVALID_PATH;
        case Status::open_input_failed: return QPBM_EOPEN_INPUT;
        case Status::same_file: return QPBM_ESAME_FILE;
        case Status::open_output_failed: return QPBM_EOPEN_OUTPUT;
        case Status::read_failed: return QPBM_EREAD;
        case Status::write_failed:
        case Status::replace_failed:
        case Status::space_not_reserved: return QPBM_EWRITE;
        case Status::input_shrank: return QPBM_EINPUT_SHRANK;
        case Status::cleanup_failed: return QPBM_ECLEANUP;
        case Status::output_no_reader: return QPBM_ENO_READER;
        case Status::unknown_format: return QPBM_EUNKNOWN_FORMAT;
        case Status::undetectable_input: return QPBM_EUNDETECTABLE;
        case Status::too_many_pixels: return QPBM_ETOO_MANY_PIXELS;
        case Status::turn_too_large: return QPBM_ETOO_MANY_PIXELS;
        case Status::page_too_large: return QPBM_ETOO_MANY_PIXELS;
        case Status::document_empty: return QPBM_EDOCUMENT;
        case Status::one_picture_output: return QPBM_EDOCUMENT;
        case Status::pdf_too_large: return QPBM_EDOCUMENT;
        case Status::unwritten_output: return QPBM_EOUTPUT_FORMAT;
        case Status::codec_missing: return QPBM_ECODEC_MISSING;
        case Status::too_wide_for_method: return QPBM_ETOO_WIDE;
        case Status::bmp_header_truncated:
        case Status::bmp_palette_truncated: return QPBM_EBMP_TRUNCATED_HEADER;
        case Status::bmp_not_bmp: return QPBM_EBMP_NOT_BMP;
        case Status::bmp_bad_bit_count:
        case Status::bmp_compressed:
        case Status::bmp_rle_top_down: return QPBM_EBMP_UNSUPPORTED;
        case Status::bmp_bad_header_size:
        case Status::bmp_bad_compression:
        case Status::bmp_bad_masks:
        case Status::bmp_bad_palette_size:
        case Status::bmp_bad_pixel_offset:
        case Status::bmp_negative_width:
        case Status::bmp_bad_height: return QPBM_EBMP_BAD_HEADER;
        case Status::bmp_rle_too_large:
        case Status::bmp_rle_too_large_for_method:
        case Status::bmp_text_too_large: return QPBM_EBMP_TOO_LARGE;
        case Status::bmp_pixels_truncated: return QPBM_EBMP_TRUNCATED;
        case Status::pbm_header_truncated: return QPBM_EPBM_TRUNCATED;
        case Status::pbm_bad_magic: return QPBM_EPBM_BAD_MAGIC;
        case Status::pbm_bad_header_char:
        case Status::pbm_signed_number:
        case Status::pbm_header_too_long:
        case Status::pbm_no_raster_separator: return QPBM_EPBM_BAD_HEADER;
        case Status::pbm_number_too_large:
        case Status::pbm_too_large_for_pipe:
        case Status::pbm_too_large: return QPBM_EPBM_TOO_LARGE;
        case Status::pnm_header_truncated:
        case Status::pnm_pixels_truncated: return QPBM_EPNM_TRUNCATED;
        case Status::pnm_bad_header:
        case Status::pnm_bad_maxval:
        case Status::pam_bad_line:
        case Status::pam_missing_field: return QPBM_EPNM_BAD_HEADER;
        case Status::pnm_too_large: return QPBM_EPNM_TOO_LARGE;
        case Status::pam_bad_tuple_type:
        case Status::pam_bad_depth: return QPBM_EPNM_UNSUPPORTED;
        case Status::pnm_bad_sample:
        case Status::pnm_sample_over_maxval:
        case Status::pnm_damaged_sample: return QPBM_EPNM_DAMAGED;
        case Status::pixels_bad_layout:
        case Status::pixels_bad_size:
        case Status::pixels_no_data:
        case Status::pixels_bad_stride: return QPBM_EINVALID_ARGUMENT;
        case Status::output_too_small: return QPBM_EOUTPUT_TOO_SMALL;
        case Status::input_too_long: return QPBM_EINPUT_TOO_LONG;
        case Status::cancelled: return QPBM_ECANCELLED;
        case Status::decoded_too_many_pixels: return QPBM_ETOO_MANY_PIXELS;
        case Status::png_refused:
        case Status::png_bad_palette_index: return QPBM_EPNG_DAMAGED;
        case Status::png_too_large:
        case Status::png_empty_picture: return QPBM_EPNG_TOO_LARGE;
        case Status::jpeg_refused: return QPBM_EJPEG_DAMAGED;
        case Status::jpeg_too_many_scans: return QPBM_EJPEG_TOO_MANY_SCANS;
        case Status::tiff_refused: return QPBM_ETIFF_DAMAGED;
        case Status::tiff_unsupported:
        case Status::no_such_page: return QPBM_ENO_SUCH_PAGE;
        case Status::tiff_too_large: return QPBM_ETIFF_TOO_LARGE;
        case Status::tiff_empty_picture:
        case Status::tiff_needs_file:
        case Status::tiff_output_too_large: return QPBM_ETIFF_OUTPUT;
        case Status::device_empty_picture:
        case Status::device_too_wide: return QPBM_EDEVICE_OUTPUT;
    }
    return QPBM_EINVALID_ARGUMENT;
}

}  // namespace qpbm

extern "C" {

const char* qpbm_status_message(qpbm_status status) {
    switch (status) {
        case QPBM_OK: return "converted";
        case QPBM_EINVALID_PATH: return "invalid path";
        case QPBM_EOPEN_INPUT: return "cannot open the input";
        case QPBM_ESAME_FILE: return "the output is the input file";
        case QPBM_EOPEN_OUTPUT: return "cannot create the output";
        case QPBM_EREAD: return "read error";
        case QPBM_EWRITE: return "write error";
        case QPBM_EINPUT_SHRANK: return "the input became shorter while it was read";
        case QPBM_ECLEANUP: return "write error, and the partial output could not be removed";
        case QPBM_ENO_READER: return "the output is a FIFO with no reader";
        case QPBM_EUNKNOWN_FORMAT:
            return "neither a BMP (\"BM\"), a PBM, PGM, PPM or PAM (\"P1\" to \"P7\"), nor a PNG, JPEG or TIFF file";
        case QPBM_EUNDETECTABLE: return "cannot tell the format of a device input: give a direction";
        case QPBM_EINVALID_ARGUMENT: return "invalid argument";
        case QPBM_ETOO_MANY_PIXELS: return "the picture has more pixels than allowed";
        case QPBM_ETOO_WIDE: return "the picture is too wide for the method";
        case QPBM_EOUTPUT_TOO_SMALL: return "the output buffer is too small";
        case QPBM_EINPUT_TOO_LONG: return "the piped input goes on past the most its picture can take";
        case QPBM_ECANCELLED: return "the conversion was cancelled";
        case QPBM_ENO_SUCH_PAGE: return "the input has no such page";
        case QPBM_EDOCUMENT: return "the pages do not make that document";
        case QPBM_EBMP_TRUNCATED_HEADER: return "too short for a BMP header";
        case QPBM_EBMP_NOT_BMP: return "not a BMP file";
        case QPBM_EBMP_UNSUPPORTED: return "a kind of BMP that is not supported";
        case QPBM_EBMP_BAD_HEADER: return "invalid BMP header";
        case QPBM_EBMP_TRUNCATED: return "BMP pixel data is truncated";
        case QPBM_EBMP_TOO_LARGE: return "BMP picture is too large";
        case QPBM_EPBM_BAD_MAGIC: return "not a PBM file";
        case QPBM_EPBM_BAD_HEADER: return "invalid PBM header";
        case QPBM_EPBM_TOO_LARGE: return "PBM picture is too large";
        case QPBM_EPBM_TRUNCATED: return "PBM header is truncated";
        case QPBM_EPNM_BAD_HEADER: return "malformed PGM, PPM or PAM header";
        case QPBM_EPNM_UNSUPPORTED: return "PAM tuple type or depth not supported";
        case QPBM_EPNM_DAMAGED: return "PGM, PPM or PAM samples are damaged";
        case QPBM_EPNM_TRUNCATED: return "PGM, PPM or PAM file is truncated";
        case QPBM_EPNM_TOO_LARGE: return "PGM, PPM or PAM width or height is too large";
        case QPBM_EPNG_DAMAGED: return "damaged or unsupported PNG";
        case QPBM_EPNG_TOO_LARGE: return "PNG too large to decode or write";
        case QPBM_EJPEG_DAMAGED: return "damaged or unsupported JPEG";
        case QPBM_EJPEG_TOO_MANY_SCANS: return "a JPEG of more scans than an encoder writes";
        case QPBM_ETIFF_DAMAGED: return "damaged TIFF";
        case QPBM_ETIFF_UNSUPPORTED: return "a kind of TIFF that is not read";
        case QPBM_ETIFF_TOO_LARGE: return "TIFF rows too large to read";
        case QPBM_ETIFF_OUTPUT: return "a TIFF cannot be written there";
        case QPBM_EDEVICE_OUTPUT: return "the picture does not fit the printer's format";
        case QPBM_EOUTPUT_FORMAT: return "the output's name calls for a format that is not written";
        case QPBM_ECODEC_MISSING: return "the input is a PNG, JPEG or TIFF file, and this build has no codec for it";
    }
    return "unknown status";
}

}  // extern "C"

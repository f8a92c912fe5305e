// Why a conversion stopped. The exports cannot report it (they always return
// 999); the command-line tool and the tests do.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qpbm {

enum class Status {
    ok = 0,
    // Paths and files.
    invalid_path,         // null, not valid UTF-16, or too long for the platform
    open_input_failed,    // the input could not be opened for reading
    same_file,            // the output path names the input file
    open_output_failed,   // the output could not be created
    read_failed,          // an I/O error while reading the input
    write_failed,         // a write or the final close of the output failed
    input_shrank,         // the input became shorter while it was read
    cleanup_failed,       // a write failed and the partial output could not be removed
    output_no_reader,     // the output is a FIFO that no process is reading
    unknown_format,       // the first bytes are neither "BM" nor "P1" or "P4"
    undetectable_input,   // a device input, whose first bytes cannot be looked at before converting
    too_many_pixels,      // width x height over the caller's limit
    too_wide_for_method,  // a row wider than a method that holds whole rows can take
    replace_failed,       // the complete output could not be put in the target's place
    space_not_reserved,   // in place: the output's space could not be reserved, and the target was left as it was
    input_too_long,       // a piped PNG, JPEG or TIFF goes on past the most any encoding of its picture takes
    cancelled,            // the caller's cancel flag (Options::cancel) was set between rows
    turn_too_large,       // a picture to turn or flip, held whole as bits, over kMaxHeldPixels (or the memory)
    page_too_large,       // a document's page held whole for its code, over kMaxHeldPixels (or the memory)
    document_empty,       // a document closed with no page, or a page of no pixels
    one_picture_output,   // several pages asked of an output that holds one picture
    pdf_too_large,        // a PDF past the ten digits of its cross-reference offsets
    unwritten_output,     // an output named for a format never written (a JPEG, a GIF, ...)
    codec_missing,  // a PNG, JPEG or TIFF input in a build without its codec (facts.format, facts.name its library)
    // BMP input.
    bmp_header_truncated,          // the file ends inside its file or information header, or its masks
    bmp_not_bmp,                   // no "BM" signature
    bmp_bad_header_size,           // an information header neither 12 bytes nor at least 40
    bmp_bad_bit_count,             // bits per pixel other than 1, 2, 4, 8, 16, 24 or 32
    bmp_compressed,                // JPEG, PNG, RLE24, Huffman or an unknown compression
    bmp_bad_compression,           // a compression the bit count cannot have (RLE8 but not 8 bits, ...)
    bmp_bad_masks,                 // a colour mask that is zero or not contiguous
    bmp_bad_palette_size,          // more palette entries than the bits can index
    bmp_palette_truncated,         // the file ends inside the palette
    bmp_bad_pixel_offset,          // pixel data claimed to start inside the headers, masks or palette
    bmp_negative_width,            // biWidth below 0
    bmp_bad_height,                // biHeight of INT32_MIN, which has no positive counterpart
    bmp_rle_top_down,              // an RLE BMP with a negative height
    bmp_rle_too_large,             // an RLE BMP larger than the image a pipe's output is gathered in
    bmp_rle_too_large_for_method,  // an RLE BMP larger than the image it is gathered in for a method
    bmp_text_too_large,            // an RLE BMP whose PBM text would pass the largest file offset
    bmp_pixels_truncated,          // the file ends before the last pixel row
    // PBM input.
    pbm_bad_magic,            // does not start with "P1" or "P4"
    pbm_header_truncated,     // the file ends before the height
    pbm_bad_header_char,      // a character other than white space, a comment or a digit in the header
    pbm_signed_number,        // a sign before the width or height
    pbm_number_too_large,     // a width or height over 2^31 - 1
    pbm_header_too_long,      // more than 64 KiB before the pixels
    pbm_no_raster_separator,  // P4: the height not followed by one white-space byte
    pbm_too_large,            // a BMP of this size would pass 4 GiB
    pbm_too_large_for_pipe,   // over 1000 x 1000 to an output that cannot seek
    // PGM, PPM and PAM input.
    pnm_header_truncated,    // the file ends inside the header
    pnm_bad_header,          // a character, sign or separator the header grammar does not allow, or over 64 KiB
    pnm_too_large,           // a width or height over 2^31 - 1
    pnm_bad_maxval,          // a maxval of 0 or over 65535 (BLACKANDWHITE: other than 1)
    pam_bad_line,            // a PAM header line of an unknown keyword
    pam_missing_field,       // no WIDTH, HEIGHT, DEPTH or MAXVAL line before ENDHDR
    pam_bad_tuple_type,      // a PAM tuple type that is not read
    pam_bad_depth,           // a PAM depth that its tuple type cannot have
    pnm_bad_sample,          // plain: something other than a number where a sample belongs
    pnm_sample_over_maxval,  // plain: a sample over the maxval
    pnm_damaged_sample,      // raw: a sample over the maxval, so the raster is damaged
    pnm_pixels_truncated,    // the file ends before the last sample
    // Pixel buffers.
    pixels_bad_layout,  // a layout that is not one of the six
    pixels_bad_size,    // a width or height over 2^31 - 1
    pixels_no_data,     // no pixels for a picture that has some
    pixels_bad_stride,  // a stride shorter than a row, or rows past the end of the address space
    // Memory output.
    output_too_small,  // the caller's buffer holds fewer bytes than the output needs
    // Pictures decoded by a codec library.
    decoded_too_many_pixels,  // a side over 2^31 - 1, more than any output here takes
    // PNG input and output.
    png_refused,            // libspng refused the file: damaged, truncated, or over a limit (its text in facts)
    png_too_large,          // a row, or an interlaced picture, over the memory it may take
    png_bad_palette_index,  // a pixel's palette index past the palette's end
    png_empty_picture,      // a PNG output of a picture with no pixels, which PNG cannot hold
    // JPEG input.
    jpeg_refused,         // libjpeg refused the file: damaged, truncated, unsupported or over its memory (its text)
    jpeg_too_many_scans,  // more scans than kJpegMaxScans (facts.limit)
    // TIFF input.
    tiff_refused,      // libtiff refused the file: damaged, truncated or over its limits (its text in facts)
    tiff_unsupported,  // a photometric, bit depth, layout or compression that is not read (facts.name says which)
    no_such_page,      // the page asked for is past the last one
    tiff_too_large,    // a row, or a row of tiles, over the memory it may take
    // TIFF output.
    tiff_empty_picture,     // a picture with no pixels, which TIFF cannot hold
    tiff_needs_file,        // an output that cannot seek, where libtiff must go back to its header
    tiff_output_too_large,  // uncompressed or PackBits rows past the 4 GiB a TIFF's offsets reach
    // ESC/POS, ZPL and XBM output.
    device_empty_picture,  // a picture with no pixels, which a printer's format cannot hold
    device_too_wide,       // a row wider than the format holds (facts.limit pixels, facts.format names it)
};

// What a converter learned of its input before it stopped, for messages.
struct Facts {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::uint32_t bit_count = 0;
    std::uint32_t compression = 0;
    std::uint32_t info_size = 0;
    std::uint32_t pixel_offset = 0;
    std::uint32_t palette_size = 0;  // BMP palette entries
    std::uint64_t file_size = 0;
    std::uint64_t needed_size = 0;
    std::uint64_t limit = 0;  // the limit a picture passed: pixels, or a row's width
    int os_error = 0;         // errno of a failed open, read or write; 0 when unknown
    const char* format = nullptr;
    const char* temp_dir = nullptr;  // set when the failure was a temporary file's in this directory
    // PGM, PPM and PAM.
    std::uint32_t maxval = 0;
    std::uint32_t depth = 0;
    std::uint32_t sample = 0;     // a sample over the maxval
    std::uint64_t at_byte = 0;    // where a refused sample starts, counted from the picture's first byte
    char name[32] = {};           // a PAM keyword or tuple type
    char library_text[160] = {};  // a codec library's own words for what it refused
    char decision[160] = {};      // what `auto` chose and why
};

// A short fixed description of the status, e.g. "input is not a BMP file".
const char* status_message(Status status);

// The status message with the facts that explain it, e.g. "64 bits per
// pixel is not supported". Writes a NUL-terminated text of at
// most size - 1 characters into buffer and returns buffer.
const char* describe_status(Status status, const Facts& facts, char* buffer, std::size_t size);

}  // namespace qpbm

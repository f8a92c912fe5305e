// Why a conversion stopped. The exports cannot report it (they always return
// 999); the command-line tool and the tests do.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qpbm {

enum class Status {
    ok = 0,
    // Paths and files.
    invalid_path,        // null, not valid UTF-16, or too long for the platform
    open_input_failed,   // the input could not be opened for reading
    same_file,           // the output path names the input file
    open_output_failed,  // the output could not be created
    read_failed,         // an I/O error while reading the input
    write_failed,        // a write or the final close of the output failed
    input_shrank,        // the input became shorter while it was read
    cleanup_failed,      // a write failed and the partial output could not be removed
    output_no_reader,    // the output is a FIFO that no process is reading
    unknown_format,      // the first bytes are neither "BM" nor "P1" or "P4"
    undetectable_input,  // a device input, whose first bytes cannot be looked at before converting
    // BMP input.
    bmp_header_truncated,   // the file ends inside its file or information header, or its masks
    bmp_not_bmp,            // no "BM" signature
    bmp_bad_header_size,    // an information header neither 12 bytes nor at least 40
    bmp_bad_bit_count,      // bits per pixel other than 1, 2, 4, 8, 16, 24 or 32
    bmp_compressed,         // JPEG, PNG, RLE24, Huffman or an unknown compression
    bmp_bad_compression,    // a compression the bit count cannot have (RLE8 but not 8 bits, ...)
    bmp_bad_masks,          // a colour mask that is zero or not contiguous
    bmp_bad_palette_size,   // more palette entries than the bits can index
    bmp_palette_truncated,  // the file ends inside the palette
    bmp_bad_pixel_offset,   // pixel data claimed to start inside the headers, masks or palette
    bmp_negative_width,     // biWidth below 0
    bmp_bad_height,         // biHeight of INT32_MIN, which has no positive counterpart
    bmp_rle_top_down,       // an RLE BMP with a negative height
    bmp_rle_too_large,      // an RLE BMP larger than the image a pipe's output is gathered in
    bmp_pixels_truncated,   // the file ends before the last pixel row
    // PBM input.
    pbm_missing_lines,       // fewer than the three header lines
    pbm_bad_magic,           // line 1 is not "P1"
    pbm_bad_comment,         // line 2 is not a comment
    pbm_bad_dimension_line,  // no space, or no line feed within the text read
    pbm_bad_number,          // a dimension with no digit
    pbm_number_too_long,     // a dimension longer than 23 characters
    pbm_negative_dimension,  // a width or height below 0
    pbm_too_large,           // larger than the image buffer holds
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
    int os_error = 0;  // errno of a failed open, read or write; 0 when unknown
    const char* format = nullptr;
};

// A short fixed description of the status, e.g. "input is not a BMP file".
const char* status_message(Status status);

// The status message with the facts that explain it, e.g. "64 bits per
// pixel is not supported". Writes a NUL-terminated text of at
// most size - 1 characters into buffer and returns buffer.
const char* describe_status(Status status, const Facts& facts, char* buffer, std::size_t size);

}  // namespace qpbm

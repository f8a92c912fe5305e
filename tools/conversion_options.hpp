// The command line's conversion options (--to, --raw, --bpp, --max-pixels,
// --method, --threshold, --window, --invert, the layout, --dpi, --width, --height, --fit, --page, --pages): parsed into
// the qpbm_options the library takes, and checked against each other, the direction and the output format.
#pragma once

#include <qpbm.h>

#include <functional>
#include <optional>
#include <string>

namespace tool {

struct ConversionOptions {
    qpbm_options api;  // every field at its default until an option sets it
    // The options given, by name, for the checks against the formats.
    std::string bmp_input_option;    // the first option of a BMP input (the method's)
    std::string pbm_output_option;   // the first option of a PBM output
    std::string bmp_output_option;   // the first option of a BMP output
    std::string tiff_output_option;  // the first option of a TIFF output
    std::string png_output_option;   // the first option of a PNG output, with its value
    std::string to_from;             // what named the output format: "--to bmp", or the output's name
    std::string pages;               // --pages as given (api.pages points at it when a call is made)
    bool threshold_given = false;
    bool window_given = false;
    bool fit_given = false;   // --fit, which sets both sides
    bool side_given = false;  // --width or --height

    ConversionOptions() {
        qpbm_options_init(&api);
        api.method = QPBM_METHOD_DEFAULT;  // auto for PNG, JPEG and TIFF; channels for BMP and netpbm
    }
};

enum class Taken { no, yes, error };

// Takes `arg` if it is a conversion option; `value(longname, out)` reads its
// value ("--opt=VALUE" or the next argument). On an error, `error` says why.
Taken take_conversion_option(const std::string& arg, const std::function<bool(const char*, std::string&)>& value,
                             ConversionOptions& options, std::string& error);

// Checks the options against each other, and against the direction and the
// output format when they are known; an empty text when they are fine. An
// option of another format is an error when the formats are known, and is
// ignored for the inputs it does not apply to when they are detected.
std::string check_conversion_options(const ConversionOptions& options, std::optional<qpbm_direction> direction);

// The size options' part of the check: --fit alone, and no size that makes
// every output larger than --max-pixels.
std::string check_size_options(const ConversionOptions& options);

// The output format a file name's extension calls for (".pbm", ".bmp",
// ".escpos", ".zpl", ".xbm" or, where built with libspng and libtiff,
// ".png", ".tif", ".tiff" and ".pdf", in any case); QPBM_FORMAT_AUTO for any other
// name.
qpbm_format format_of_name(const std::string& name);
// The format a file name's extension names that is never written (".jpg",
// ".gif", ".webp", ...; ".png", ".tif" and ".pdf" in a build without their
// codec), for the refusal; null for any other name.
const char* unwritten_format(const std::string& name);
// The same of an extension without its dot, or of a --to value.
qpbm_format format_of_extension(std::string extension);

// The formats --to takes, for messages and the help.
#if defined(QUORVELPBM_HAVE_PNG) && defined(QUORVELPBM_HAVE_TIFF)
#define QUORVELPBM_OUTPUT_FORMATS "pbm, bmp, png, tiff, pdf, escpos, zpl or xbm"
#elif defined(QUORVELPBM_HAVE_PNG)
#define QUORVELPBM_OUTPUT_FORMATS "pbm, bmp, png, escpos, zpl or xbm"
#elif defined(QUORVELPBM_HAVE_TIFF)
#define QUORVELPBM_OUTPUT_FORMATS "pbm, bmp, tiff, pdf, escpos, zpl or xbm"
#else
#define QUORVELPBM_OUTPUT_FORMATS "pbm, bmp, escpos, zpl or xbm"
#endif

// What --compression takes, for messages.
#if defined(QUORVELPBM_HAVE_PNG) && defined(QUORVELPBM_HAVE_TIFF)
#define QUORVELPBM_COMPRESSIONS "g4, deflate, auto, packbits or none (TIFF) or a zlib level, 0 to 9 (PNG)"
#elif defined(QUORVELPBM_HAVE_PNG)
#define QUORVELPBM_COMPRESSIONS "a zlib level, 0 to 9 (PNG)"
#else
#define QUORVELPBM_COMPRESSIONS "g4, deflate, auto, packbits or none (TIFF)"
#endif

// The input format a direction word names; QPBM_FORMAT_AUTO when detected.
qpbm_format input_of(qpbm_direction direction);

// The output format of an input of the format (QPBM_FORMAT_AUTO: not known
// yet) under the options: a PBM becomes a BMP, anything else a PBM.
qpbm_format output_format(qpbm_format input, const qpbm_options& options);

}  // namespace tool

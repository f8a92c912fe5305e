// The command line's conversion options (--raw, --bpp, --max-pixels,
// --method, --threshold, --window, --invert): parsed into the qpbm_options
// the library takes, and checked against each other and the direction.
#pragma once

#include <qpbm.h>

#include <functional>
#include <optional>
#include <string>

namespace tool {

struct ConversionOptions {
    qpbm_options api;  // every field at its default until an option sets it
    // The options given, by name, for the checks against the direction.
    std::string bmp_to_pbm_option;  // the first option of the BMP to PBM direction
    std::string pbm_to_bmp_option;  // the first option of the PBM to BMP direction
    bool threshold_given = false;
    bool window_given = false;

    ConversionOptions() { qpbm_options_init(&api); }
};

enum class Taken { no, yes, error };

// Takes `arg` if it is a conversion option; `value(longname, out)` reads its
// value ("--opt=VALUE" or the next argument). On an error, `error` says why.
Taken take_conversion_option(const std::string& arg, const std::function<bool(const char*, std::string&)>& value,
                             ConversionOptions& options, std::string& error);

// Checks the options against each other and the direction, when given; an
// empty text when they are fine. An option of the other direction is an error
// when the direction is given, and is ignored for inputs of that direction
// when it is detected.
std::string check_conversion_options(const ConversionOptions& options, std::optional<qpbm_direction> direction);

}  // namespace tool

// What the command line asked for, as the option parser leaves it.
#pragma once

#include <qpbm.h>

#include <optional>
#include <string>
#include <vector>

#include "conversion_options.hpp"

namespace tool {

inline constexpr const char* kStdio = "-";

enum class ProgressMode {
    automatic,  // a redrawn line when standard error is a terminal, else none
    lines,      // a plain line per update, for logs
    off,
};

struct Options {
    std::optional<qpbm_direction> direction;
    std::optional<std::string> output_dir;
    unsigned jobs = 0;  // 0: one per processor
    bool force = false;
    bool verbose = false;
    std::optional<std::string> files_from;  // a list of input names; "-" is standard input
    bool null_separated = false;            // the list's names end in NUL, not line feed
    bool recursive = false;
    bool follow = false;  // -r takes a link to a file as that file
    // How long a FIFO or device input is waited for before its first byte;
    // unset: forever for a single input, not at all in a batch.
    std::optional<unsigned> wait_seconds;
    bool update = false;
    ProgressMode progress = ProgressMode::automatic;
    bool fsync = false;                  // sync each output and its directory before reporting it
    bool reader_thread = true;           // decode in a thread of its own while one file converts at a time
    std::optional<std::string> combine;  // --combine OUTPUT: every input as a page of one file
    ConversionOptions conversion;        // --raw, --bpp, --method, ...
    std::vector<std::string> paths;
};

}  // namespace tool

// A batch: each name planned as it arrives (its direction, its output, the
// safety checks, --update), converted on several threads, and reported in
// the order of the names. Only a window of names is in hand at any time;
// what the batch remembers of every file is a few bytes of identity.
#pragma once

#include "files.hpp"
#include "options.hpp"

namespace tool {

// Runs the conversions the options name; returns the exit status.
int run_batch(const Options& options);

}  // namespace tool

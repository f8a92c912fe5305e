// --combine OUTPUT: every input, in order, as the pages of one TIFF, PDF or
// PBM file. The command line's names, then the list's, then each tree's
// files in sorted path order; a multi-page input gives every page, or those
// --pages names. The document is put in place whole or not at all.
#pragma once

#include "options.hpp"

namespace tool {

// Runs the combination; returns the exit status.
int run_combine(const Options& options);

}  // namespace tool

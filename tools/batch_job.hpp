// One conversion of a batch: what the batch planned for it (the Job), how
// it went (the Outcome), the call that converts it and the line that
// reports it.
#pragma once

#include <qpbm.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "batch_files.hpp"
#include "options.hpp"

namespace tool {

// One conversion of the batch, planned when its name arrives.
struct Job {
    std::string input;      // as given, for messages
    std::string open_path;  // what the library opens (a relay's end for a pipe it reads after the tool)
    std::string output;     // as shown
    std::string output_path;
    qpbm_direction direction = QPBM_DETECT;
    qpbm_format format = QPBM_FORMAT_AUTO;  // the input's, once known
    std::string refusal;                    // set when the job is refused before it runs
    bool up_to_date = false;                // --update found an output not older than the input
    std::uint64_t bytes = 0;                // the input's size, for the rate
    std::uint64_t replaced = 0;             // the identity of the file the output replaces, if any
    std::string planned;                    // where a new output will be made (see planned_place)
    unsigned permissions = 07777;           // the most access the output may give: a tree's file, its source's
    Held held;                              // a FIFO or device input, opened here
#if !defined(_WIN32)
    Relay relay;  // a pipe whose first bytes the tool took, on its way to the library
#endif

    // Lets go of the input once it is converted or refused.
    void release() {
#if !defined(_WIN32)
        relay.stop();
#endif
        held.reset();
    }
};

struct Outcome {
    bool done = false;
    qpbm_status status = QPBM_OK;
    qpbm_result result{};
    std::string note;  // a word beside the result: the pages a multi-page input kept back
};

// `name` (a base name, or a path below a tree's top) with the extension of
// the output format in place of its own.
std::string output_name(std::string name, qpbm_format format);

std::string base_name(const std::string& path);

// The library is told the direction of a BMP or a PBM; other formats it
// tells itself.
qpbm_direction direction_of(qpbm_format format);

// The one place that converts: everything the batch decided is in the job.
// A reader thread only when files convert one at a time (`alone`): several
// at once keep the cores busy already.
void convert(const Options& options, const Job& job, bool alone, void* work, std::size_t work_size, Outcome& outcome);

// `path` with "-N" before its extension: the name of page N of a one-picture output.
std::string page_name(const std::string& path, std::uint32_t page);

// Whether the job wrote to standard output and its reader went away: a
// filter then stops quietly, as netpbm's do (`quorvelpbm x.png - | head`).
bool reader_left(const Job& job, const Outcome& outcome);

// The line that reports one job, or nothing.
std::string report(const Job& job, const Outcome& outcome, bool verbose);

}  // namespace tool

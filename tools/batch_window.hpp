// The window of a batch's names (tools/batch.cpp runs it): each name's slot
// from the moment it is read until it is reported, and what the workers
// share. The steps one name goes through are in tools/batch_steps.cpp.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "batch_files.hpp"
#include "batch_job.hpp"
#include "names.hpp"
#include "options.hpp"

namespace tool {

// Names read ahead of the oldest one not yet reported: enough to keep every
// thread busy while one picture takes long, few enough (about 700 bytes
// each) that the window's memory does not matter.
constexpr std::size_t kWindowLeast = 64;
constexpr std::size_t kWindowPerThread = 4;

// A name's place in the window, from the moment it is read until it is
// reported. What a worker found out about the input (prepare) waits here for
// the name's turn at the checks, which see every earlier name.
struct Slot {
    Name name;
    Job job;
    FileInfo input;  // as the worker found it
    Outcome outcome;
};

class Batch {
public:
    Batch(const Options& options, unsigned threads)
        : options_(options),
          alone_(threads == 1),
          window_(std::max(kWindowLeast, kWindowPerThread * threads)),
          slots_(window_) {}

    // Inputs named on the command line are all known at the start: a later
    // one is kept from being overwritten by an earlier one's output too.
    void remember_command_line() {
        for (std::size_t i = 0; i < command_line_count(); ++i) {
            if (options_.paths[i] == kStdio) continue;
            const FileInfo info = look(options_.paths[i]);
            command_line_.push_back(info);
            if (info.exists) known_.insert(IdentitySet::of(options_.paths[i], info, IdentitySet::input));
        }
    }

    std::size_t command_line_count() const { return options_.output_dir ? options_.paths.size() : 1; }

    // Milliseconds to wait for a FIFO or device, or -1: forever.
    int wait_ms() const {
        if (options_.wait_seconds) return static_cast<int>(std::min(*options_.wait_seconds, 2000000u)) * 1000;
        const bool single = !options_.output_dir || (options_.paths.size() == 1 && !options_.files_from);
        return single ? -1 : 0;
    }
    void prepare(Slot& slot);
    void check(Slot& slot);
    bool is_own_output(const std::string& input, const FileInfo& info) const;
    bool up_to_date(const Job& job, const FileInfo& input, const FileInfo& out) const;
    void work(bool until_idle = false);

    const Options& options_;
    const bool alone_;  // one worker: a file at a time
    const std::size_t window_;
    std::vector<Slot> slots_;  // name number n in slots_[n % window_]
    std::mutex lock_;
    std::condition_variable work_;      // a name read, or the end of them
    std::condition_variable turn_;      // a name checked
    std::condition_variable finished_;  // a name done
    // Names read, taken by a worker, checked, and reported, each a count
    // from the first name.
    std::uint64_t planned_ = 0, started_ = 0, checked_ = 0, reported_ = 0;
    bool all_planned_ = false;
    IdentitySet known_;  // inputs read and outputs written so far
    std::vector<FileInfo> command_line_;
    std::string made_dir_;  // the last directory made for a tree's output
};

}  // namespace tool

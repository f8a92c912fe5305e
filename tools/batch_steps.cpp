// What one name of a batch goes through before its conversion: the look at
// its files on a worker (prepare), then in the order of the names the checks
// that see every earlier one.
#include <qpbm.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "batch_window.hpp"
#include "console.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tool {

// Whether `input` is an output this batch has written or is writing. Called
// with the lock held.
bool Batch::is_own_output(const std::string& input, const FileInfo& info) const {
    const std::uint64_t as_output = info.exists ? IdentitySet::of(input, info, IdentitySet::output) : 0;
    if (as_output != 0 && known_.contains(as_output)) return true;
    for (std::uint64_t n = reported_; n < checked_; ++n) {
        const Slot& running = slots_[n % window_];
        if (running.outcome.done || !running.job.refusal.empty() || running.job.up_to_date) continue;
        if (running.job.output_path == input || (as_output != 0 && running.job.replaced == as_output)) return true;
    }
    return false;
}

// Whether --update skips a job: its output is a file not older than the
// input, and begins as a complete picture of the kind the job makes, so
// that one cut short (a copy in place killed part way) is converted again.
bool Batch::up_to_date(const Job& job, const FileInfo& input, const FileInfo& out) const {
    return out.exists && out.regular && input.regular && out.modified_ns >= input.modified_ns &&
           complete_output(job.output_path, out.size, output_format(job.format, options_.conversion.api));
}

// What can be found out about a name without the others: the files, the
// direction and the output's name. Runs on the workers, side by side.
void Batch::prepare(Slot& slot) {
    const Name& name = slot.name;
    Job& job = slot.job;
    job = Job{};
    job.input = name.input;
    job.open_path = name.input;
    job.direction = options_.direction.value_or(QPBM_DETECT);
    job.format = input_of(job.direction);
    job.refusal = name.refusal;
    if (!job.refusal.empty()) return;
    const bool from_stdin = name.input == kStdio && !name.listed;
    FileInfo& info = slot.input;
    info = look(name.input, from_stdin);
    job.bytes = info.size;
    if (!name.under.empty()) job.permissions = info.mode;  // a mirror gives no more access than its source
#if !defined(_WIN32)
    if (from_stdin) {
        job.input = "standard input";
        job.open_path = "/dev/stdin";
        if (standard_stream_closed(STDIN_FILENO)) job.refusal = "standard input is closed";
    }
    // A FIFO or a device is opened without blocking and waited for, for
    // its first byte, at most --wait seconds (by default not at all in a
    // batch), so that one whose writer never comes holds back nothing.
    if (job.refusal.empty() && !from_stdin && info.exists && !info.regular && !info.directory) {
        job.held.reset(open(name.input.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (job.held.get() < 0) {
            job.refusal = std::string("cannot open the input: ") + std::strerror(errno);
        } else if (!wait_for_data(job.held.get(), wait_ms(), job.refusal)) {
            job.held.reset();
        } else {
            job.open_path = "/dev/fd/" + std::to_string(job.held.get());
        }
    }
    // A pipe whose direction is not given is told by its first bytes, read
    // here; those bytes and the rest of the pipe then reach the library
    // through a pipe of the tool's own (a Relay), and the library reads as
    // far as the picture's header allows. With a direction a pipe goes to
    // the library as it is, as does a device (a terminal, /dev/zero).
    if (job.refusal.empty() && info.pipe && job.direction == QPBM_DETECT) {
        const int from = from_stdin ? STDIN_FILENO : job.held.get();
        unsigned char first[kSignatureSize];
        if (const std::optional<std::size_t> got = read_signature(from, job.direction, first, job.refusal)) {
            const qpbm_format format = input_format(job.direction, first, *got);
            if (format == QPBM_FORMAT_AUTO) {
                job.refusal = qpbm_status_message(QPBM_EUNKNOWN_FORMAT);
            } else if (job.relay.start(from, std::move(job.held), first, *got, job.refusal)) {
                job.open_path = job.relay.path();
                job.format = format;
                job.direction = direction_of(format);
            }
        }
        job.held.reset();
    }
#endif
    if (job.refusal.empty() && job.direction == QPBM_DETECT && info.regular) {
        if (const std::optional<qpbm_format> format = sniff(job.open_path, job.refusal)) {
            job.format = *format;
            job.direction = direction_of(*format);
        }
    }
    if (job.refusal.empty() && options_.output_dir && job.format == QPBM_FORMAT_AUTO)
        job.refusal = info.exists
                          ? "cannot tell the direction of an input that is not a file: give bmp2pbm or "
                            "pbm2bmp"
                          : std::string("cannot open the input: ") + std::strerror(info.error ? info.error : ENOENT);

    if (!options_.output_dir) {
        job.output = options_.paths[1];
        job.output_path = job.output == kStdio ? "/dev/stdout" : job.output;
        if (job.output == kStdio) job.output = "standard output";
        if (job.refusal.empty() && job.output.empty()) job.refusal = "the output path is empty";
#if !defined(_WIN32)
        if (job.refusal.empty() && options_.paths[1] == kStdio && standard_stream_closed(STDOUT_FILENO))
            job.refusal = "standard output is closed";
#endif
        if (job.refusal.empty() && options_.paths[1] == kStdio &&
            output_format(job.format, options_.conversion.api) == QPBM_FORMAT_BMP && is_terminal(stdout) &&
            !options_.force)
            job.refusal = "standard output is a terminal and a BMP is binary: redirect it, or use --force";
        if (job.refusal.empty() && options_.update && !from_stdin) {
            const FileInfo out = look(job.output_path);
            job.up_to_date = up_to_date(job, info, out);
        }
        return;
    }
    if (job.format == QPBM_FORMAT_AUTO) return;
    const std::string given = from_stdin           ? std::string("stdin")
                              : name.under.empty() ? base_name(name.input)
                                                   : name.under;
    job.output = job.output_path =
        joined(*options_.output_dir, output_name(given, output_format(job.format, options_.conversion.api)));
}

// The checks against every earlier name, in the order of the names: an
// output must not replace an input or another output of the batch. Called
// with the lock held, on the name's turn.
void Batch::check(Slot& slot) {
    Job& job = slot.job;
    const bool from_stdin = slot.name.input == kStdio && !slot.name.listed;
    if (!options_.output_dir || !slot.name.refusal.empty()) return;
    // Both files are looked at again now: an earlier name's output may have
    // replaced either since the worker looked, and only the identities of
    // the files as they are now can be compared with those remembered.
    FileInfo info = slot.input;
    if (!from_stdin) {
        const FileInfo now = look(slot.name.input);
        info.exists = now.exists;
        info.device = now.device;
        info.inode = now.inode;
    }
    const FileInfo out = job.output_path.empty() ? FileInfo{} : look(job.output_path);
    // Its own output is refused whatever else was found: it may not have
    // been complete when it was looked at.
    if (!from_stdin && is_own_output(slot.name.input, info)) {
        job.refusal = "it is an output of this batch, not read back as an input";
        return;
    }
    if (info.exists && !from_stdin) known_.insert(IdentitySet::of(slot.name.input, info, IdentitySet::input));
    if (!job.refusal.empty()) return;
    // Two names of one existing file (a link) are one output: identities,
    // not only paths, are compared.
    const std::uint64_t out_id = out.exists ? IdentitySet::of(job.output_path, out, IdentitySet::output) : 0;
    // An output is also known by where it ends up, links followed: one
    // through a link that leads nowhere is made under another name, which
    // an output being written may just have made, or may still make.
    job.planned = job.output_path.empty() ? job.output_path : planned_place(job.output_path);
    bool duplicate = out_id != 0 && known_.contains(out_id);
    for (std::uint64_t n = reported_; n < checked_ && !duplicate; ++n) {
        const Slot& running = slots_[n % window_];
        if (running.outcome.done || !running.job.refusal.empty() || running.job.up_to_date) continue;
        duplicate = running.job.output_path == job.output_path || running.job.planned == job.planned ||
                    (out_id != 0 && running.job.replaced == out_id);
    }
    if (duplicate) {
        // Two inputs of one name in two formats (a.png and a.jpg) meet here.
        job.refusal = "its output " + shown(job.output) +
                      " was already written for an earlier input (to keep both, convert this one on its own, "
                      "with an output name of its own)";
        return;
    }
    // An output must never overwrite an input of the batch: one read so far,
    // or any named on the command line.
    if (out.exists && known_.contains(IdentitySet::of(job.output_path, out, IdentitySet::input))) {
        std::string which;
        for (std::size_t k = 0; k < command_line_.size() && which.empty(); ++k)
            if (same_file(out, command_line_[k])) which = " (" + shown(options_.paths[k]) + ")";
        job.refusal = "its output " + shown(job.output) + " is an input of this batch" + which;
        return;
    }
#if defined(_WIN32)
    for (std::size_t k = 0; k < options_.paths.size(); ++k)
        if (job.output_path == options_.paths[k]) {
            job.refusal =
                "its output " + shown(job.output) + " is an input of this batch (" + shown(options_.paths[k]) + ")";
            return;
        }
#endif
    job.replaced = out.exists ? IdentitySet::of(job.output_path, out, IdentitySet::output) : 0;
    if (options_.update && up_to_date(job, info, out)) {
        job.up_to_date = true;
        known_.insert(job.replaced);  // a later input with the same output is still a duplicate
        return;
    }
    // A list or a tree may name an existing output as an input later on:
    // such a batch replaces no file that it could read as an input. (Names
    // on the command line are all known, and checked, from the start.)
    const bool streamed = options_.files_from || options_.recursive;
    if (streamed && out.exists && out.regular && !options_.force) {
        const qpbm_direction direction = options_.direction.value_or(QPBM_DETECT);
        const std::string kind = readable_picture(job.output_path, direction);
        if (!kind.empty()) {
            const char* reads = direction == QPBM_BMP_TO_PBM   ? "BMPs"
                                : direction == QPBM_PBM_TO_BMP ? "PBMs"
                                                               : "every format";
            job.refusal = "its output " + shown(job.output) + " exists and is " + kind + ", which a batch that reads " +
                          reads + " never replaces (it may be an input yet to come): give --force to replace it";
            return;
        }
    }
    if (!slot.name.under.empty()) {
        const std::size_t slash = job.output_path.find_last_of(kSeparators);
        const std::string parent = job.output_path.substr(0, slash);
        if (parent != made_dir_) {
            const std::string& input = slot.name.input;
            const std::string source_top = input.substr(0, input.size() - slot.name.under.size());
            if (const int error = make_parents(*options_.output_dir, job.output_path, source_top)) {
                job.refusal = "cannot make the directory for " + shown(job.output) + ": " + std::strerror(error);
                return;
            }
            made_dir_ = parent;
        }
    }
}

}  // namespace tool

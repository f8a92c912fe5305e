#include "batch.hpp"

#include <qpbm.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "batch_files.hpp"
#include "batch_job.hpp"
#include "console.hpp"
#include "names.hpp"
#include "progress.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tool {

namespace {

constexpr int kExitConverted = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
// Names read ahead of the oldest one not yet reported: enough to keep every
// thread busy while one picture takes long, few enough (about 700 bytes
// each) that the window's memory does not matter.
constexpr std::size_t kWindowLeast = 64;
constexpr std::size_t kWindowPerThread = 4;
// The most names a thread takes at once (see Batch::work).
constexpr std::uint64_t kRun = 16;

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

// Converts names as they are planned, until the last; `until_idle` returns
// as soon as none is waiting, for a caller that plans them itself.
void Batch::work(bool until_idle) {
    // Each thread its own work block: conversions on different blocks run
    // side by side.
    std::unique_ptr<unsigned char[]> block(new unsigned char[qpbm_work_size()]);
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        // A run of consecutive names at a time: one turn at the checks and
        // one hand-over per run, not per name, which matters when most names
        // are skipped and another thread's wake-up costs more than a name.
        if (!until_idle) work_.wait(hold, [&] { return started_ < planned_ || all_planned_; });
        if (started_ == planned_) return;
        const std::uint64_t first = started_;
        const std::uint64_t count = std::min<std::uint64_t>(planned_ - started_, kRun);
        started_ += count;
        hold.unlock();
        for (std::uint64_t n = first; n < first + count; ++n) prepare(slots_[n % window_]);
        hold.lock();
        turn_.wait(hold, [&] { return checked_ == first; });
        for (std::uint64_t n = first; n < first + count; ++n) {
            Slot& slot = slots_[n % window_];
            check(slot);
            ++checked_;
            slot.outcome.done = !slot.job.refusal.empty() || slot.job.up_to_date;
            // Before the slot can be reported and used again: a relay's thread
            // ends quickly (see Relay::stop).
            if (slot.outcome.done) slot.job.release();
        }
        turn_.notify_all();
        finished_.notify_one();
        for (std::uint64_t n = first; n < first + count; ++n) {
            Slot& slot = slots_[n % window_];
            if (slot.outcome.done) continue;
            hold.unlock();
            Outcome outcome;
            outcome.status = convert(options_, slot.job, alone_, block.get(), qpbm_work_size(), &outcome.result);
            // The library has closed its descriptors: the relay's side goes,
            // then the relay, whatever its source still sends.
            slot.job.release();
            const FileInfo written =
                outcome.status == QPBM_OK && options_.output_dir ? look(slot.job.output_path) : FileInfo{};
            outcome.done = true;
            hold.lock();
            if (written.exists) known_.insert(IdentitySet::of(slot.job.output_path, written, IdentitySet::output));
            slot.outcome = outcome;
            finished_.notify_one();
        }
    }
}

}  // namespace

int run_batch(const Options& options) {
    FileInfo output_dir;
    if (options.output_dir) output_dir = look(*options.output_dir);
    Names names(options, output_dir);
    std::string error;
    if (!names.open(error)) {
        say(std::string(kProgram) + ": " + error + "\n");
        return kExitUsage;
    }
    unsigned threads = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    const bool streamed = options.files_from || options.recursive;
    // Without an output directory the command line names one conversion.
    const std::size_t named = options.output_dir ? options.paths.size() : 1;
    if (!streamed) threads = static_cast<unsigned>(std::min<std::size_t>(threads, named));
    Batch batch(options, threads);
    batch.remember_command_line();

    Progress::Form form = Progress::Form::none;
    if (options.progress == ProgressMode::lines) form = Progress::Form::lines;
    if (options.progress == ProgressMode::automatic && options.output_dir && is_terminal(stderr) && !options.verbose)
        form = Progress::Form::redrawn;
    Progress progress(form);
    Tally tally;
    if (!streamed) tally.total = batch.command_line_count();

    // Under a limit on processes (ulimit -u, a cgroup's pids.max) fewer
    // threads may start: the batch runs on those, or on this one.
    std::vector<std::thread> pool;
    try {
        for (unsigned t = 0; t < threads; ++t) pool.emplace_back([&batch] { batch.work(); });
    } catch (const std::system_error& failure) {
        say(std::string(kProgram) + ": could start only " + std::to_string(std::max<std::size_t>(pool.size(), 1)) +
            " of " + std::to_string(threads) + " threads (" + failure.code().message() + "); converting with those\n");
    }

    std::uint64_t converted = 0, up_to_date = 0;
    bool left = false;  // standard output's reader went away
    std::unique_lock<std::mutex> hold(batch.lock_, std::defer_lock);
    for (bool more = true;;) {
        // Read names while the window has room; the workers look at the
        // files, so that a slow disk delays no other name.
        while (more && batch.planned_ - batch.reported_ < batch.window_) {
            Name name;
            // Without an output directory the second path is the output.
            more = (options.output_dir || batch.planned_ == 0) && names.next(name);
            if (!more) break;
            hold.lock();
            Slot& slot = batch.slots_[batch.planned_ % batch.window_];
            slot.name = std::move(name);
            slot.outcome = Outcome{};
            ++batch.planned_;
            hold.unlock();
            batch.work_.notify_one();
        }
        if (!more) {
            hold.lock();
            batch.all_planned_ = true;
            tally.total = batch.planned_;
            hold.unlock();
            batch.work_.notify_all();
        }
        if (pool.empty()) batch.work(true);  // no thread of its own: this one converts
        if (!tally.total) tally.total = names.total();
        // Report every finished job at the head of the window, in order; wake
        // now and then to keep the progress line moving.
        hold.lock();
        if (batch.reported_ == batch.planned_ && !more) break;
        batch.finished_.wait_for(hold, std::chrono::milliseconds(100),
                                 [&] { return batch.slots_[batch.reported_ % batch.window_].outcome.done; });
        std::vector<std::string> lines;
        while (batch.reported_ < batch.planned_ && batch.slots_[batch.reported_ % batch.window_].outcome.done) {
            const Slot& slot = batch.slots_[batch.reported_ % batch.window_];
            const bool ok = slot.job.refusal.empty() && slot.outcome.status == QPBM_OK;
            converted += ok && !slot.job.up_to_date ? 1 : 0;
            up_to_date += ok && slot.job.up_to_date ? 1 : 0;
            ++tally.done;
            tally.refused += ok ? 0 : 1;
            tally.bytes += ok && !slot.job.up_to_date ? slot.job.bytes : 0;
            left = left || reader_left(slot.job, slot.outcome);
            std::string line = report(slot.job, slot.outcome, options.verbose);
            if (!line.empty()) lines.push_back(std::move(line));
            ++batch.reported_;
        }
        hold.unlock();
        if (!lines.empty()) progress.clear();
        for (const std::string& line : lines) say(line);
        progress.update(tally);
    }
    hold.unlock();
    for (std::thread& t : pool) t.join();
    if (form == Progress::Form::lines) progress.update(tally, true);
    progress.clear();
    if (options.output_dir) {
        std::string summary = std::string(kProgram) + ": converted " + std::to_string(converted) + ", refused " +
                              std::to_string(tally.refused);
        if (options.update) summary += ", up to date " + std::to_string(up_to_date);
        if (options.recursive) summary += ", skipped " + std::to_string(names.skipped());
        say(summary + "\n");
    }
#if !defined(_WIN32)
    if (left) {
        // Ends as the netpbm tools do, by the signal a shell keeps quiet about.
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
    }
#endif
    return tally.refused == 0 ? kExitConverted : kExitRefused;
}

}  // namespace tool

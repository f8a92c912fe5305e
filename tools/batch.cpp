#include "batch.hpp"

#include <qpbm.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "batch_files.hpp"
#include "batch_job.hpp"
#include "batch_window.hpp"
#include "console.hpp"
#include "names.hpp"
#include "progress.hpp"

namespace tool {

namespace {

constexpr int kExitConverted = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
// The most names a thread takes at once (see Batch::work).
constexpr std::uint64_t kRun = 16;

}  // namespace

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
            convert(options_, slot.job, alone_, block.get(), qpbm_work_size(), outcome);
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

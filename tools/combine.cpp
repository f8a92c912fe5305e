#include "combine.hpp"

#include <qpbm.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "console.hpp"
#include "names.hpp"

namespace tool {

namespace {

constexpr int kExitConverted = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

// The path the library reads for a name: standard input by its descriptor.
std::string opened(const std::string& name) { return name == kStdio ? "/dev/stdin" : name; }

#if defined(QUORVELPBM_HAVE_TIFF) && !defined(_WIN32)
// Pages decided ahead, side by side: each worker converts the next input
// into a 1-bit TIFF in an unnamed temporary file (bits, with the
// resolution the page is sized by), and the document takes them in order.
// A multi-page TIFF, or standard input, goes to the document as it is.
class Ahead {
public:
    Ahead(const Options& options, const std::vector<Name>& inputs, unsigned workers)
        : options_(options), inputs_(inputs), slots_(inputs.size()), window_(2 * workers) {
        // Under a limit on processes fewer threads may start: those do the work.
        try {
            for (unsigned t = 0; t < workers; ++t) pool_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
        }
    }
    bool running() const { return !pool_.empty(); }
    ~Ahead() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        more_.notify_all();
        for (std::thread& t : pool_) t.join();
    }
    Ahead(const Ahead&) = delete;
    Ahead& operator=(const Ahead&) = delete;

    // Input i's page file ("" to take the input itself), or its refusal;
    // waits for it. Lets its file go when the next is asked for.
    bool take(std::size_t i, std::string& path, qpbm_result& result) {
        std::unique_lock<std::mutex> hold(lock_);
        if (i > 0) slots_[i - 1].file.reset();
        taken_ = i;
        more_.notify_all();
        done_.wait(hold, [&] { return slots_[i].done; });
        result = slots_[i].result;
        path = slots_[i].file ? "/dev/fd/" + std::to_string(fileno(slots_[i].file.get())) : std::string();
        if (slots_[i].file) lseek(fileno(slots_[i].file.get()), 0, SEEK_SET);
        return slots_[i].status == QPBM_OK;
    }

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    struct Slot {
        bool done = false;
        qpbm_status status = QPBM_OK;
        qpbm_result result{};
        std::unique_ptr<std::FILE, Closer> file;
    };

    // A TIFF's pages, and standard input, go to the document directly.
    static bool as_it_is(const std::string& name) {
        if (name == kStdio) return true;
        unsigned char first[4] = {};
        const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        const bool read = fd >= 0 && ::read(fd, first, sizeof first) == static_cast<ssize_t>(sizeof first);
        if (fd >= 0) close(fd);
        return !read || (first[0] == 'I' && first[1] == 'I') || (first[0] == 'M' && first[1] == 'M');
    }

    void work() {
        std::unique_ptr<unsigned char[]> block(new unsigned char[qpbm_work_size()]);
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            more_.wait(hold, [&] { return stop_ || (next_ < slots_.size() && next_ < taken_ + window_); });
            if (stop_ || next_ == slots_.size()) return;
            const std::size_t i = next_++;
            hold.unlock();
            Slot slot;
            if (!as_it_is(inputs_[i].input)) {
                slot.file.reset(std::tmpfile());
                qpbm_options api = options_.conversion.api;
                api.to = QPBM_FORMAT_TIFF;
                api.compression = QPBM_COMPRESSION_NONE;
                api.pages = options_.conversion.pages.empty() ? nullptr : options_.conversion.pages.c_str();
                const std::string into = slot.file ? "/dev/fd/" + std::to_string(fileno(slot.file.get())) : "";
                slot.status = slot.file ? qpbm_convert_ex(inputs_[i].input.c_str(), into.c_str(), QPBM_DETECT, &api,
                                                          block.get(), qpbm_work_size(), &slot.result)
                                        : QPBM_EOPEN_OUTPUT;
                if (slot.status != QPBM_OK) slot.file.reset();
            }
            slot.done = true;
            hold.lock();
            slots_[i] = std::move(slot);
            done_.notify_all();
        }
    }

    const Options& options_;
    const std::vector<Name>& inputs_;
    std::vector<Slot> slots_;
    std::size_t window_;
    std::size_t next_ = 0, taken_ = 0;
    bool stop_ = false;
    std::mutex lock_;
    std::condition_variable more_, done_;
    std::vector<std::thread> pool_;
};
#endif

}  // namespace

int run_combine(const Options& options) {
    const std::string& output = *options.combine;
    Names names(options, FileInfo{});
    std::string error;
    if (!names.open(error)) {
        say(std::string(kProgram) + ": " + error + "\n");
        return kExitUsage;
    }
    // The names first, so that a tree's files go in sorted order and a name
    // that cannot be used is found before anything is written.
    std::vector<Name> inputs;
    for (Name name; names.next(name);) {
        if (!name.refusal.empty()) {
            say(std::string(kProgram) + ": " + shown(name.input) + ": " + name.refusal + "\n");
            return kExitRefused;
        }
        inputs.push_back(std::move(name));
    }
    for (auto run = inputs.begin(); run != inputs.end();) {
        auto end = std::find_if(run, inputs.end(), [](const Name& n) { return n.under.empty(); });
        if (run == end) {
            ++run;
            continue;
        }
        std::sort(run, end, [](const Name& a, const Name& b) { return a.input < b.input; });
        run = end;
    }
    if (inputs.empty()) {
        say(std::string(kProgram) + ": no input files to combine\n");
        return kExitUsage;
    }

    qpbm_options api = options.conversion.api;
    api.flags |= options.fsync ? QPBM_FLAG_FSYNC : 0u;
    const char* pages = options.conversion.pages.empty() ? nullptr : options.conversion.pages.c_str();
    const std::string target = output == kStdio ? "/dev/stdout" : output;
    const std::string shown_output = output == kStdio ? "standard output" : shown(output);
    qpbm_document* document = nullptr;
    qpbm_result result{};
    if (qpbm_document_open(target.c_str(), api.to, &api, &document, &result) != QPBM_OK) {
        say(std::string(kProgram) + ": " + shown_output + ": " + result.message + "\n");
        return kExitRefused;
    }
    unsigned workers = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, inputs.size()));
#if defined(QUORVELPBM_HAVE_TIFF) && !defined(_WIN32)
    std::unique_ptr<Ahead> ahead;
    if (workers > 1) ahead = std::make_unique<Ahead>(options, inputs, workers);
    if (ahead && !ahead->running()) ahead.reset();
#endif
    // A page decided ahead is bits already, upright and at its size: taken as it is.
    qpbm_options as_decided;
    qpbm_options_init(&as_decided);
    as_decided.flags = api.flags;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const Name& name = inputs[i];
        std::string path = opened(name.input);
        const char* selection = pages;
        const qpbm_options* decided_by = &api;
#if defined(QUORVELPBM_HAVE_TIFF) && !defined(_WIN32)
        if (ahead) {
            std::string decided;
            if (!ahead->take(i, decided, result)) {
                qpbm_document_discard(document);
                say(std::string(kProgram) + ": " + shown(name.input) + ": " + result.message + "; nothing written to " +
                    shown_output + "\n");
                return kExitRefused;
            }
            if (!decided.empty()) {
                path = decided;
                selection = nullptr;
                decided_by = &as_decided;
            }
        }
#endif
        if (qpbm_document_add_file_ex(document, path.c_str(), selection, decided_by, &result) != QPBM_OK) {
            qpbm_document_discard(document);
            say(std::string(kProgram) + ": " + shown(name.input) + ": " + result.message + "; nothing written to " +
                shown_output + "\n");
            return kExitRefused;
        }
        if (options.verbose)
            say(std::string(kProgram) + ": " + shown(name.input) + " -> " + shown_output + " (" +
                std::to_string(result.width) + " x " + std::to_string(result.height) + ")\n");
    }
    const unsigned added = qpbm_document_pages(document);
    if (qpbm_document_close(document, &result) != QPBM_OK) {
        say(std::string(kProgram) + ": " + shown_output + ": " + result.message + "\n");
        return kExitRefused;
    }
    if (options.verbose)
        say(std::string(kProgram) + ": " + shown_output + ": " + std::to_string(added) + " page" +
            (added == 1 ? "" : "s") + " from " + std::to_string(inputs.size()) + " input" +
            (inputs.size() == 1 ? "" : "s") + "\n");
    return kExitConverted;
}

}  // namespace tool

#include "batch_files.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "console.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#endif

namespace tool {

#if !defined(_WIN32)
// What the relay moves at a time.
constexpr std::size_t kRelayBlock = 64 * 1024;
#endif

qpbm_format input_format(qpbm_direction direction, const unsigned char* first, std::size_t length) {
    const qpbm_format format = qpbm_detect_format(first, length, nullptr);
    if (direction == QPBM_BMP_TO_PBM) return format == QPBM_FORMAT_BMP ? format : QPBM_FORMAT_AUTO;
    if (direction == QPBM_PBM_TO_BMP) return format == QPBM_FORMAT_PBM ? format : QPBM_FORMAT_AUTO;
    return format;
}

bool may_begin(qpbm_direction direction, const unsigned char* first, std::size_t length) {
    int more = 0;
    if (qpbm_detect_format(first, length, &more) != QPBM_FORMAT_AUTO)
        return input_format(direction, first, length) != QPBM_FORMAT_AUTO;
    if (direction == QPBM_DETECT || length == 0) return more != 0;
    return length == 1 && first[0] == (direction == QPBM_BMP_TO_PBM ? 'B' : 'P');
}

const char* format_name(qpbm_format format) {
    switch (format) {
        case QPBM_FORMAT_BMP: return "a BMP";
        case QPBM_FORMAT_PBM: return "a PBM";
        case QPBM_FORMAT_PNM: return "a PGM, PPM or PAM";
        default: return "a picture";
    }
}

#if !defined(_WIN32)
bool wait_for_data(int fd, int wait_ms, std::string& refusal) {
    pollfd p{fd, POLLIN, 0};
    const auto start = std::chrono::steady_clock::now();
    int ready;
    for (;;) {
        int left = wait_ms;
        if (wait_ms > 0) {
            const auto spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            left = static_cast<int>(std::max<std::int64_t>(0, wait_ms - spent.count()));
        }
        ready = poll(&p, 1, left);
        if (ready >= 0 || errno != EINTR) break;
    }
    if (ready < 0) {
        refusal = std::string("cannot read the input: ") + std::strerror(errno);
        return false;
    }
    if (ready == 0) {
        refusal = wait_ms == 0 ? std::string(
                                     "nothing to read yet, and a batch does not wait for a FIFO or device: "
                                     "give --wait SECONDS")
                               : "nothing to read within " + std::to_string(wait_ms / 1000) + " s (--wait)";
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        refusal = std::string("cannot read the input: ") + std::strerror(errno);
        return false;
    }
    return true;
}
#endif

std::string planned_place(const std::string& path) {
#if defined(_WIN32)
    return path;
#else
    std::string at = path;
    char target[PATH_MAX];
    for (int hops = 0; hops < 40; ++hops) {  // as many as the kernel follows
        const ssize_t n = readlink(at.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) == sizeof target) break;
        std::string next(target, static_cast<std::size_t>(n));
        const std::size_t slash = at.rfind('/');
        if (next[0] != '/' && slash != std::string::npos) next = at.substr(0, slash + 1) + next;
        at = next;
    }
    const std::size_t slash = at.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : at.substr(0, slash);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return at;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/" +
           (slash == std::string::npos ? at : at.substr(slash + 1));
#endif
}

std::string readable_picture(const std::string& path, qpbm_direction direction) {
    unsigned char magic[kSignatureSize] = {};
#if defined(_WIN32)
    std::FILE* f = _wfopen(wide(path).c_str(), L"rb");
    if (f == nullptr) return {};
    const std::size_t n = std::fread(magic, 1, sizeof magic, f);
    std::fclose(f);
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    const ssize_t n = pread(fd, magic, sizeof magic, 0);
    close(fd);
#endif
    if (n < 0) return {};
    const qpbm_format format = input_format(direction, magic, static_cast<std::size_t>(n));
    return format == QPBM_FORMAT_AUTO ? std::string() : format_name(format);
}

namespace {

std::uint32_t le32(const unsigned char* p) {
    return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
           static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint32_t be32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// A PNG's last chunk: IEND, empty, and its CRC.
constexpr unsigned char kPngEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

}  // namespace

bool complete_output(const std::string& path, std::uint64_t size, qpbm_format format) {
#if defined(_WIN32)
    std::FILE* f = _wfopen(wide(path).c_str(), L"rb");
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    std::FILE* f = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (f == nullptr && fd >= 0) close(fd);
#endif
    if (f == nullptr) return false;
    unsigned char head[kSignatureSize] = {};
    unsigned char tail[sizeof kPngEnd] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, f);
    const qpbm_format is = qpbm_detect_format(head, got, nullptr);
    bool complete = is != QPBM_FORMAT_AUTO && (format == QPBM_FORMAT_AUTO || is == format);
    if (complete && is == QPBM_FORMAT_BMP) complete = got >= 6 && le32(head + 2) == size;  // bfSize
    if (complete && is == QPBM_FORMAT_PNG) {
#if defined(_WIN32)
        const bool at_tail = _fseeki64(f, -static_cast<long long>(sizeof tail), SEEK_END) == 0;
#else
        const bool at_tail = fseeko(f, -static_cast<off_t>(sizeof tail), SEEK_END) == 0;
#endif
        complete = at_tail && std::fread(tail, 1, sizeof tail, f) == sizeof tail &&
                   std::memcmp(tail, kPngEnd, sizeof tail) == 0;
    }
    const bool little = head[0] == 'I';
    if (complete && is == QPBM_FORMAT_TIFF && got >= 8 && head[little ? 2 : 3] == 42) {  // not a BigTIFF
        // The first directory, which the writer puts after the strips.
        const std::uint64_t first = little ? le32(head + 4) : be32(head + 4);
        complete = first >= 8 && first + 2 <= size;
    }
    std::fclose(f);
    return complete;
}

#if !defined(_WIN32)
namespace {

// Waits for `fd` to have a byte or an end; false on an error of poll.
bool wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0)
        if (errno != EINTR) return false;
    return true;
}

bool write_all(int to, const unsigned char* bytes, std::size_t length) {
    for (std::size_t done = 0; done < length;) {
        const ssize_t w = write(to, bytes + done, length - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return false;  // EPIPE: the library is done reading
        done += static_cast<std::size_t>(w);
    }
    return true;
}

bool make_pipe(int (&ends)[2]) {
    if (pipe(ends) != 0) return false;
    for (const int fd : ends) fcntl(fd, F_SETFD, FD_CLOEXEC);
    return true;
}

void close_if_open(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

// The bytes of the signature come one at a time: when they cannot begin a
// picture, reading stops there, since the input will be refused for them
// whatever follows, and a pipe may never end.
std::optional<std::size_t> read_signature(int from, qpbm_direction direction, unsigned char* first,
                                          std::string& error) {
    std::size_t got = 0;
    while (got < kSignatureSize && (got == 0 || input_format(direction, first, got) == QPBM_FORMAT_AUTO) &&
           may_begin(direction, first, got)) {
        const ssize_t n = read(from, first + got, 1);
        // A descriptor another process left without blocking is waited for.
        if (n < 0 && errno == EAGAIN && wait_readable(from)) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::string("read error: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) break;
        ++got;
    }
    return got;
}

struct Relay::State {
    int source = -1;
    Held owned;
    int read_end = -1;   // the library's side
    int write_end = -1;  // the thread's, closed by it: the library then sees the end
    int stop_read = -1;
    int stop_write = -1;
    unsigned char first[kSignatureSize] = {};
    std::size_t length = 0;
    std::thread thread;

    void run() const;
    ~State();
};

// Ends at the source's end, at a read error, when the library's side is
// closed (EPIPE; SIGPIPE is blocked here, so it only fails the write) or
// when stop() asks: the source is polled with the stop pipe, as it may
// never send another byte.
void Relay::State::run() const {
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[kRelayBlock]);
    bool open = block != nullptr && write_all(write_end, first, length);
    while (open) {
        pollfd p[2] = {{source, POLLIN, 0}, {stop_read, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            open = errno == EINTR;
            continue;
        }
        if (p[1].revents != 0) break;
        if (p[0].revents == 0) continue;
        const ssize_t n = read(source, block.get(), kRelayBlock);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        open = n > 0 && write_all(write_end, block.get(), static_cast<std::size_t>(n));
    }
    close(write_end);
}

Relay::State::~State() {
    // The library has closed its own descriptor by now: with this one gone,
    // a write blocked on a full pipe fails at once.
    close_if_open(read_end);
    if (thread.joinable()) {
        const unsigned char wake = 1;
        write_all(stop_write, &wake, 1);
        thread.join();
    } else {
        close_if_open(write_end);
    }
    close_if_open(stop_read);
    close_if_open(stop_write);
}

Relay::Relay() = default;
Relay::Relay(Relay&& other) noexcept = default;
Relay& Relay::operator=(Relay&& other) noexcept = default;
Relay::~Relay() = default;

bool Relay::start(int from, Held owned, const unsigned char* first, std::size_t length, std::string& error) {
    auto state = std::make_unique<State>();
    state->source = from;
    state->owned = std::move(owned);
    state->length = std::min(length, kSignatureSize);
    std::memcpy(state->first, first, state->length);
    int data[2], wake[2];
    if (!make_pipe(data)) {
        error = std::string("cannot make a pipe for the input: ") + std::strerror(errno);
        return false;
    }
    state->read_end = data[0];
    state->write_end = data[1];
    if (!make_pipe(wake)) {
        error = std::string("cannot make a pipe for the input: ") + std::strerror(errno);
        return false;
    }
    state->stop_read = wake[0];
    state->stop_write = wake[1];
    try {
        state->thread = std::thread([s = state.get()] { s->run(); });
    } catch (const std::system_error& failure) {
        error = "cannot start a thread to pass the input on: " + failure.code().message();
        return false;
    }
    stop();
    state_ = std::move(state);
    return true;
}

std::string Relay::path() const { return state_ ? "/dev/fd/" + std::to_string(state_->read_end) : std::string(); }

void Relay::stop() { state_.reset(); }
#endif

// The format of a file's first bytes, or a refusal. Standard input is
// looked at where it stands, without taking its bytes.
std::optional<qpbm_format> sniff(const std::string& path, std::string& refusal) {
    unsigned char magic[kSignatureSize] = {};
    std::size_t n = 0;
#if !defined(_WIN32)
    if (path == "/dev/stdin") {
        const off_t at = lseek(STDIN_FILENO, 0, SEEK_CUR);
        const ssize_t got = at < 0 ? -1 : pread(STDIN_FILENO, magic, sizeof magic, at);
        if (got < 0) {
            refusal = std::string("cannot read the input: ") + std::strerror(errno);
            return std::nullopt;
        }
        n = static_cast<std::size_t>(got);
    } else
#endif
    {
#if defined(_WIN32)
        std::FILE* f = _wfopen(wide(path).c_str(), L"rb");
#else
        std::FILE* f = std::fopen(path.c_str(), "rb");
#endif
        if (f == nullptr) {
            refusal = std::string("cannot open the input: ") + std::strerror(errno);
            return std::nullopt;
        }
        n = std::fread(magic, 1, sizeof magic, f);
        std::fclose(f);
    }
    const qpbm_format format = input_format(QPBM_DETECT, magic, n);
    if (format != QPBM_FORMAT_AUTO) return format;
    refusal = qpbm_status_message(QPBM_EUNKNOWN_FORMAT);
    return std::nullopt;
}

}  // namespace tool

#include "batch_files.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "console.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#endif

namespace tool {

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

#if !defined(_WIN32)
// Copies a pipe into an unlinked temporary file, so that a BMP on a pipe can
// be read bottom row first, and the bytes that tell the direction are kept.
// The file is gone when the tool exits. Returns the path that opens it, or
// an error text. The bytes of the signature come one at a time: when they
// cannot begin a picture, copying stops there, since the file will be
// refused for them whatever follows, and a pipe may never end.
std::optional<std::string> spool(int from, qpbm_direction direction, std::string& error) {
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = "/tmp";
    int fd = -1;
#if defined(O_TMPFILE)
    fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {
        std::string name = std::string(dir) + "/.quorvelpbm-stdin-XXXXXX";
        fd = mkstemp(name.data());
        if (fd >= 0) unlink(name.c_str());
    }
    if (fd < 0) {
        error = std::string("cannot make a temporary file in ") + dir + ": " + std::strerror(errno);
        return std::nullopt;
    }
    static unsigned char block[64 * 1024];
    for (std::size_t copied = 0, signature = 1;;) {
        if (signature && copied > 0 && input_format(direction, block, copied) != QPBM_FORMAT_AUTO) signature = 0;
        if (signature && !may_begin(direction, block, copied)) break;
        // Its bytes stay at the start of the block.
        unsigned char* into = signature ? block + copied : block;
        const ssize_t n = read(from, into, signature ? 1 : sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::string("read error: ") + std::strerror(errno);
            close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        copied += static_cast<std::size_t>(n);
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(fd, into + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                error = std::string("cannot keep the piped input in ") + dir + ": " + std::strerror(errno);
                close(fd);
                return std::nullopt;
            }
            done += w;
        }
    }
    // The library reads the descriptor from where it stands: the start.
    if (lseek(fd, 0, SEEK_SET) != 0) {
        error = std::string("cannot keep the piped input in ") + dir + ": " + std::strerror(errno);
        close(fd);
        return std::nullopt;
    }
    return "/dev/fd/" + std::to_string(fd);
}
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

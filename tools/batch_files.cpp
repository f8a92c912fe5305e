#include "batch_files.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

}  // namespace tool

#include "library/output_file.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "library/file_convert.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#endif

namespace qpbm {

namespace {

// Temporary files: ".quorvelpbm-PID-N.tmp", so that the leftovers of a run
// that was killed are easy to recognise, and concurrent runs never collide.
constexpr char kTempPrefix[] = ".quorvelpbm-";
constexpr char kTempSuffix[] = ".tmp";
std::atomic<unsigned> temp_counter{0};
std::atomic<bool> named_temps_only{false};

char* append(char* at, const char* text) {
    while (*text != '\0') *at++ = *text++;
    return at;
}

char* append_decimal(char* at, unsigned long long value) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) *at++ = digits[--n];
    return at;
}

void make_temp_name(char (&name)[48], unsigned long long pid) {
    char* at = append(name, kTempPrefix);
    at = append_decimal(at, pid);
    *at++ = '-';
    at = append_decimal(at, temp_counter.fetch_add(1, std::memory_order_relaxed));
    at = append(at, kTempSuffix);
    *at = '\0';
}

Status failed(Status status, Facts& facts, int error) {
    facts.os_error = error;
    return status;
}

}  // namespace

void use_named_temp_files(bool named) { named_temps_only = named; }

#if defined(_WIN32)

Status locate_output(const NativeChar* path, const InputFile& in, Workspace& work, OutputFile& out, Facts& facts) {
    const std::size_t length = wcsnlen(path, kMaxNativePath);
    if (length == kMaxNativePath) return Status::invalid_path;
    if (path != work.out_path) std::memcpy(work.out_path, path, (length + 1) * sizeof(wchar_t));
    out.path = work.out_path;
    struct _stat64 st {};
    out.exists = _wstat64(out.path, &st) == 0;
    if (out.exists && (st.st_mode & _S_IFMT) == _S_IFDIR) return failed(Status::open_output_failed, facts, EISDIR);
    if (out.exists && (st.st_mode & _S_IFMT) != _S_IFREG) {
        out.kind = OutputKind::direct;
        out.seekable = false;
        return Status::ok;
    }
    if (out.exists) {
        const HANDLE h = CreateFileW(out.path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            BY_HANDLE_FILE_INFORMATION info{};
            const bool same =
                GetFileInformationByHandle(h, &info) && info.dwVolumeSerialNumber == in.device &&
                ((static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow) == in.inode;
            CloseHandle(h);
            if (same) return Status::same_file;
        }
    }
    // The temporary file is the target's own path with a suffix: the same
    // directory, so the final move is a rename.
    char name[48];
    make_temp_name(name, static_cast<unsigned long long>(_getpid()));
    const std::size_t suffix = std::strlen(name);
    if (length + suffix + 1 > kMaxNativePath) return Status::invalid_path;
    std::memcpy(work.scratch, out.path, length * sizeof(wchar_t));
    for (std::size_t i = 0; i <= suffix; ++i) work.scratch[length + i] = static_cast<wchar_t>(name[i]);
    out.temp_path = work.scratch;
    out.kind = OutputKind::replace;
    out.seekable = true;
    return Status::ok;
}

Status open_output(OutputFile& out, bool text, Workspace&, Facts& facts) {
    if (out.kind == OutputKind::direct) {
        out.stream = _wfopen(out.path, text ? L"w" : L"wb");
        return out.stream ? Status::ok : failed(Status::open_output_failed, facts, errno);
    }
    const int fd =
        _wopen(out.temp_path, _O_CREAT | _O_EXCL | _O_WRONLY | (text ? _O_TEXT : _O_BINARY), _S_IREAD | _S_IWRITE);
    if (fd < 0) return failed(Status::open_output_failed, facts, errno);
    out.temp_named = true;
    out.stream = _fdopen(fd, text ? "w" : "wb");
    if (out.stream == nullptr) {
        _close(fd);
        return failed(Status::open_output_failed, facts, errno);
    }
    return Status::ok;
}

Status finish_output(OutputFile& out, Status status, Facts& facts) {
    if (out.stream != nullptr && std::fclose(out.stream) != 0 && status == Status::ok)
        status = failed(Status::write_failed, facts, errno);
    out.stream = nullptr;
    if (!out.temp_named) return status;
    if (status == Status::ok && !MoveFileExW(out.temp_path, out.path, MOVEFILE_REPLACE_EXISTING))
        status = failed(Status::write_failed, facts, EACCES);
    if (status != Status::ok && _wremove(out.temp_path) != 0) return Status::cleanup_failed;
    return status;
}

#else

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows when it follows links

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// Follows symbolic links from work.out_path until a file that is not one, or
// a name that does not exist yet (a new file, perhaps at a dangling link's
// target). A link inside /proc (such as /dev/stdout's /proc/self/fd/1) names
// an open descriptor, not a place in a directory: resolving stops there.
Status resolve_links(Workspace& work, struct stat& st, bool& exists, bool& descriptor_link, Facts& facts) {
    char* target = work.out_path;
    for (int hops = 0;; ++hops) {
        if (lstat(target, &st) != 0) {
            if (errno != ENOENT) return failed(Status::open_output_failed, facts, errno);
            exists = false;
            return Status::ok;
        }
        exists = true;
        if (!S_ISLNK(st.st_mode)) return Status::ok;
        if (starts_with(target, "/proc/") || starts_with(target, "/dev/fd/")) {
            descriptor_link = true;
            if (stat(target, &st) != 0) return failed(Status::open_output_failed, facts, errno);
            return Status::ok;
        }
        if (hops == kMaxLinks) return failed(Status::open_output_failed, facts, ELOOP);
        const ssize_t n = readlink(target, work.scratch, kMaxNativePath - 1);
        if (n < 0) return failed(Status::open_output_failed, facts, errno);
        const std::size_t link_length = static_cast<std::size_t>(n);
        work.scratch[link_length] = '\0';
        // A relative link is relative to the link's own directory.
        const char* slash = std::strrchr(target, '/');
        const std::size_t keep = work.scratch[0] == '/' || slash == nullptr ? 0 : slash - target + 1;
        if (keep + link_length + 1 > kMaxNativePath) return failed(Status::open_output_failed, facts, ENAMETOOLONG);
        std::memcpy(target + keep, work.scratch, link_length + 1);
    }
}

// Opens the target's directory, for the temporary file and the rename.
Status open_directory(OutputFile& out, char* target, Facts& facts) {
#if defined(O_PATH)
    constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
    constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    char* slash = std::strrchr(target, '/');
    if (slash == nullptr) {
        out.dir_fd = open(".", kDirectoryFlags);
        out.name = target;
    } else if (slash == target) {
        out.dir_fd = open("/", kDirectoryFlags);
        out.name = slash + 1;
    } else {
        *slash = '\0';
        out.dir_fd = open(target, kDirectoryFlags);
        *slash = '/';
        out.name = slash + 1;
    }
    return out.dir_fd >= 0 ? Status::ok : failed(Status::open_output_failed, facts, errno);
}

bool clear_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Removes the temporary files that runs killed part way left in the
// directory: ".quorvelpbm-PID-N.tmp" whose process no longer exists. A live
// process's file, this one's included, is left alone. Reading a directory
// costs a few microseconds per hundred names.
void remove_stale_temps(int dir_fd) {
    const int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    constexpr std::size_t kPrefixLength = sizeof kTempPrefix - 1;
    constexpr std::size_t kSuffixLength = sizeof kTempSuffix - 1;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        const std::size_t length = std::strlen(name);
        if (length <= kPrefixLength + kSuffixLength || std::strncmp(name, kTempPrefix, kPrefixLength) != 0 ||
            std::strcmp(name + length - kSuffixLength, kTempSuffix) != 0)
            continue;
        unsigned long long pid = 0;
        const char* at = name + kPrefixLength;
        for (; *at >= '0' && *at <= '9' && pid < (1ULL << 40); ++at) pid = pid * 10 + static_cast<unsigned>(*at - '0');
        if (*at != '-' || pid == 0 || pid > static_cast<unsigned long long>(INT32_MAX)) continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) unlinkat(fd, name, 0);
    }
    closedir(dir);
}

// Sweeps the directory before a thread writes into it. A batch writes
// thousands of outputs into one directory, and reading the whole directory
// before each would make the batch quadratic in its size: a thread sweeps
// the same directory again only once a second has passed and twenty times
// what its last sweep took, so that sweeps take at most a twentieth of the
// time however large the directory. Another directory is swept at once.
void sweep_stale_temps(int dir_fd) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kSweepEvery = std::chrono::seconds(1);
    constexpr int kSweepShare = 20;
    thread_local dev_t last_device = 0;
    thread_local ino_t last_inode = 0;
    thread_local Clock::time_point next_sweep{};
    struct stat st {};
    const bool known = fstat(dir_fd, &st) == 0;
    const Clock::time_point start = Clock::now();
    if (known && st.st_dev == last_device && st.st_ino == last_inode && start < next_sweep) return;
    remove_stale_temps(dir_fd);
    const Clock::time_point end = Clock::now();
    last_device = known ? st.st_dev : 0;
    last_inode = known ? st.st_ino : 0;
    next_sweep = end + std::max<Clock::duration>(kSweepEvery, (end - start) * kSweepShare);
}

// Creates the temporary file in the target's directory: unnamed where the
// file system allows, so that nothing is left if the process dies.
int create_temp(OutputFile& out) {
    // Even an unnamed file is named for the moment before its rename, so a
    // kill can leave one behind whatever the file system.
    sweep_stale_temps(out.dir_fd);
#if defined(O_TMPFILE)
    const int fd = named_temps_only ? -1 : openat(out.dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (named_temps_only) errno = EOPNOTSUPP;
    if (fd >= 0) {
        out.temp_unnamed = true;
        return fd;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return -1;
#endif
    for (int tries = 0; tries < 100; ++tries) {
        make_temp_name(out.temp_name, static_cast<unsigned long long>(getpid()));
        const int fd = openat(out.dir_fd, out.temp_name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) out.temp_named = true;
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Gives an unnamed temporary file a name, so that it can be renamed.
bool name_temp(OutputFile& out, int fd) {
    make_temp_name(out.temp_name, static_cast<unsigned long long>(getpid()));
    if (linkat(fd, "", out.dir_fd, out.temp_name, AT_EMPTY_PATH) != 0) {
        // Without the privilege AT_EMPTY_PATH needs, the descriptor's /proc
        // link does the same.
        char proc_path[40];
        *append_decimal(append(proc_path, "/proc/self/fd/"), static_cast<unsigned long long>(fd)) = '\0';
        if (linkat(AT_FDCWD, proc_path, out.dir_fd, out.temp_name, AT_SYMLINK_FOLLOW) != 0) return false;
    }
    out.temp_named = true;
    return true;
}

}  // namespace

Status locate_output(const NativeChar* path, const InputFile& in, Workspace& work, OutputFile& out, Facts& facts) {
    const std::size_t length = strnlen(path, kMaxNativePath);
    if (length == kMaxNativePath) return Status::invalid_path;
    if (path != work.out_path) std::memcpy(work.out_path, path, length + 1);
    out.path = work.out_path;

    struct stat st {};
    bool descriptor_link = false;
    const Status status = resolve_links(work, st, out.exists, descriptor_link, facts);
    if (status != Status::ok) return status;
    if (out.exists) {
        if (S_ISDIR(st.st_mode)) return failed(Status::open_output_failed, facts, EISDIR);
        if (S_ISREG(st.st_mode) && st.st_dev == in.device && st.st_ino == in.inode) return Status::same_file;
        out.mode = st.st_mode & 07777;
        out.owner = st.st_uid;
        out.group = st.st_gid;
    }
    if (!out.exists || (S_ISREG(st.st_mode) && !descriptor_link)) {
        // A file we may not write stays as it is, as fopen would leave it,
        // even though its directory would let us replace it.
        if (out.exists && faccessat(AT_FDCWD, out.path, W_OK, AT_EACCESS) != 0)
            return failed(Status::open_output_failed, facts, errno);
        out.kind = OutputKind::replace;
        return open_directory(out, work.out_path, facts);
    }
    if (S_ISREG(st.st_mode)) {
        out.kind = OutputKind::in_place;
        return Status::ok;
    }
    out.kind = OutputKind::direct;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        out.seekable = false;  // and opened only once the input has passed its check
        return Status::ok;
    }
    // A device: opening it writes nothing, and tells whether it can seek.
    out.fd = open(out.path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (out.fd < 0 || !clear_nonblocking(out.fd)) return failed(Status::open_output_failed, facts, errno);
    out.seekable = lseek(out.fd, 0, SEEK_CUR) >= 0 && !isatty(out.fd);
    return Status::ok;
}

Status open_output(OutputFile& out, bool text, Workspace&, Facts& facts) {
    (void)text;  // POSIX files have no text mode
    if (out.kind == OutputKind::replace) {
        out.fd = create_temp(out);
        const int error = errno;
        // locate_output has found an existing target writable.
        if (out.fd < 0 && out.exists && (error == EACCES || error == EPERM || error == EROFS)) {
            out.kind = OutputKind::in_place;  // the directory takes no new file, but the target is writable
            close(out.dir_fd);
            out.dir_fd = -1;
        } else if (out.fd < 0) {
            return failed(Status::open_output_failed, facts, error);
        } else if (out.exists) {
            // The target's owner (where allowed) and permission bits, in
            // that order: a change of owner may clear set-id bits.
            if (fchown(out.fd, out.owner, out.group) != 0) {
                // Not ours to give away: the file stays ours, as a new one would.
            }
            if (fchmod(out.fd, out.mode) != 0) return failed(Status::open_output_failed, facts, errno);
        }
    }
    if (out.kind == OutputKind::in_place) {
        out.fd = open(out.path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
        if (out.fd < 0) return failed(Status::open_output_failed, facts, errno);
    }
    if (out.kind == OutputKind::direct && out.fd < 0) {
        // A FIFO: opening it without a reader would wait for one forever.
        out.fd = open(out.path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (out.fd < 0)
            return errno == ENXIO ? Status::output_no_reader : failed(Status::open_output_failed, facts, errno);
        if (!clear_nonblocking(out.fd)) return failed(Status::open_output_failed, facts, errno);
    }
    if (out.kind == OutputKind::direct && out.defer) {
        // The pipe stays open, unwritten, until the conversion is complete.
        out.stream = std::tmpfile();
        return out.stream ? Status::ok : failed(Status::open_output_failed, facts, errno);
    }
    out.stream = fdopen(out.fd, "wb");
    if (out.stream == nullptr) return failed(Status::open_output_failed, facts, errno);
    out.fd = -1;  // the stream owns it now
    return Status::ok;
}

Status finish_output(OutputFile& out, Status status, Facts& facts) {
    if (out.stream != nullptr) {
        if (status == Status::ok && std::fflush(out.stream) != 0) status = failed(Status::write_failed, facts, errno);
        if (status == Status::ok && out.temp_unnamed && !name_temp(out, fileno(out.stream)))
            status = failed(Status::write_failed, facts, errno);
        if (std::fclose(out.stream) != 0 && status == Status::ok) status = failed(Status::write_failed, facts, errno);
        out.stream = nullptr;
        // A failed in-place write leaves an empty file rather than half of one.
        if (status != Status::ok && out.kind == OutputKind::in_place && truncate(out.path, 0) != 0)
            status = Status::cleanup_failed;
    }
    if (out.fd >= 0) close(out.fd);
    out.fd = -1;
    if (out.kind == OutputKind::replace && out.temp_named) {
        if (status == Status::ok && renameat(out.dir_fd, out.temp_name, out.dir_fd, out.name) != 0)
            status = failed(Status::write_failed, facts, errno);
        if (status != Status::ok && unlinkat(out.dir_fd, out.temp_name, 0) != 0) status = Status::cleanup_failed;
    }
    if (out.dir_fd >= 0) close(out.dir_fd);
    out.dir_fd = -1;
    return status;
}

#endif

}  // namespace qpbm

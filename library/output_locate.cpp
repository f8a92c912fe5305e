// Locating the output: which file a path names, as the kernel follows it, and
// whether it is replaced, written in place or written directly.
#include <cerrno>
#include <cstring>

#include "library/file_convert.hpp"
#include "library/output_file.hpp"
#include "library/output_internal.hpp"
#include "library/temp_files.hpp"

#if defined(_WIN32)
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qpbm {

#if defined(_WIN32)

Status locate_output(const NativeChar* path, const InputFile& in, Workspace& work, OutputFile& out, Facts& facts) {
    const std::size_t length = wcsnlen(path, kMaxNativePath);
    if (length == kMaxNativePath || length == 0) return Status::invalid_path;
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

#else

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows when it follows links

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// Finds the directory entry a path ends at, following symbolic links by
// their text from work.out_path: the place where a replacement must be
// renamed. Which file the kernel reaches is checked against it afterwards. A
// link inside /proc (such as /dev/stdout's /proc/self/fd/1) names an open
// descriptor, not a place in a directory: resolving stops there.
Status resolve_links(Workspace& work, bool& descriptor_link, Facts& facts) {
    char* target = work.out_path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return Status::ok;
        if (starts_with(target, "/proc/") || starts_with(target, "/dev/fd/")) {
            descriptor_link = true;
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

// Opens the file that will be replaced, to read too where it may be read:
// a copy in place gives its first bytes back when it cannot begin.
int open_target(int dir_fd, const char* path, int flags) {
    const int fd = openat(dir_fd, path, O_RDWR | flags);
    return fd >= 0 ? fd : openat(dir_fd, path, O_WRONLY | flags);
}

// Remembers the file that will be replaced: its access, to give the new
// file, and its identity, to find it again.
void take_target(OutputFile& out, const struct stat& st) {
    out.mode = st.st_mode & 07777;
    out.owner = st.st_uid;
    out.group = st.st_gid;
    out.device = st.st_dev;
    out.inode = st.st_ino;
}

}  // namespace

int named_descriptor(const char* path) {
    if (std::strcmp(path, "/dev/stdin") == 0) return 0;
    if (std::strcmp(path, "/dev/stdout") == 0) return 1;
    if (std::strcmp(path, "/dev/stderr") == 0) return 2;
    const char* digits = starts_with(path, "/dev/fd/")         ? path + 8
                         : starts_with(path, "/proc/self/fd/") ? path + 14
                                                               : nullptr;
    if (digits == nullptr || *digits == '\0') return -1;
    long value = 0;
    for (const char* at = digits; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9' || value > 1000000) return -1;
        value = value * 10 + (*at - '0');
    }
    return static_cast<int>(value);
}

Status locate_output(const NativeChar* path, const InputFile& in, Workspace& work, OutputFile& out, Facts& facts) {
    const std::size_t length = strnlen(path, kMaxNativePath);
    if (length == kMaxNativePath || length == 0) return Status::invalid_path;
    if (path != work.out_path) std::memcpy(work.out_path, path, length + 1);
    out.path = work.out_path;

    struct stat st {};
    if (const int descriptor = named_descriptor(out.path); descriptor >= 0) {
        // Written as the shell would: at its offset, appending where it
        // appends; a regular file only once the conversion is complete.
        out.fd = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
        if (out.fd < 0 || fstat(out.fd, &st) != 0) return failed(Status::open_output_failed, facts, errno);
        if (S_ISDIR(st.st_mode)) return failed(Status::open_output_failed, facts, EISDIR);
        if (S_ISREG(st.st_mode) && st.st_dev == in.device && st.st_ino == in.inode) return Status::same_file;
        out.kind = OutputKind::direct;
        out.descriptor = true;
        out.exists = true;
        out.spilled = S_ISREG(st.st_mode);
        out.seekable = S_ISREG(st.st_mode) || (lseek(out.fd, 0, SEEK_CUR) >= 0 && !isatty(out.fd));
        return Status::ok;
    }

    // The kernel follows the links, with its protections; stat and open
    // both refuse a link that fs.protected_symlinks forbids.
    out.exists = stat(out.path, &st) == 0;
    if (!out.exists && errno != ENOENT) return failed(Status::open_output_failed, facts, errno);
    if (!out.exists) {
        struct stat link {};
        if (lstat(out.path, &link) == 0) {
            // A dangling link: the kernel makes its target, as the shell's
            // '>' would, and that file is then replaced like any other.
            const int made = open(out.path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
            if (made < 0 || fstat(made, &st) != 0) {
                const int error = errno;
                if (made >= 0) close(made);
                return failed(Status::open_output_failed, facts, error);
            }
            out.exists = true;
            out.created = true;
            out.target_fd = made;
        }
    }
    if (out.exists) {
        if (S_ISDIR(st.st_mode)) return failed(Status::open_output_failed, facts, EISDIR);
        if (S_ISREG(st.st_mode) && st.st_dev == in.device && st.st_ino == in.inode) return Status::same_file;
    }
    if (out.exists && S_ISREG(st.st_mode)) {
        // Opened for writing without O_TRUNC: a file we may not write stays
        // as it is, as fopen would leave it, even where its directory would
        // let us replace it. This is the file that will be replaced.
        if (out.target_fd < 0) out.target_fd = open_target(AT_FDCWD, out.path, O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat reached {};
        if (out.target_fd < 0 || fstat(out.target_fd, &reached) != 0)
            return failed(Status::open_output_failed, facts, errno);
        // Replaced meanwhile (by another writer's rename): the file opened
        // is the one that counts. Anything else than a file is refused.
        if (!S_ISREG(reached.st_mode)) return failed(Status::open_output_failed, facts, EAGAIN);
        st = reached;
        take_target(out, st);
    }
    if (!out.exists || S_ISREG(st.st_mode)) {
        bool descriptor_link = false;
        Status status = resolve_links(work, descriptor_link, facts);
        if (status == Status::ok) status = open_directory(out, work.out_path, facts);
        if (status != Status::ok) return status;
        struct stat entry {};
        const bool found = fstatat(out.dir_fd, out.name, &entry, AT_SYMLINK_NOFOLLOW) == 0;
        if (out.exists && !descriptor_link && found && S_ISREG(entry.st_mode) && !same_identity(entry, st)) {
            // Another writer's rename came between: the file now at the
            // name (no link is followed) is the one replaced.
            const int again = open_target(out.dir_fd, out.name, O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW);
            struct stat now {};
            if (again >= 0 && fstat(again, &now) == 0 && same_identity(now, entry)) {
                close(out.target_fd);
                out.target_fd = again;
                st = now;
                take_target(out, st);
            } else if (again >= 0) {
                close(again);
            }
        }
        out.kind = OutputKind::replace;
        // Only the directory entry of the file the kernel reached is
        // replaced; one reached otherwise (a descriptor link, a link
        // changed meanwhile) is written in place.
        // A name that appeared meanwhile (another writer's output) is
        // renamed over like any: a rename never follows a link.
        if (out.exists && (descriptor_link || !found || !same_identity(entry, st))) out.kind = OutputKind::in_place;
        return Status::ok;
    }
    out.kind = OutputKind::direct;
    if (S_ISFIFO(st.st_mode)) {
        out.seekable = false;  // and opened only once the input has passed its check
        return Status::ok;
    }
    // A socket's path cannot be opened; one on a descriptor can be written.
    if (S_ISSOCK(st.st_mode)) return failed(Status::open_output_failed, facts, ENXIO);
    // A device: opening it writes nothing, and tells whether it can seek.
    out.fd = open(out.path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (out.fd < 0 || !clear_nonblocking(out.fd)) return failed(Status::open_output_failed, facts, errno);
    out.seekable = lseek(out.fd, 0, SEEK_CUR) >= 0 && !isatty(out.fd);
    return Status::ok;
}

#endif

}  // namespace qpbm

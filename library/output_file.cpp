#include "library/output_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "library/file_convert.hpp"
#include "library/temp_files.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#endif

namespace qpbm {

namespace {

thread_local bool sync_outputs = false;

Status failed(Status status, Facts& facts, int error) {
    facts.os_error = error;
    return status;
}

}  // namespace

SyncOutputs::SyncOutputs(bool sync) : previous_(sync_outputs) { sync_outputs = sync; }
SyncOutputs::~SyncOutputs() { sync_outputs = previous_; }

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

void forget_scanned_directories() {}

Status finish_output(OutputFile& out, Status status, Facts& facts) {
    if (out.stream != nullptr && status == Status::ok && sync_outputs &&
        (std::fflush(out.stream) != 0 || _commit(_fileno(out.stream)) != 0))
        status = failed(Status::write_failed, facts, errno);
    if (out.stream != nullptr && std::fclose(out.stream) != 0 && status == Status::ok)
        status = failed(Status::write_failed, facts, errno);
    out.stream = nullptr;
    if (!out.temp_named) return status;
    if (status == Status::ok && !MoveFileExW(out.temp_path, out.path, MOVEFILE_REPLACE_EXISTING))
        status = failed(Status::replace_failed, facts, EACCES);
    if (status != Status::ok && _wremove(out.temp_path) != 0) return Status::cleanup_failed;
    return status;
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

bool clear_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

constexpr char kAccessAcl[] = "system.posix_acl_access";

// Gives the temporary file the target's owner, group, permission bits,
// access ACL and extended attributes. False when the access cannot be
// reproduced (another owner or group, an ACL that does not copy): the new
// file would then grant what the old one did not, and the target is written
// in place instead. An attribute that is not about access and cannot be
// copied (a security label, a trusted.* one) is left behind.
bool copy_metadata(const OutputFile& out, int fd, Workspace& work) {
    bool same_access = true;
    // Owner and group first, then the bits: a change of owner may clear
    // set-id bits.
    if (fchown(fd, out.owner, out.group) != 0 && fchown(fd, static_cast<uid_t>(-1), out.group) != 0)
        same_access = false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_uid != out.owner || st.st_gid != out.group) same_access = false;
    if (fchmod(fd, out.mode) != 0) return false;
    // Attribute names into scratch, each value into in_path (the input is
    // open by now, so its path is no longer needed).
    char* names = work.scratch;
    char* value = work.in_path;
    const ssize_t listed = flistxattr(out.target_fd, names, kMaxNativePath);
    bool had_acl = false;
    if (listed < 0 && errno != ENOTSUP) return false;  // too many to list: the ACL may be among them
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        const char* name = names + at;
        const bool acl = std::strcmp(name, kAccessAcl) == 0;
        had_acl = had_acl || acl;
        const ssize_t size = fgetxattr(out.target_fd, name, value, kMaxNativePath);
        const bool copied = size >= 0 && fsetxattr(fd, name, value, static_cast<std::size_t>(size), 0) == 0;
        if (acl && !copied) same_access = false;
    }
    // A default ACL of the directory gives a new file an access ACL of its
    // own; the target had none.
    if (!had_acl && fremovexattr(fd, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) same_access = false;
    return same_access;
}

// Syncs a directory whose entries changed.
bool sync_directory(int dir_fd) {
    const int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
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

const char* temp_directory() {
    const char* dir = std::getenv("TMPDIR");
    return dir == nullptr || *dir == '\0' ? "/tmp" : dir;
}

int open_spill_file() {
    const char* dir = temp_directory();
#if defined(O_TMPFILE)
    const int unnamed = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return unnamed;
#endif
    char name[512];
    const int n = std::snprintf(name, sizeof name, "%s/.quorvelpbm-spool-XXXXXX", dir);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof name) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0) unlink(name);
    return fd;
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

Status open_output(OutputFile& out, bool text, Workspace& work, Facts& facts) {
    (void)text;  // POSIX files have no text mode
    if (out.kind == OutputKind::replace) {
        const int fd = create_temp(out);
        const int error = errno;
        if (fd < 0 && out.exists && (error == EACCES || error == EPERM || error == EROFS)) {
            out.kind = OutputKind::in_place;  // the directory takes no new file, but the target is writable
        } else if (fd < 0) {
            return failed(Status::open_output_failed, facts, error);
        } else if (out.exists && !copy_metadata(out, fd, work)) {
            // A new file cannot have the old one's access: nothing may gain
            // access by the replacement, so the target is written in place.
            if (out.temp_named) unlinkat(out.dir_fd, out.temp_name, 0);
            out.temp_named = out.temp_unnamed = false;
            close(fd);
            out.kind = OutputKind::in_place;
        } else {
            out.fd = fd;
        }
        // Limited before a byte is written: the file never gives more.
        struct stat made {};
        if (out.fd >= 0 && out.permissions != 07777 &&
            (fstat(out.fd, &made) != 0 || fchmod(out.fd, made.st_mode & 07777 & out.permissions) != 0))
            return failed(Status::open_output_failed, facts, errno);
    }
    if (out.kind == OutputKind::in_place || (out.descriptor && out.spilled)) {
        const int spill = open_spill_file();
        if (spill < 0) {
            facts.temp_dir = temp_directory();
            return failed(Status::open_output_failed, facts, errno);
        }
        out.stream = fdopen(spill, "w+b");
        if (out.stream == nullptr) {
            close(spill);
            return failed(Status::open_output_failed, facts, errno);
        }
        out.spilled = true;
        return Status::ok;
    }
    if (out.kind == OutputKind::direct && out.fd < 0) {
        // A FIFO: opening it without a reader would wait for one forever.
        out.fd = open(out.path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (out.fd < 0 && errno == ENXIO) return Status::output_no_reader;
        if (out.fd < 0 || !clear_nonblocking(out.fd)) return failed(Status::open_output_failed, facts, errno);
    }
    if (out.kind == OutputKind::direct && out.defer) {
        // The pipe stays open, unwritten, until the conversion is complete.
        const int spill = open_spill_file();
        out.stream = spill >= 0 ? fdopen(spill, "w+b") : nullptr;
        if (out.stream == nullptr && spill >= 0) close(spill);
        if (spill < 0) facts.temp_dir = temp_directory();
        return out.stream ? Status::ok : failed(Status::open_output_failed, facts, errno);
    }
    out.stream = fdopen(out.fd, out.kind == OutputKind::replace ? "w+b" : "wb");
    if (out.stream == nullptr) return failed(Status::open_output_failed, facts, errno);
    out.fd = -1;  // the stream owns it now
    return Status::ok;
}

Status finish_output(OutputFile& out, Status status, Facts& facts) {
    const bool sync = sync_outputs;
    const int written = out.stream != nullptr ? fileno(out.stream) : -1;
    if (written >= 0 && status == Status::ok && std::fflush(out.stream) != 0)
        status = failed(Status::write_failed, facts, errno);
    if (out.kind == OutputKind::replace && written >= 0 && status == Status::ok) {
        if (sync && fsync(written) != 0) status = failed(Status::write_failed, facts, errno);
        if (status == Status::ok && out.temp_unnamed && !name_temp(out, written))
            status = failed(Status::write_failed, facts, errno);
        if (status == Status::ok && renameat(out.dir_fd, out.temp_name, out.dir_fd, out.name) != 0) {
            // Refused (another user's file in a sticky directory, a bind
            // mount): the complete file is copied over the target instead.
            const int error = errno;
            if (out.target_fd >= 0 && (error == EPERM || error == EBUSY || error == EACCES || error == EXDEV))
                out.kind = OutputKind::in_place;
            else
                status = failed(Status::replace_failed, facts, error);
        } else if (status == Status::ok) {
            out.temp_named = false;  // it is the target now
            if (sync && !sync_directory(out.dir_fd)) status = failed(Status::write_failed, facts, errno);
        }
    }
    if (out.kind == OutputKind::in_place && written >= 0 && status == Status::ok) {
        // The unsafe window: the complete output is copied over the target.
        status = copy_in_place(written, out.target_fd, sync, facts);
    }
    if (out.kind == OutputKind::direct && out.descriptor && out.spilled && written >= 0 && status == Status::ok) {
        // Appended at the end of the file (by '>', '>>' or a shared offset):
        // a copy that fails part way is cut off again.
        struct stat before {};
        const int appends = fcntl(out.fd, F_GETFL) & O_APPEND;
        const off_t at = appends != 0 ? -1 : lseek(out.fd, 0, SEEK_CUR);
        const bool at_end = fstat(out.fd, &before) == 0 && (appends != 0 || at >= before.st_size);
        if (!copy_file(written, out.fd) || (sync && fsync(out.fd) != 0)) {
            status = failed(Status::write_failed, facts, errno);
            if (at_end && (ftruncate(out.fd, before.st_size) != 0 || (at >= 0 && lseek(out.fd, at, SEEK_SET) != at)))
                status = Status::cleanup_failed;
        }
    }
    if (out.kind == OutputKind::direct && !out.spilled && written >= 0 && status == Status::ok && sync &&
        fsync(written) != 0 && errno != EINVAL && errno != EROFS)
        status = failed(Status::write_failed, facts, errno);  // a pipe or terminal cannot be synced
    if (out.stream != nullptr && std::fclose(out.stream) != 0 && status == Status::ok)
        status = failed(Status::write_failed, facts, errno);
    out.stream = nullptr;
    if (out.fd >= 0) close(out.fd);
    out.fd = -1;
    if (out.temp_named && unlinkat(out.dir_fd, out.temp_name, 0) != 0) status = Status::cleanup_failed;
    out.temp_named = false;
    // A target made here, at a dangling link's end, goes again on failure.
    if (status != Status::ok && out.created && out.dir_fd >= 0) {
        struct stat entry {};
        if (fstatat(out.dir_fd, out.name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && entry.st_dev == out.device &&
            entry.st_ino == out.inode && entry.st_size == 0)
            unlinkat(out.dir_fd, out.name, 0);
    }
    if (out.target_fd >= 0) close(out.target_fd);
    out.target_fd = -1;
    if (out.dir_fd >= 0) close(out.dir_fd);
    out.dir_fd = -1;
    return status;
}

#endif

}  // namespace qpbm

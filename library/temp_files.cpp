// The temporary file an output is written to before it takes the target's
// place: its name, its making (with the removal of those that killed runs
// left behind), and the copies out of it.
#include "library/temp_files.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
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

}  // namespace

void make_temp_name(char (&name)[48], unsigned long long pid) {
    char* at = append(name, kTempPrefix);
    at = append_decimal(at, pid);
    *at++ = '-';
    at = append_decimal(at, temp_counter.fetch_add(1, std::memory_order_relaxed));
    at = append(at, kTempSuffix);
    *at = '\0';
}

void use_named_temp_files(bool named) { named_temps_only = named; }

#if !defined(_WIN32)

namespace {

Status failed(Status status, Facts& facts, int error) {
    facts.os_error = error;
    return status;
}

// Exactly the form make_temp_name gives: the prefix, digits, '-', digits,
// the suffix. A user's ".quorvelpbm-1-my notes.tmp" is not one of ours.
bool is_temp_name(const char* name) {
    constexpr std::size_t kPrefixLength = sizeof kTempPrefix - 1;
    if (std::strncmp(name, kTempPrefix, kPrefixLength) != 0) return false;
    const char* at = name + kPrefixLength;
    for (int part = 0; part < 2; ++part) {
        const char* digits = at;
        while (*at >= '0' && *at <= '9') ++at;
        if (at == digits || at - digits > 20) return false;
        if (part == 0 && *at++ != '-') return false;
    }
    return std::strcmp(at, kTempSuffix) == 0;
}

// The directories this process has searched for stale temporary files: a
// batch into one directory searches it once, not once per file.
struct DirectoryId {
    unsigned long long device, inode;
};
constexpr std::size_t kScannedDirectories = 256;  // beyond that, a directory may be searched again
std::mutex scanned_lock;
DirectoryId scanned[kScannedDirectories];
std::size_t scanned_count = 0;

bool first_search_of(int dir_fd) {
    struct stat st {};
    if (fstat(dir_fd, &st) != 0) return true;
    const std::lock_guard<std::mutex> hold(scanned_lock);
    for (std::size_t i = 0; i < scanned_count; ++i)
        if (scanned[i].device == st.st_dev && scanned[i].inode == st.st_ino) return false;
    if (scanned_count < kScannedDirectories) scanned[scanned_count++] = {st.st_dev, st.st_ino};
    return true;
}

// Removes the temporary files that runs killed part way left in the
// directory. A run holds an exclusive flock on its temporary file for as long
// as it lives, wherever its process is (another PID namespace, another NFS
// client): a file is stale only when that lock can be taken, its name is
// exactly of the generated form, and it belongs to this user.
void remove_stale_temps(int dir_fd) {
    if (!first_search_of(dir_fd)) return;
    const int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    const uid_t self = geteuid();
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (!is_temp_name(name)) continue;
        const int temp = openat(fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (temp < 0) continue;
        struct stat st {};
        struct stat now {};
        if (fstat(temp, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == self && flock(temp, LOCK_EX | LOCK_NB) == 0 &&
            fstatat(fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_identity(st, now))
            unlinkat(fd, name, 0);
        close(temp);  // and its lock
    }
    closedir(dir);
}

// The first bytes of an output, which tell a reader what it is: every header
// we write fits. A copy in place writes them last, so that until it is
// complete the file is no picture at all; a write this small at the start
// of a file is done whole or not at all, even by a kill.
constexpr std::size_t kHeadSize = 512;

bool read_all(int fd, unsigned char* bytes, std::size_t length, off_t at) {
    for (std::size_t done = 0; done < length;) {
        const ssize_t n = pread(fd, bytes + done, length - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // shorter than it was
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool write_all(int fd, const unsigned char* bytes, std::size_t length, off_t at) {
    for (std::size_t done = 0; done < length;) {
        const ssize_t n = pwrite(fd, bytes + done, length - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

// Creates the temporary file in the target's directory, readable so that it
// can still be copied in place: unnamed where the file system allows, so
// that nothing is left if the process dies. Either is locked from the start.
int create_temp(OutputFile& out) {
    // Even an unnamed file is named for the moment before its rename, so a
    // kill can leave one behind whatever the file system.
    remove_stale_temps(out.dir_fd);
#if defined(O_TMPFILE)
    const int fd = named_temps_only ? -1 : openat(out.dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (named_temps_only) errno = EOPNOTSUPP;
    if (fd >= 0) {
        flock(fd, LOCK_EX | LOCK_NB);  // a new inode: nobody else holds it
        out.temp_unnamed = true;
        return fd;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return -1;
#endif
    for (int tries = 0; tries < 100; ++tries) {
        make_temp_name(out.temp_name, static_cast<unsigned long long>(getpid()));
        const int fd = openat(out.dir_fd, out.temp_name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return -1;
        // Between the create and the lock another run may have found the
        // file unlocked and removed it: then the name is no longer ours.
        struct stat mine {};
        struct stat named {};
        const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
        if (locked && fstat(fd, &mine) == 0 && fstatat(out.dir_fd, out.temp_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            same_identity(mine, named)) {
            out.temp_named = true;
            return fd;
        }
        close(fd);
    }
    errno = EEXIST;
    return -1;
}

// Gives an unnamed temporary file a name, so that it can be renamed. A name
// already taken (another process with our PID, in another container on the
// same volume) is passed over for the next.
bool name_temp(OutputFile& out, int fd) {
    for (int tries = 0; tries < 100; ++tries) {
        make_temp_name(out.temp_name, static_cast<unsigned long long>(getpid()));
        if (linkat(fd, "", out.dir_fd, out.temp_name, AT_EMPTY_PATH) == 0) {
            out.temp_named = true;
            return true;
        }
        if (errno == EEXIST) continue;
        // Without the privilege AT_EMPTY_PATH needs, the descriptor's /proc
        // link does the same.
        char proc_path[40];
        *append_decimal(append(proc_path, "/proc/self/fd/"), static_cast<unsigned long long>(fd)) = '\0';
        if (linkat(AT_FDCWD, proc_path, out.dir_fd, out.temp_name, AT_SYMLINK_FOLLOW) == 0) {
            out.temp_named = true;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// Copies the whole of `from` to `to` at `to`'s own offset, appending where
// it appends.
bool copy_file(int from, int to) {
    if (lseek(from, 0, SEEK_SET) != 0) return false;
    // In the kernel where it can (not to a file opened to append), else
    // through a small block: the stack stays small.
    bool kernel = true;
    for (ssize_t n; kernel && (n = sendfile(to, from, nullptr, 1 << 20)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EINVAL || errno == ENOSYS) && lseek(from, 0, SEEK_CUR) == 0)
            kernel = false;
        else if (n < 0)
            return false;
    }
    unsigned char block[1024];
    for (ssize_t n; !kernel && (n = read(from, block, sizeof block)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(to, block + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += w;
        }
    }
    return true;
}

// Copies the complete output `from` over the target in place. The target's
// head is blanked before anything else changes, the rest copied, the file
// cut to length, and the head written last: a kill at any moment leaves the
// old file or one that is no picture, which an update converts again. The
// space is reserved after the blanking (which changes no size), keeping the
// old bytes, so that a full disk refuses with the old file given back. A
// failure part way empties the target rather than leave half of one.
Status copy_in_place(int from, int to, bool sync, Facts& facts) {
    struct stat spool {};
    struct stat target {};
    if (fstat(from, &spool) != 0 || fstat(to, &target) != 0) return failed(Status::write_failed, facts, errno);
    const off_t size = spool.st_size;
    const std::size_t head = static_cast<std::size_t>(std::min<off_t>(size, kHeadSize));
    const std::size_t old = static_cast<std::size_t>(std::min<off_t>(target.st_size, kHeadSize));
    static constexpr unsigned char kBlank[kHeadSize] = {};
    unsigned char bytes[kHeadSize];
    // A target we may not read (opened to write only) cannot be given back:
    // it is blanked only once the space is reserved. (Nor can the caller's
    // update read it, and so trust it.)
    const bool kept = read_all(to, bytes, old, 0);
    if (kept && !write_all(to, kBlank, old, 0)) {
        const int error = errno;
        return write_all(to, bytes, old, 0) ? failed(Status::write_failed, facts, error) : Status::cleanup_failed;
    }
#if defined(__linux__)
    if (size > 0 && fallocate(to, FALLOC_FL_KEEP_SIZE, 0, size) != 0) {
        const int error = errno;
        if (kept && !write_all(to, bytes, old, 0)) return Status::cleanup_failed;
        // Its times too, where the caller may set them (its owner, root).
        const timespec times[2] = {target.st_atim, target.st_mtim};
        futimens(to, times);
        return failed(Status::space_not_reserved, facts, error);
    }
#endif
    bool copied = kept || write_all(to, kBlank, old, 0);
    if (copied && lseek(to, static_cast<off_t>(head), SEEK_SET) != static_cast<off_t>(head)) copied = false;
    for (off_t at = static_cast<off_t>(head); copied && at < size;) {
        const ssize_t n = sendfile(to, from, &at, static_cast<std::size_t>(std::min<off_t>(size - at, 1 << 20)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            copied = false;
            if (n == 0) errno = EIO;  // the spool shrank
        }
    }
    if (copied && ftruncate(to, size) != 0) copied = false;
    // With a sync, the rest is on the disk before the head that makes it a
    // picture, so that a power loss too leaves no half picture.
    if (copied && sync && fsync(to) != 0) copied = false;
    if (copied && (!read_all(from, bytes, head, 0) || !write_all(to, bytes, head, 0))) copied = false;
    if (copied && sync && fsync(to) != 0) copied = false;
    if (!copied) {
        const Status status = failed(Status::write_failed, facts, errno);
        // Never half a file: emptied instead (and blank, should that fail).
        return ftruncate(to, 0) == 0 ? status : Status::cleanup_failed;
    }
    return Status::ok;
}

void forget_scanned_directories() {
    const std::lock_guard<std::mutex> hold(scanned_lock);
    scanned_count = 0;
}

#endif

}  // namespace qpbm

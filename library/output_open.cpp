// Opening the output: a temporary file beside the target with the target's
// access, the spill file for a target written in place or a pipe, or the
// target itself.
#include <cerrno>
#include <cstring>

#include "library/file_convert.hpp"
#include "library/output_file.hpp"
#include "library/output_internal.hpp"
#include "library/temp_files.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#endif

namespace qpbm {

#if defined(_WIN32)

Status open_output(OutputFile& out, bool text, Workspace&, Facts& facts) {
    // A binary output is opened for reading too: libtiff reads back the
    // previous directory's link when it adds a page.
    if (out.kind == OutputKind::direct) {
        out.stream = _wfopen(out.path, text ? L"w" : L"w+b");
        return out.stream ? Status::ok : failed(Status::open_output_failed, facts, errno);
    }
    const int fd = _wopen(out.temp_path, _O_CREAT | _O_EXCL | (text ? _O_WRONLY | _O_TEXT : _O_RDWR | _O_BINARY),
                          _S_IREAD | _S_IWRITE);
    if (fd < 0) return failed(Status::open_output_failed, facts, errno);
    out.temp_named = true;
    out.stream = _fdopen(fd, text ? "w" : "w+b");
    if (out.stream == nullptr) {
        _close(fd);
        return failed(Status::open_output_failed, facts, errno);
    }
    return Status::ok;
}

void forget_scanned_directories() {}

#else

namespace {

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

}  // namespace

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

#endif

}  // namespace qpbm

// Finishing the output: on success the temporary file installed over the
// target (renamed, or copied in place), otherwise discarded.
#include <cerrno>

#include "library/output_file.hpp"
#include "library/output_internal.hpp"
#include "library/temp_files.hpp"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#endif

namespace qpbm {

namespace {

thread_local bool sync_outputs = false;

}  // namespace

SyncOutputs::SyncOutputs(bool sync) : previous_(sync_outputs) { sync_outputs = sync; }
SyncOutputs::~SyncOutputs() { sync_outputs = previous_; }

#if defined(_WIN32)

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

// Syncs a directory whose entries changed.
bool sync_directory(int dir_fd) {
    const int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

}  // namespace

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

#include "library/file_convert.hpp"

#include <cerrno>
#include <cstring>

#include "library/output_file.hpp"
#include "library/phases.hpp"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qpbm {

namespace {

bool is_io_error(Status status) { return status == Status::read_failed || status == Status::write_failed; }

[[maybe_unused]] Status failed_read(Facts& facts) {
    facts.os_error = errno;
    return Status::read_failed;
}

// Looks at the first bytes of a regular file without taking them: pread, or
// a read and a seek back on Windows, before the stream has read anything.
// Pipes are spooled into a file before this; a device's bytes, once read,
// are gone, so its direction must be given.
}  // namespace

Status detect_reader(InputFile& in, Direction& direction, const ReaderKind*& reader, Facts& facts) {
    if (direction != Direction::detect) return reader_of_input(direction, nullptr, 0, reader);
    if (!in.regular) return Status::undetectable_input;
    unsigned char magic[kMagicSize];
    std::size_t got = 0;
#if defined(_WIN32)
    got = std::fread(magic, 1, sizeof magic, in.stream);
    if (std::ferror(in.stream) || _fseeki64(in.stream, 0, SEEK_SET) != 0) {
        facts.os_error = errno;
        return Status::read_failed;
    }
#else
    const int fd = fileno(in.stream);
    while (got < sizeof magic) {
        const ssize_t n = pread(fd, magic + got, sizeof magic - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            facts.os_error = errno;
            return Status::read_failed;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
#endif
    return reader_of_input(direction, magic, got, reader, &facts);
}

namespace {

// Keeps the errno of an I/O failure, and names a read that met the end of a
// file whose size was already checked: the file shrank while it was read. A
// failure with an errno of its own (a seek on a pipe, ESPIPE) is no shrinking,
// even after a read met the pipe's end.
}  // namespace

Status explain_io(Status status, std::FILE* in, Facts& facts) {
    if (!is_io_error(status)) return status;
    if (facts.os_error == 0) facts.os_error = errno;
    if (status == Status::read_failed && facts.os_error == 0 && std::feof(in) && !std::ferror(in)) {
        facts.os_error = 0;
        return Status::input_shrank;
    }
    return status;
}

namespace {

// A path of any kind in the platform's form, converted into `buffer` when
// it is not in that form already.
[[maybe_unused]] const NativeChar* to_native(const NativeChar* path, NativeChar*, std::size_t) { return path; }
[[maybe_unused]] const NativeChar* to_native(const char16_t* path, NativeChar* buffer, std::size_t size) {
    return native_path(path, buffer, size);
}
#if defined(_WIN32)
const NativeChar* to_native(const char* path, NativeChar* buffer, std::size_t size) {
    return native_path_utf8(path, buffer, size);
}
#endif

}  // namespace

const NativeChar* native_of(const char* path, NativeChar* buffer, std::size_t size) {
    return to_native(path, buffer, size);
}

namespace {

template <class Char>
Status run_with(Direction& direction, const Char* in_path, const Char* out_path, Workspace& work, Facts& facts,
                const Options& options) {
    if (in_path == nullptr || out_path == nullptr) return Status::invalid_path;
    const NativeChar* in_native = to_native(in_path, work.in_path, kMaxNativePath);
    const NativeChar* out_native = to_native(out_path, work.out_path, kMaxNativePath);
    if (in_native == nullptr || out_native == nullptr) return Status::invalid_path;
    InputFile in;
    Status status = open_input(in_native, in, facts);
    if (status == Status::ok) status = wait_for_input(in, facts);
    // A PBM is read top row first, as a pipe gives it; a BMP (or a file that
    // may be one) needs its rows in any order, so a pipe is taken in first.
    if (status == Status::ok && direction != Direction::pbm_to_bmp)
        status = spool_input(direction, in, facts, &work, options);
    if (status == Status::ok) status = convert_input(direction, in, out_native, work, facts, options);
    close_input(in);
    return status;
}

template <class Char>
Status run_shared(Direction& direction, const Char* in_path, const Char* out_path, SharedWorkspace& shared,
                  Facts& facts, const Options& options) {
    if (in_path == nullptr || out_path == nullptr) return Status::invalid_path;
    InputFile in;
    Status status;
    {
        std::lock_guard<std::mutex> hold(shared.open_lock);
        const NativeChar* in_native = to_native(in_path, shared.in_path, kMaxNativePath);
        status = in_native == nullptr ? Status::invalid_path : open_input(in_native, in, facts);
    }
    if (status == Status::ok) status = wait_for_input(in, facts);
    if (status == Status::ok) status = spool_input(direction, in, facts, nullptr, options);
    DeferredOutput deferred;
    if (status == Status::ok) {
        std::lock_guard<std::mutex> hold(shared.lock);
        const NativeChar* out_native = to_native(out_path, shared.work.out_path, kMaxNativePath);
        status = out_native == nullptr
                     ? Status::invalid_path
                     : convert_input(direction, in, out_native, shared.work, facts, options, &deferred);
    }
    if (status == Status::ok && deferred.spool != nullptr) status = copy_deferred_output(deferred, facts);
    close_input(in);
    return status;
}

}  // namespace

#if defined(_WIN32)

Status open_input(const NativeChar* path, InputFile& in, Facts& facts) {
    if (path == nullptr) return Status::invalid_path;
    in.stream = _wfopen(path, L"rb");
    if (in.stream == nullptr) {
        facts.os_error = errno;
        return Status::open_input_failed;
    }
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in.stream)));
    in.regular = GetFileType(h) == FILE_TYPE_DISK;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(h, &info)) {
        in.device = info.dwVolumeSerialNumber;
        in.inode = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    return Status::ok;
}

Status wait_for_input(InputFile&, Facts&) { return Status::ok; }

// An output that cannot seek is never deferred on Windows.
Status copy_deferred_output(DeferredOutput& deferred, Facts&) {
    deferred = DeferredOutput{};
    return Status::ok;
}

void close_input(InputFile& in) {
    if (in.stream != nullptr) std::fclose(in.stream);
    in.stream = nullptr;
}

#else

Status open_input(const NativeChar* path, InputFile& in, Facts& facts) {
    if (path == nullptr) return Status::invalid_path;
    if (*path == '\0') return Status::invalid_path;
    // "/dev/stdin" and the like are the descriptor itself, read from where
    // it stands; anything else is opened without blocking.
    const int descriptor = named_descriptor(path);
    int fd;
    do {
        fd = descriptor >= 0 ? fcntl(descriptor, F_DUPFD_CLOEXEC, 3)
                             : open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        facts.os_error = errno;
        return Status::open_input_failed;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        facts.os_error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(fd);
        return Status::open_input_failed;
    }
    in.fd = fd;
    in.regular = S_ISREG(st.st_mode);
    in.pipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    // A file already read part way (a shell's offset) is taken from there
    // on, as a pipe is: into a file of its own, or forwards for a PBM.
    if (in.regular && descriptor >= 0 && lseek(fd, 0, SEEK_CUR) != 0) {
        in.regular = false;
        in.pipe = true;
    }
    in.device = st.st_dev;
    in.inode = st.st_ino;
    return Status::ok;
}

Status wait_for_input(InputFile& in, Facts& facts) {
    if (!in.regular) {
        pollfd p{in.fd, POLLIN, 0};
        while (poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
    }
    const int flags = fcntl(in.fd, F_GETFL);
    if (flags < 0 || fcntl(in.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        facts.os_error = errno;
        return Status::read_failed;
    }
    in.stream = fdopen(in.fd, "rb");
    if (in.stream == nullptr) {
        facts.os_error = errno;
        return Status::read_failed;
    }
    in.fd = -1;  // the stream owns it now
    return Status::ok;
}

void close_input(InputFile& in) {
    if (in.stream != nullptr) std::fclose(in.stream);
    if (in.fd >= 0) close(in.fd);
    in.stream = nullptr;
    in.fd = -1;
}

Status copy_deferred_output(DeferredOutput& deferred, Facts& facts) {
    Status status = Status::ok;
    const int from = fileno(deferred.spool);
    if (lseek(from, 0, SEEK_SET) != 0) status = Status::write_failed;
    for (ssize_t n; status == Status::ok && (n = sendfile(deferred.target, from, nullptr, 1 << 20)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            facts.os_error = errno;
            status = Status::write_failed;
        }
    }
    std::fclose(deferred.spool);
    if (close(deferred.target) != 0 && status == Status::ok) {
        facts.os_error = errno;
        status = Status::write_failed;
    }
    deferred = DeferredOutput{};
    return status;
}

#endif

namespace {

// Locates and checks the output, runs the check phase (`check(seekable,
// conversion)`), then writes the output and puts it in place. `in` is the
// input file, whose identity the output may not have (no file for pixels).
template <class Check>
Status convert_to_path(const InputFile& in, const NativeChar* out_path, Workspace& work, Facts& facts,
                       const Options& options, DeferredOutput* deferred, Check check) {
    OutputFile out;
    Conversion conversion;
    Status status = locate_output(out_path, in, work, out, facts);
#if !defined(_WIN32)
    out.defer = deferred != nullptr && !out.seekable;
#endif
    if (status == Status::ok) status = check(out.seekable, conversion);
    // The PBM is text: on platforms that translate line feeds it gets CR LF,
    // which every PBM reader copes with.
    // A raw PBM is binary.
    out.permissions = options.permissions;
    if (status == Status::ok) status = open_output(out, writes_text(conversion), work, facts);
    if (status == Status::ok) {
        errno = 0;
        status = write_output(in.stream, conversion, out.stream);
        if (in.stream != nullptr) status = explain_io(status, in.stream, facts);
#if !defined(_WIN32)
        // The output went to a temporary file first: a full $TMPDIR, not the target.
        if (status == Status::write_failed && (out.spilled || out.defer)) facts.temp_dir = temp_directory();
#endif
    }
    // The parts go before the output is closed, whatever happened.
    conversion.release();
    if (status == Status::ok && out.defer) {
        if (std::fflush(out.stream) != 0) {
            facts.os_error = errno;
            status = Status::write_failed;
        } else {
            deferred->spool = out.stream;
            deferred->target = out.fd;
            out.stream = nullptr;
            out.fd = -1;
        }
    }
    return finish_output(out, status, facts);
}

}  // namespace

Status convert_input(Direction& direction, InputFile& in, const NativeChar* out_path, Workspace& work, Facts& facts,
                     const Options& options, DeferredOutput* deferred) {
    if (out_path == nullptr) return Status::invalid_path;
    const ReaderKind* reader = nullptr;
    if (const Status status = detect_reader(in, direction, reader, facts); status != Status::ok) return status;
    return convert_to_path(in, out_path, work, facts, options, deferred, [&](bool seekable, Conversion& conversion) {
        errno = 0;
        return explain_io(check_input(*reader, in.stream, seekable, options, work, conversion, facts), in.stream,
                          facts);
    });
}

template <class Char>
Status convert_pixels_to(const PixelSource& pixels, const Char* out_path, Workspace& work, Facts& facts,
                         const Options& options) {
    if (out_path == nullptr) return Status::invalid_path;
    const NativeChar* out_native = to_native(out_path, work.out_path, kMaxNativePath);
    if (out_native == nullptr) return Status::invalid_path;
    const InputFile none;
    return convert_to_path(none, out_native, work, facts, options, nullptr, [&](bool seekable, Conversion& conversion) {
        return check_pixels(conversion, pixels, seekable, work.buffers, facts, options);
    });
}

Status convert_pixels_file(const PixelSource& pixels, const char* out_path, Workspace& work, Facts& facts,
                           const Options& options) {
    return convert_pixels_to(pixels, out_path, work, facts, options);
}

Status convert_pixels_file(const PixelSource& pixels, const char16_t* out_path, Workspace& work, Facts& facts,
                           const Options& options) {
    return convert_pixels_to(pixels, out_path, work, facts, options);
}

Status convert_with(Direction& direction, const char* in, const char* out, Workspace& work, Facts& facts,
                    const Options& options) {
    return run_with(direction, in, out, work, facts, options);
}

Status convert_with(Direction& direction, const char16_t* in, const char16_t* out, Workspace& work, Facts& facts,
                    const Options& options) {
    return run_with(direction, in, out, work, facts, options);
}

Status convert_shared(Direction& direction, const char* in, const char* out, SharedWorkspace& shared, Facts& facts,
                      const Options& options) {
    return run_shared(direction, in, out, shared, facts, options);
}

Status convert_shared(Direction& direction, const char16_t* in, const char16_t* out, SharedWorkspace& shared,
                      Facts& facts, const Options& options) {
    return run_shared(direction, in, out, shared, facts, options);
}

SharedWorkspace& static_workspace(Direction direction) {
    // Zero at load, constant-initialised: no constructor runs at load time.
    static SharedWorkspace workspaces[3];
    return workspaces[static_cast<int>(direction)];
}

Status convert_file(Direction direction, const NativeChar* in, const NativeChar* out, Facts& facts,
                    const Options& options) {
    return run_shared(direction, in, out, static_workspace(direction), facts, options);
}

Status convert_wide(Direction direction, const char16_t* in, const char16_t* out, Facts& facts,
                    const Options& options) {
    return run_shared(direction, in, out, static_workspace(direction), facts, options);
}

}  // namespace qpbm

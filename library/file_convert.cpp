#include "library/file_convert.hpp"

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "convert/convert.hpp"
#include "library/wide_path.hpp"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace qpbm {

namespace {

// The library's working memory: zero at load, reused by every call of one
// direction, so calls of that direction take its lock.
Bmp2PbmBuffers bmp2pbm_buffers;
std::mutex bmp2pbm_lock;
Pbm2BmpBuffers pbm2bmp_buffers;
std::mutex pbm2bmp_lock;

#if defined(_WIN32)
std::FILE* open_file(const NativeChar* path, const char* mode) {
    wchar_t wide_mode[4] = {};
    for (int i = 0; i < 3 && mode[i] != '\0'; ++i) wide_mode[i] = static_cast<wchar_t>(mode[i]);
    return _wfopen(path, wide_mode);
}

int remove_file(const NativeChar* path) { return _wremove(path); }

bool same_file(std::FILE* in, const NativeChar* out_path) {
    HANDLE out = CreateFileW(out_path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    const HANDLE in_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in)));
    const bool same = GetFileInformationByHandle(in_handle, &a) && GetFileInformationByHandle(out, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                      a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(out);
    return same;
}

bool is_regular_file(std::FILE* f) {
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    return GetFileType(h) == FILE_TYPE_DISK;
}

// A new file, or an existing file that is not a device or pipe.
bool output_seekable(const NativeChar* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DEVICE) == 0;
}
#else
std::FILE* open_file(const NativeChar* path, const char* mode) { return std::fopen(path, mode); }

int remove_file(const NativeChar* path) { return std::remove(path); }

bool same_file(std::FILE* in, const NativeChar* out_path) {
    struct stat a {};
    struct stat b {};
    return fstat(fileno(in), &a) == 0 && stat(out_path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool is_regular_file(std::FILE* f) {
    struct stat s {};
    return fstat(fileno(f), &s) == 0 && S_ISREG(s.st_mode);
}

// A new file, or an existing regular file: a FIFO, socket or device is
// written in order.
bool output_seekable(const NativeChar* path) {
    struct stat s {};
    return stat(path, &s) != 0 || S_ISREG(s.st_mode);
}
#endif

// Everything that may refuse the input, before the output exists.
Status prepare(Direction direction, std::FILE* in, bool seekable, BmpSource& bmp, PbmSource& pbm, Facts& facts) {
    if (direction == Direction::bmp_to_pbm) return read_bmp_source(in, bmp, facts);
    return read_pbm_source(in, seekable, pbm, pbm2bmp_buffers, facts);
}

Status emit(Direction direction, std::FILE* in, const BmpSource& bmp, const PbmSource& pbm, bool seekable,
            std::FILE* out) {
    if (direction == Direction::bmp_to_pbm) return write_pbm(in, bmp, out, bmp2pbm_buffers);
    return write_bmp(in, pbm, seekable, pbm2bmp_buffers, out);
}

bool is_io_error(Status status) { return status == Status::read_failed || status == Status::write_failed; }

Status convert_open_input(Direction direction, std::FILE* in, const NativeChar* out_path, Facts& facts) {
    BmpSource bmp;
    PbmSource pbm;
    const bool seekable = output_seekable(out_path);
    errno = 0;
    Status status = prepare(direction, in, seekable, bmp, pbm, facts);
    if (is_io_error(status)) facts.os_error = errno;
    if (status != Status::ok) return status;
    if (same_file(in, out_path)) return Status::same_file;

    // The PBM is text: on platforms that translate line feeds it gets CR LF,
    // which the reader copes with.
    std::FILE* out = open_file(out_path, direction == Direction::bmp_to_pbm ? "w" : "wb");
    if (out == nullptr) {
        facts.os_error = errno;
        return Status::open_output_failed;
    }
    const bool regular = is_regular_file(out);
    // Both are written in blocks larger than any stream buffer, so they need
    // none (write_bmp sets that itself).
    if (direction == Direction::bmp_to_pbm) std::setvbuf(out, nullptr, _IONBF, 0);

    errno = 0;
    status = emit(direction, in, bmp, pbm, seekable && regular, out);
    if (is_io_error(status)) facts.os_error = errno;
    if (std::fclose(out) != 0 && status == Status::ok) {
        status = Status::write_failed;
        facts.os_error = errno;
    }
    // Never leave half a file behind; a device such as /dev/full stays.
    if (status != Status::ok && regular) remove_file(out_path);
    return status;
}

}  // namespace

Status convert_file(Direction direction, const NativeChar* in_path, const NativeChar* out_path, Facts& facts) {
    if (in_path == nullptr || out_path == nullptr) return Status::invalid_path;
    std::lock_guard<std::mutex> hold(direction == Direction::bmp_to_pbm ? bmp2pbm_lock : pbm2bmp_lock);

    std::FILE* in = open_file(in_path, "rb");
    if (in == nullptr) {
        facts.os_error = errno;
        return Status::open_input_failed;
    }
    // A BMP is read in blocks of whole rows straight into the row buffer; a
    // stream buffer would only add a copy and a read per block.
    if (direction == Direction::bmp_to_pbm) std::setvbuf(in, nullptr, _IONBF, 0);
    const Status status = convert_open_input(direction, in, out_path, facts);
    std::fclose(in);  // after the output, which is closed inside
    return status;
}

Status convert_wide(Direction direction, const char16_t* in, const char16_t* out, Facts& facts) {
#if defined(_WIN32)
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return convert_file(direction, reinterpret_cast<const wchar_t*>(in), reinterpret_cast<const wchar_t*>(out), facts);
#else
    char in_path[kMaxNativePath];
    char out_path[kMaxNativePath];
    if (!utf16_to_utf8(in, in_path, sizeof in_path) || !utf16_to_utf8(out, out_path, sizeof out_path))
        return Status::invalid_path;
    return convert_file(direction, in_path, out_path, facts);
#endif
}

}  // namespace qpbm

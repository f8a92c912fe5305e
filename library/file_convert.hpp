// File-level conversion shared by the exports, the C API and the tests: open
// the input, let the converter check it, and only then write the output, to a
// temporary file that replaces the target only when it is complete.
#pragma once

#include <cstdio>
#include <mutex>

#include "convert/convert.hpp"
#include "core/status.hpp"
#include "library/wide_path.hpp"

namespace qpbm {

enum class Direction { bmp_to_pbm, pbm_to_bmp, detect };

// The working memory of one conversion. A caller that owns one may run its
// conversion beside others; the exports keep one static set per direction.
struct Workspace {
    NativeChar in_path[kMaxNativePath];   // a converted input path
    NativeChar out_path[kMaxNativePath];  // the output path, then the file it names
    NativeChar scratch[kMaxNativePath];   // a symbolic link's text while resolving
    union {
        Buffers buffers;
        Bmp2PbmBuffers bmp2pbm;
        Pbm2BmpBuffers pbm2bmp;
    };
};

// An input opened without blocking: a FIFO with no writer opens at once.
struct InputFile {
    int fd = -1;  // until it becomes the stream
    std::FILE* stream = nullptr;
    bool regular = false;
    bool pipe = false;  // a pipe, FIFO or socket
    unsigned long long device = 0;
    unsigned long long inode = 0;
};

// Opens `path` for reading. Never blocks.
Status open_input(const NativeChar* path, InputFile& in, Facts& facts);

// Waits until a pipe or device input has data or its end; immediate for a
// regular file. Call it outside any lock: it may wait for as long as the
// writer takes.
Status wait_for_input(InputFile& in, Facts& facts);

// An output that cannot seek (a pipe, FIFO, socket or terminal) written to a
// temporary file first, to be copied to it once the workspace is free.
struct DeferredOutput {
    std::FILE* spool = nullptr;  // the converted output, complete
    int target = -1;             // the opened pipe, FIFO, socket or terminal
};

// Checks the input, then writes the output at `out_path` (which may point into
// work.out_path). Direction::detect is replaced by the direction the input's
// first bytes call for. Opening a FIFO output never blocks: one with no reader
// is refused. With `deferred`, an output that cannot seek is written to a
// temporary file instead, left in `deferred` for copy_deferred_output.
Status convert_input(Direction& direction, InputFile& in, const NativeChar* out_path, Workspace& work, Facts& facts,
                     const Options& options, DeferredOutput* deferred = nullptr);

// Copies a deferred output to its pipe and closes both. Blocks for as long as
// the reader takes: call it with no lock held.
Status copy_deferred_output(DeferredOutput& deferred, Facts& facts);

// Reads a pipe, FIFO or socket input into a temporary file in $TMPDIR, so
// that converting it can never wait for a writer (library/spool_input.cpp).
// The signature is checked a byte at a time, then the header, with
// `options`, as soon as its bytes are in: a refusal stops the copy there,
// and a picture that passes is kept only as far as its header says its
// pixels go. Without a workspace, the header is checked in one the library
// keeps for that. Nothing to do for anything else: a device may never end.
// Call it with no lock held.
Status spool_input(Direction direction, InputFile& in, Facts& facts, Workspace* work, const Options& options);

void close_input(InputFile& in);

// The reader an opened input's first bytes call for (read without taking
// them), or the direction's.
Status detect_reader(InputFile& in, Direction& direction, const ReaderKind*& reader, Facts& facts);

// An I/O failure with its errno; a read that met the end of a file already
// measured is the file shrinking.
Status explain_io(Status status, std::FILE* in, Facts& facts);

// A UTF-8 path in the platform's form: itself, or converted into `buffer`.
const NativeChar* native_of(const char* path, NativeChar* buffer, std::size_t size);

// The whole sequence with a caller's workspace and no locks, for paths in
// UTF-8 or UTF-16 (and, on Windows, wide paths as they are).
// Converts pixels in memory (read/pixels.hpp) into the file at `out_path`,
// with the file handling of convert_with. No lock is taken.
Status convert_pixels_file(const PixelSource& pixels, const char* out_path, Workspace& work, Facts& facts,
                           const Options& options);
Status convert_pixels_file(const PixelSource& pixels, const char16_t* out_path, Workspace& work, Facts& facts,
                           const Options& options);

Status convert_with(Direction& direction, const char* in, const char* out, Workspace& work, Facts& facts,
                    const Options& options = kDefaultOptions);
Status convert_with(Direction& direction, const char16_t* in, const char16_t* out, Workspace& work, Facts& facts,
                    const Options& options = kDefaultOptions);

// A workspace that callers take turns at. The input is opened under
// `open_lock`, which is never held across anything that can block; a pipe
// input is read into a temporary file with no lock held; only then is
// `lock` taken for the conversion itself, and an output that cannot seek is
// copied to its pipe after the lock is released. So no caller ever waits for
// another caller's pipe.
struct SharedWorkspace {
    std::mutex open_lock;
    NativeChar in_path[kMaxNativePath];
    std::mutex lock;
    Workspace work;
};

Status convert_shared(Direction& direction, const char* in, const char* out, SharedWorkspace& shared, Facts& facts,
                      const Options& options = kDefaultOptions);
Status convert_shared(Direction& direction, const char16_t* in, const char16_t* out, SharedWorkspace& shared,
                      Facts& facts, const Options& options = kDefaultOptions);

// The library's static workspaces: one per direction, which serialises the
// calls of each export, and one for calls that detect the direction.
SharedWorkspace& static_workspace(Direction direction);

// Converts one file into another through the static workspace of the
// direction, serialised with the export of that direction. Used by the
// exports and the tests.
Status convert_file(Direction direction, const NativeChar* in, const NativeChar* out, Facts& facts,
                    const Options& options = kDefaultOptions);
Status convert_wide(Direction direction, const char16_t* in, const char16_t* out, Facts& facts,
                    const Options& options = kDefaultOptions);

}  // namespace qpbm

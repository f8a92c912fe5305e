// Where a conversion's output goes, and how it gets there without ever
// leaving a half-written file at the output path.
//
//   replace   the target is a regular file, or does not exist: the output is
//             written to a temporary file in the target's directory and
//             renamed over the target only when complete. The temporary file
//             is unnamed where the file system allows (Linux O_TMPFILE), so a
//             killed run leaves nothing; elsewhere it is named
//             ".quorvelpbm-PID-N.tmp", locked while its run lives, and
//             removed on every failure.
//   in_place  the target is a regular file that can be written but not
//             replaced: its directory takes no new file, the rename is
//             refused (a sticky directory, a bind mount), or its access
//             cannot be copied to a new file. The output is written to a
//             temporary file first and copied over the target only when
//             complete, so the unsafe window is that one copy.
//   direct    anything else (a device, a FIFO, a socket, a terminal, a
//             descriptor named as /dev/stdout or /dev/fd/N): written as it
//             is and never removed. A descriptor that is a regular file is
//             written at its offset (or appended to), after the conversion.
//
// Links are followed by the kernel, with its protections (such as
// fs.protected_symlinks): the existing target is opened without O_TRUNC,
// and only the file that open reached, by device and inode, is replaced. The
// replacement keeps its owner and group (where allowed), permission bits,
// ACL and extended attributes; a new file gets the permissions fopen would
// give it.
#pragma once

#include <cstdio>

#include "core/status.hpp"
#include "library/wide_path.hpp"

namespace qpbm {

struct InputFile;
struct Workspace;

enum class OutputKind { replace, in_place, direct };

struct OutputFile {
    OutputKind kind = OutputKind::replace;
    bool seekable = true;  // positioned writes work: a regular file
    bool exists = false;   // the target existed before
    std::FILE* stream = nullptr;
    int fd = -1;         // the output's descriptor, before it becomes the stream
    int dir_fd = -1;     // the target's directory (replace)
    bool defer = false;  // a pipe's output goes to `stream`, a temporary file, first
    bool temp_named = false;
    bool temp_unnamed = false;
    int target_fd = -1;       // the existing target as the kernel opened it, for writing
    bool created = false;     // the target was made here, at a dangling link's end
    bool descriptor = false;  // a descriptor of this process, named by its path
    bool spilled = false;     // `stream` is a temporary file, copied to the target at the end
    unsigned mode = 0;        // the target's permission bits
    unsigned owner = 0;
    unsigned group = 0;
    unsigned long long device = 0;  // the target's identity
    unsigned long long inode = 0;
    // The most access the new file may give.
    unsigned permissions = 07777;
    const NativeChar* path = nullptr;  // the target, in the workspace
    const NativeChar* name = nullptr;  // its last component (replace)
    char temp_name[48] = {};
#if defined(_WIN32)
    wchar_t* temp_path = nullptr;  // the target's path with a suffix, in the workspace
#endif
};

// Tests only: name every temporary file from the start, as on file systems
// that cannot make unnamed ones, so that that path runs everywhere.
void use_named_temp_files(bool named);

// Tests only: forget which directories were searched for stale temporary
// files, as a new process would.
void forget_scanned_directories();

// Syncs outputs (the file, and its directory after a rename) before a
// conversion on this thread reports success, while the object lives.
class SyncOutputs {
public:
    explicit SyncOutputs(bool sync);
    ~SyncOutputs();
    SyncOutputs(const SyncOutputs&) = delete;
    SyncOutputs& operator=(const SyncOutputs&) = delete;

private:
    bool previous_;
};

#if !defined(_WIN32)
// The descriptor a path names the way the shell's redirections read it:
// "/dev/stdin", "/dev/stdout", "/dev/stderr", "/dev/fd/N", "/proc/self/fd/N";
// -1 for any other path. Such a path is never looked up, so it works where
// /dev is missing (a chroot) and keeps the descriptor's offset.
int named_descriptor(const char* path);

// An unnamed read-write temporary file in $TMPDIR (else /tmp), or -1 with
// errno set.
int open_spill_file();

// The directory open_spill_file uses: $TMPDIR, else /tmp.
const char* temp_directory();
#endif

// Finds the file `path` names, refuses the input itself, and tells whether
// the output will be seekable. Writes nothing; a device is opened here, since
// opening one changes nothing.
Status locate_output(const NativeChar* path, const InputFile& in, Workspace& work, OutputFile& out, Facts& facts);

// Opens the output for writing: a temporary file, the target itself, or the
// device. `text` opens the PBM in text mode where the platform has one.
Status open_output(OutputFile& out, bool text, Workspace& work, Facts& facts);

// Closes the output. On success installs the temporary file over the target;
// otherwise discards it (or empties an in-place target) and returns the
// conversion's own status, or cleanup_failed when that went wrong too.
Status finish_output(OutputFile& out, Status status, Facts& facts);

}  // namespace qpbm

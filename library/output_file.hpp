// Where a conversion's output goes, and how it gets there without ever
// leaving a half-written file at the output path.
//
//   replace   the target is a regular file, or does not exist: the output is
//             written to a temporary file in the target's directory and
//             renamed over the target only when complete. The temporary file
//             is unnamed where the file system allows (Linux O_TMPFILE), so a
//             killed run leaves nothing; elsewhere it is named
//             ".quorvelpbm-PID-N.tmp" and removed on every failure.
//   in_place  the target is a regular file that can be written but whose
//             directory cannot take a new file, or one reached through a
//             descriptor link such as /dev/stdout: it is truncated and written
//             as it is, and emptied again if the conversion fails.
//   direct    anything else (a device, a FIFO, a socket, a terminal): written
//             as it is and never removed.
//
// A symbolic link is followed to its target, which keeps its permission bits
// and owner; a new file gets the permissions fopen would give it.
#pragma once

#include <cstdio>

#include "convert/status.hpp"
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
    unsigned mode = 0;  // the target's permission bits
    unsigned owner = 0;
    unsigned group = 0;
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

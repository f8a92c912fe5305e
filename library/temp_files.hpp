// The temporary file of an output (library/temp_files.cpp), for the output
// layer (library/output_locate.cpp, output_open.cpp, output_finish.cpp).
#pragma once

#include "library/output_file.hpp"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace qpbm {

// ".quorvelpbm-PID-N.tmp", N counting this process's temporary files.
void make_temp_name(char (&name)[48], unsigned long long pid);

#if !defined(_WIN32)

inline bool same_identity(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Creates the temporary file in out.dir_fd, locked, unnamed where the file
// system allows (out.temp_unnamed) or named (out.temp_named, out.temp_name),
// after removing the stale ones a killed run left there. -1 with errno.
int create_temp(OutputFile& out);

// Names an unnamed temporary file, so that it can be renamed.
bool name_temp(OutputFile& out, int fd);

// Copies the whole of `from` to `to` at `to`'s own offset.
bool copy_file(int from, int to);

// Copies the complete output `from` over a target written in place: its
// head blank until the copy is complete, the space reserved before a byte
// of the new output is written, and emptied rather than left half written
// on a failure.
Status copy_in_place(int from, int to, bool sync, Facts& facts);

#endif

}  // namespace qpbm

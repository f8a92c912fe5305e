// What a path names, and the small identities that let a batch of any size
// remember which files it has read and written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

#if defined(_WIN32)
inline constexpr char kSeparators[] = "/\\";
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparators[] = "/";
inline constexpr char kSeparator = '/';
#endif

struct FileInfo {
    bool exists = false;
    bool directory = false;
    bool regular = false;
    bool pipe = false;  // a FIFO or socket: read once, and it may never end
    unsigned long long device = 0;
    unsigned long long inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;  // last modification, nanoseconds since the epoch
    unsigned mode = 0;             // permission bits
    int error = 0;                 // errno of a failed look, other than "does not exist"
};

// What is at `path`, following links; with `standard_input`, what standard input is.
FileInfo look(const std::string& path, bool standard_input = false);

bool same_file(const FileInfo& a, const FileInfo& b);

// `dir` and `name` joined by one separator.
std::string joined(const std::string& dir, const std::string& name);

// Creates the directories of `path` below `top` that are missing (`top`
// exists). With `source_top`, each gets no more access than the directory
// at its place below `source_top` (its owner may still write into it, as it
// must). Returns 0 or the errno of the first that cannot be made.
int make_parents(const std::string& top, const std::string& path, const std::string& source_top = {});

// A set of 64-bit identities, 8 bytes a slot in one table kept at most 3/4
// full: between 10.7 and 16 bytes per identity, 24 for a moment while the
// table doubles. An identity is a hash, so two files may share one; the
// chance is about n * n / 2^65 (3e-8 for a million files), and its only
// effect is a refusal that was not needed.
class IdentitySet {
public:
    enum Kind : std::uint64_t { input = 0, output = 1 };
    // The identity of a file as `kind`: its device and inode, or where there
    // are none (Windows) its path.
    static std::uint64_t of(const std::string& path, const FileInfo& info, Kind kind);
    void insert(std::uint64_t id);
    bool contains(std::uint64_t id) const;

private:
    void grow();
    std::vector<std::uint64_t> slots_;  // 0: empty; a power of two long
    std::size_t count_ = 0;
};

}  // namespace tool

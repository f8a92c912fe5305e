#include "files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "console.hpp"

#if defined(_WIN32)
#include <sys/stat.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tool {

FileInfo look(const std::string& path, bool standard_input) {
    FileInfo info;
#if defined(_WIN32)
    (void)standard_input;  // '-' is refused on Windows before anything is looked at
    struct _stat64 st {};
    const bool found = _wstat64(wide(path).c_str(), &st) == 0;
    const bool is_dir = (st.st_mode & _S_IFMT) == _S_IFDIR;
    const bool is_reg = (st.st_mode & _S_IFMT) == _S_IFREG;
    const bool is_pipe = false;
    const std::int64_t modified_ns = static_cast<std::int64_t>(st.st_mtime) * 1000000000;
    const int error = errno;
#else
    struct stat st {};
    const bool found = standard_input ? fstat(STDIN_FILENO, &st) == 0 : stat(path.c_str(), &st) == 0;
    const bool is_dir = S_ISDIR(st.st_mode);
    const bool is_reg = S_ISREG(st.st_mode);
    const bool is_pipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    const std::int64_t modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    const int error = errno;
#endif
    if (!found) {
        if (error != ENOENT) info.error = error;
        return info;
    }
    info.exists = true;
    info.directory = is_dir;
    info.regular = is_reg;
    info.pipe = is_pipe;
    info.device = st.st_dev;
    info.inode = st.st_ino;
    info.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    info.modified_ns = modified_ns;
    info.mode = static_cast<unsigned>(st.st_mode) & 07777;
    return info;
}

bool same_file(const FileInfo& a, const FileInfo& b) {
#if defined(_WIN32)
    (void)a;
    (void)b;
    return false;  // no inode numbers: the path comparison stands alone
#else
    return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
#endif
}

std::string joined(const std::string& dir, const std::string& name) {
    const bool ends_with_separator = !dir.empty() && std::strchr(kSeparators, dir.back()) != nullptr;
    return dir + (ends_with_separator ? "" : std::string(1, kSeparator)) + name;
}

int make_parents(const std::string& top, const std::string& path, const std::string& source_top) {
    for (std::size_t at = path.find_first_of(kSeparators, top.size() + 1); at != std::string::npos;
         at = path.find_first_of(kSeparators, at + 1)) {
        const std::string dir = path.substr(0, at);
#if defined(_WIN32)
        (void)source_top;  // Windows access is the inherited ACL's
        const bool made = CreateDirectoryW(wide(dir).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
        if (!made) return EACCES;
#else
        mode_t mode = 0777;
        struct stat source {};
        if (!source_top.empty()) {
            // The same place in the source: what follows `top` in `dir`.
            const bool ends = !top.empty() && std::strchr(kSeparators, top.back()) != nullptr;
            const std::string below = dir.substr(std::min(dir.size(), top.size() + (ends ? 0 : 1)));
            mode = stat(joined(source_top, below).c_str(), &source) == 0 ? (source.st_mode & 0777) | S_IRWXU : 0700;
        }
        if (mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) return errno;
#endif
    }
    return 0;
}

namespace {
// splitmix64's finaliser: every input bit moves about half the output bits.
std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}
}  // namespace

std::uint64_t IdentitySet::of(const std::string& path, const FileInfo& info, Kind kind) {
#if defined(_WIN32)
    (void)info;
    std::uint64_t h = 0xCBF29CE484222325ULL;  // FNV-1a over the path's bytes
    for (const char c : path) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL;
    h = mix(h);
#else
    (void)path;
    std::uint64_t h = mix(mix(info.device) ^ info.inode);
#endif
    // The lowest bit tells the kind; 0 marks an empty slot.
    h = (h & ~std::uint64_t{1}) | kind;
    return h == 0 ? 2 : h;
}

void IdentitySet::grow() {
    std::vector<std::uint64_t> old(slots_.empty() ? 1024 : slots_.size() * 2, 0);
    old.swap(slots_);
    count_ = 0;
    for (const std::uint64_t id : old)
        if (id != 0) insert(id);
}

void IdentitySet::insert(std::uint64_t id) {
    if ((count_ + 1) * 4 > slots_.size() * 3) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mix(id) & mask;; i = (i + 1) & mask) {
        if (slots_[i] == id) return;
        if (slots_[i] == 0) {
            slots_[i] = id;
            ++count_;
            return;
        }
    }
}

bool IdentitySet::contains(std::uint64_t id) const {
    if (slots_.empty()) return false;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mix(id) & mask;; i = (i + 1) & mask) {
        if (slots_[i] == id) return true;
        if (slots_[i] == 0) return false;
    }
}

}  // namespace tool

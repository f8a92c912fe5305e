#include "names.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "console.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tool {

namespace {
constexpr std::size_t kListBlock = 64 * 1024;
#if defined(PATH_MAX)
constexpr std::size_t kLongestName = PATH_MAX;
#else
constexpr std::size_t kLongestName = 32767;  // Windows' long paths, in UTF-16 units
#endif

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}
}  // namespace

// The open directories of one tree, the deepest last: one handle and one
// path per level, however many files the tree holds. Links to directories
// are not followed, so a tree cannot lead back into itself.
struct Names::Tree {
#if defined(_WIN32)
    struct Level {
        HANDLE find;
        WIN32_FIND_DATAW entry;
        bool pending;  // `entry` is the first, not yet handed out
        std::string path, under;
    };
    std::wstring output_dir;  // its full path, to be left out
#else
    struct Level {
        DIR* dir;
        std::string path, under;
        unsigned long long device, inode;
    };
#endif
    std::vector<Level> levels;

    ~Tree() {
        for (Level& level : levels) close(level);
    }

#if defined(_WIN32)
    static void close(Level& level) { FindClose(level.find); }
    static std::wstring full(const std::string& path) {
        wchar_t buffer[MAX_PATH * 4];
        const DWORD n = GetFullPathNameW(wide(path).c_str(), MAX_PATH * 4, buffer, nullptr);
        return n > 0 && n < MAX_PATH * 4 ? std::wstring(buffer, n) : wide(path);
    }
    // Opens a directory as a new level; an error text when it cannot be read.
    std::string enter(const std::string& path, const std::string& under, const FileInfo&) {
        Level level{INVALID_HANDLE_VALUE, {}, true, path, under};
        level.find = FindFirstFileW(wide(joined(path, "*")).c_str(), &level.entry);
        if (level.find == INVALID_HANDLE_VALUE) return "cannot read the directory";
        levels.push_back(level);
        return {};
    }
#else
    static void close(Level& level) { closedir(level.dir); }
    std::string enter(const std::string& path, const std::string& under, const FileInfo& info) {
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) return std::string("cannot read the directory: ") + std::strerror(errno);
        levels.push_back({dir, path, under, info.device, info.inode});
        return {};
    }
#endif
};

Names::Names(const Options& options, const FileInfo& output_dir) : options_(options), output_dir_(output_dir) {}

Names::~Names() {
    stop_counting_ = true;
    if (counter_.joinable()) counter_.join();
    if (list_fd_ >= 0 && *options_.files_from != kStdio) {
#if defined(_WIN32)
        _close(list_fd_);
#else
        ::close(list_fd_);
#endif
    }
}

bool Names::open(std::string& error) {
    if (!options_.files_from) return true;
    const std::string& list = *options_.files_from;
#if defined(_WIN32)
    if (list == kStdio) _setmode(0, _O_BINARY);  // names as they are: no CR LF or Ctrl-Z handling
    list_fd_ = list == kStdio ? 0 : _wopen(wide(list).c_str(), _O_RDONLY | _O_BINARY);
#else
    list_fd_ = list == kStdio ? STDIN_FILENO : ::open(list.c_str(), O_RDONLY | O_CLOEXEC);
#endif
    if (list_fd_ < 0) {
        error = "cannot read the list '" + shown(list) + "': " + std::strerror(errno);
        return false;
    }
    buffer_.reset(new char[kListBlock]);
    if (list != kStdio && !options_.recursive && look(list).regular) {
        try {
            counter_ = std::thread([this, list] {
                const char end = options_.null_separated ? '\0' : '\n';
#if defined(_WIN32)
                std::FILE* f = _wfopen(wide(list).c_str(), L"rb");
#else
                std::FILE* f = std::fopen(list.c_str(), "rb");
#endif
                if (f == nullptr) return;
                std::unique_ptr<char[]> block(new char[kListBlock]);
                std::int64_t names = 0;
                bool in_name = false;  // empty names are not counted, as they are not converted
                for (std::size_t n; !stop_counting_ && (n = std::fread(block.get(), 1, kListBlock, f)) > 0;) {
                    for (std::size_t i = 0; i < n; ++i) {
                        if (block[i] != end) {
                            in_name = true;
                        } else if (in_name) {
                            ++names;
                            in_name = false;
                        }
                    }
                }
                const bool whole = std::feof(f) && !std::ferror(f);
                std::fclose(f);
                if (whole) counted_ = names + (in_name ? 1 : 0);
            });
        } catch (const std::system_error&) {
            // Under a limit on processes: nothing is counted ahead, and the
            // total is known at the list's end.
        }
    }
    return true;
}

std::optional<std::uint64_t> Names::total() const {
    if (options_.recursive || (options_.files_from && counted_ < 0)) return std::nullopt;
    return options_.paths.size() + static_cast<std::uint64_t>(std::max<std::int64_t>(counted_, 0));
}

// The next name of the list, or with `error` set the refusal of one. Reads
// what has arrived, never waiting for a full block, so that converting
// starts with the first name a pipe delivers. A name is held only up to
// the longest path: a list that is no list of names (/dev/zero, find's
// -print0 without -0) ends with a refusal, in bounded memory.
bool Names::next_from_list(std::string& name, std::string& error) {
    if (list_fd_ < 0 || list_ended_) return false;
    const bool nul = options_.null_separated;
    const char end = nul ? '\0' : '\n';
    const auto where = [&] { return std::string(nul ? "name " : "line ") + std::to_string(names_read_ + 1) + ": "; };
    name.clear();
    bool too_long = false;
    std::size_t empty_run = 0;
    for (;;) {
        if (used_ == buffered_) {
#if defined(_WIN32)
            const int n = _read(list_fd_, buffer_.get(), static_cast<unsigned>(kListBlock));
#else
            const ssize_t n = read(list_fd_, buffer_.get(), kListBlock);
            if (n < 0 && errno == EINTR) continue;
#endif
            if (n < 0) error = std::string("read error: ") + std::strerror(errno);
            if (n <= 0) {
                list_ended_ = true;
                if (too_long && error.empty())
                    error = where() + "the name is longer than PATH_MAX (" + std::to_string(kLongestName) + " bytes)";
                return (!name.empty() || too_long) && error.empty();
            }
            buffered_ = static_cast<std::size_t>(n);
            used_ = 0;
        }
        const char* from = buffer_.get() + used_;
        const char* stop = static_cast<const char*>(std::memchr(from, end, buffered_ - used_));
        const char* upto = stop != nullptr ? stop : buffer_.get() + buffered_;
        if (!nul && std::memchr(from, '\0', static_cast<std::size_t>(upto - from)) != nullptr) {
            list_ended_ = true;  // the rest is no list of lines either
            error = where() + "the name holds a NUL byte (give -0 for a list of NUL-separated names)";
            return true;
        }
        const std::size_t size = static_cast<std::size_t>(upto - from);
        too_long = too_long || name.size() + size > kLongestName;
        if (too_long)
            name.clear();  // the rest of it is passed over, not kept
        else
            name.append(from, size);
        used_ = stop != nullptr ? static_cast<std::size_t>(stop - buffer_.get()) + 1 : buffered_;
        if (stop == nullptr) continue;
        if (too_long) {
            error = where() + "the name is longer than PATH_MAX (" + std::to_string(kLongestName) + " bytes)";
            ++names_read_;
            return true;
        }
        if (nul && name.empty() && ++empty_run > kLongestName) {
            list_ended_ = true;
            error = where() + "more than " + std::to_string(kLongestName) +
                    " empty names in a row: this is not a list of names";
        }
        ++names_read_;
        if (!name.empty() || !error.empty()) return true;  // empty names are passed over
    }
}

bool Names::is_picture_name(const std::string& name) const {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    const std::string ext = lower(name.substr(dot + 1));
    const bool bmp = ext == "bmp" || ext == "dib", pbm = ext == "pbm";
    const bool pnm = ext == "pgm" || ext == "ppm" || ext == "pam" || ext == "pnm";
    if (options_.direction == QPBM_BMP_TO_PBM) return bmp;
    if (options_.direction == QPBM_PBM_TO_BMP) return pbm;
    // And the codecs' formats, where this build reads them.
    bool codec = false;
#ifdef QUORVELPBM_HAVE_PNG
    codec = codec || ext == "png";
#endif
#ifdef QUORVELPBM_HAVE_JPEG
    codec = codec || ext == "jpg" || ext == "jpeg";
#endif
#ifdef QUORVELPBM_HAVE_TIFF
    codec = codec || ext == "tif" || ext == "tiff";
#endif
    return bmp || pbm || pnm || codec;
}

bool Names::next(Name& name) {
    name = Name{};
    for (;;) {
        while (tree_ && !tree_->levels.empty()) {
            Tree::Level& top = tree_->levels.back();
#if defined(_WIN32)
            if (!top.pending && !FindNextFileW(top.find, &top.entry)) {
                Tree::close(top);
                tree_->levels.pop_back();
                continue;
            }
            top.pending = false;
            const std::string entry = utf8(top.entry.cFileName);
            if (entry == "." || entry == "..") continue;
            const std::string path = joined(top.path, entry), under = top.under + entry;
            const DWORD attributes = top.entry.dwFileAttributes;
            const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (link || _wcsicmp(Tree::full(path).c_str(), tree_->output_dir.c_str()) == 0) continue;
                const std::string refusal = tree_->enter(path, under + kSeparator, FileInfo{});
                if (refusal.empty()) continue;
                name.input = path;
                name.refusal = refusal;
                name.listed = true;
                return true;
            }
            const bool regular = true;
#else
            errno = 0;
            const dirent* e = readdir(top.dir);
            if (e == nullptr) {
                const int error = errno;
                const std::string path = top.path;
                Tree::close(top);
                tree_->levels.pop_back();
                if (error == 0) continue;
                name.input = path;
                name.refusal = std::string("cannot read the directory: ") + std::strerror(error);
                name.listed = true;
                return true;
            }
            const std::string entry = e->d_name;
            if (entry == "." || entry == "..") continue;
            const std::string path = joined(top.path, entry), under = top.under + entry;
            // The entry's type saves a look at a plain file; a directory's
            // identity and a link's target need one.
            const bool plain_file = e->d_type == DT_REG;
            struct stat st {};
            if (!plain_file && lstat(path.c_str(), &st) != 0) {
                if (errno == ENOENT) continue;  // gone since it was listed
                // Past the longest path, or below a directory without search
                // permission: what cannot be looked at is refused, not passed over.
                name.input = path;
                name.refusal = std::string("cannot look at it: ") + std::strerror(errno);
                name.listed = true;
                return true;
            }
            bool regular = plain_file || S_ISREG(st.st_mode);
            if (!plain_file && S_ISLNK(st.st_mode)) {
                // A link to a directory is never followed; one to a file only
                // with --follow, as cp -rL does: a link may lead out of the
                // tree, to what its owner could not read. With --follow, a
                // link that leads nowhere is taken by its name and refused
                // when opened.
                struct stat target {};
                const bool reached = stat(path.c_str(), &target) == 0;
                if (reached && S_ISDIR(target.st_mode)) continue;
                regular = options_.follow && (!reached || S_ISREG(target.st_mode));
            } else if (!plain_file && S_ISDIR(st.st_mode)) {
                FileInfo dir;
                dir.exists = true;
                dir.device = st.st_dev;
                dir.inode = st.st_ino;
                if (same_file(dir, output_dir_)) continue;  // our own outputs are not inputs
                bool seen = false;                          // a directory mounted inside itself
                for (const Tree::Level& level : tree_->levels)
                    seen = seen || (level.device == dir.device && level.inode == dir.inode);
                if (seen) continue;
                const std::string refusal = tree_->enter(path, under + kSeparator, dir);
                if (refusal.empty()) continue;
                name.input = path;
                name.refusal = refusal;
                name.listed = true;
                return true;
            }
#endif
            if (regular && is_picture_name(entry)) {
                name.input = path;
                name.under = under;
                name.listed = true;
                return true;
            }
            ++skipped_;  // not a picture by its name, or not a file (a pipe would never end)
        }
        tree_.reset();

        std::string error;
        bool listed = false;
        if (next_path_ < options_.paths.size()) {
            name.input = options_.paths[next_path_++];
        } else if (next_from_list(name.input, error) || !error.empty()) {
            listed = true;
            if (!error.empty()) {
                name.input = *options_.files_from == kStdio ? "standard input" : *options_.files_from;
                name.refusal = error;
                return true;
            }
        } else {
            return false;
        }
        name.listed = listed;
        if (name.input.find('\0') != std::string::npos) {
            name.refusal = "the name holds a NUL byte (give -0 for a list of NUL-separated names)";
            return true;
        }
        if (!options_.recursive || name.input == kStdio) return true;
        const FileInfo info = look(name.input);
        if (!info.directory) return true;
        if (same_file(info, output_dir_)) {
            name.refusal = "the output directory cannot be converted into itself";
            return true;
        }
        tree_ = std::make_unique<Tree>();
#if defined(_WIN32)
        tree_->output_dir = Tree::full(*options_.output_dir);
        if (_wcsicmp(Tree::full(name.input).c_str(), tree_->output_dir.c_str()) == 0) {
            name.refusal = "the output directory cannot be converted into itself";
            return true;
        }
#endif
        name.refusal = tree_->enter(name.input, "", info);
        if (!name.refusal.empty()) return true;
        name = Name{};
    }
}

}  // namespace tool

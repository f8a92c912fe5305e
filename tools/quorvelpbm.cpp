// quorvelpbm: the command-line face of the library, a client of the qpbm C
// API like any other program. It plans a whole batch before writing
// anything, converts on several threads, and reports in input order.
#include <qpbm.h>

#include "conversion_options.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

namespace {

constexpr const char* kProgram = "quorvelpbm";
constexpr int kExitConverted = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr const char* kStdio = "-";

constexpr const char* kUsage =
    "Usage: quorvelpbm [bmp2pbm | pbm2bmp] [options] INPUT OUTPUT\n"
    "       quorvelpbm [bmp2pbm | pbm2bmp] [options] --output-dir DIR INPUT...\n"
    "\n"
    "Convert pictures between BMP and PBM.\n"
    "\n"
    "  bmp2pbm   BMP to PBM (plain \"P1\", or raw \"P4\" with --raw). Reads 1-, 2-,\n"
    "            4- and 8-bit palettes (uncompressed or RLE), 16- and 32-bit bit\n"
    "            fields and 24-bit pictures of any size. By default a pixel is\n"
    "            white when its blue, green and red each reach 100 of 255, else\n"
    "            black; --method chooses another way.\n"
    "  pbm2bmp   plain (\"P1\") or raw (\"P4\") PBM of any size to a 24-bit (or,\n"
    "            with --bpp 1, 1-bit) BMP of pure black and pure white pixels.\n"
    "  With neither, the direction is taken from each input's first bytes\n"
    "  (\"BM\", or \"P1\" or \"P4\").\n"
    "\n"
    "  INPUT or OUTPUT '-' is standard input or standard output. A BMP output to\n"
    "  a pipe holds at most 1000 x 1000 pixels (24- or 1-bit): write larger ones\n"
    "  to a file.\n"
    "\n"
    "Options:\n"
    "  -o, --output-dir DIR  convert every INPUT into DIR, as NAME.pbm or NAME.bmp\n"
    "  -j, --jobs N          convert up to N files at once (default: the number\n"
    "                        of processors)\n"
    "  -f, --force           write a BMP to standard output even when it is a\n"
    "                        terminal\n"
    "  -v, --verbose         report each conversion on standard error\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "BMP to PBM:\n"
    "  --raw                 write a raw PBM (\"P4\", a bit per pixel) instead of\n"
    "                        a plain one (\"P1\", two characters per pixel)\n"
    "  --method M            how colours become black or white:\n"
    "                          channels  white when blue, green and red each\n"
    "                                    reach the threshold (default 100):\n"
    "                                    line art, clean scans (the default)\n"
    "                          luma      white when the brightness reaches the\n"
    "                                    threshold (default 128): documents,\n"
    "                                    coloured text on white\n"
    "                          otsu      a brightness threshold chosen from the\n"
    "                                    picture: scans of unknown exposure\n"
    "                          floyd-steinberg  error diffusion: photos\n"
    "                          atkinson  error diffusion with more contrast:\n"
    "                                    photos, line art with shading\n"
    "                          bayer     ordered dither: photos, gradients\n"
    "                          sauvola   a threshold from each pixel's\n"
    "                                    surroundings: unevenly lit pages\n"
    "  --threshold N         channels: 0 to 255; luma: 0 to 256\n"
    "  --window N            sauvola's window, odd, 3 to 255 (default 15)\n"
    "  --invert              swap black and white\n"
    "PBM to BMP:\n"
    "  --bpp 1|24            bits per pixel of the BMP (default 24)\n"
    "Both:\n"
    "  --max-pixels N        refuse pictures of more than N pixels before the\n"
    "                        output is touched (default 0: no limit)\n"
    "\n"
    "Nothing is printed on success unless asked. An output file is replaced only\n"
    "by a complete conversion: a refused input or a failed write leaves it as it\n"
    "was. Exit status: 0 when every input converted, 1 when any was refused, 2\n"
    "for a usage error.\n"
    "\n"
    "Examples:\n"
    "  quorvelpbm photo.bmp photo.pbm\n"
    "  quorvelpbm pbm2bmp photo.pbm photo-bw.bmp\n"    "  quorvelpbm bmp2pbm --method floyd-steinberg --raw photo.bmp photo.pbm\n"
    "  quorvelpbm bmp2pbm --method sauvola --window 31 scan.bmp scan.pbm\n"
    "  quorvelpbm bmp2pbm --output-dir out scans/*.bmp\n"
    "  cat photo.bmp | quorvelpbm - - > photo.pbm\n";

// ---- Platform -------------------------------------------------------------

#if defined(_WIN32)
constexpr char kSeparators[] = "/\\";
constexpr char kSeparator = '\\';

std::wstring wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), n);
    w.resize(w.size() - 1);
    return w;
}

std::string utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, s.data(), n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}
#else
constexpr char kSeparators[] = "/";
constexpr char kSeparator = '/';
#endif

struct FileInfo {
    bool exists = false;
    bool directory = false;
    bool regular = false;
    bool pipe = false;  // a FIFO or socket: read once, and it may never end
    unsigned long long device = 0;
    unsigned long long inode = 0;
    int error = 0;  // errno of a failed look, other than "does not exist"
};

// What is at `path`; with `standard_input`, what standard input is.
FileInfo look(const std::string& path, bool standard_input = false) {
    FileInfo info;
#if defined(_WIN32)
    (void)standard_input;  // '-' is refused on Windows before anything is looked at
    struct _stat64 st {};
    const bool found = _wstat64(wide(path).c_str(), &st) == 0;
    const bool is_dir = (st.st_mode & _S_IFMT) == _S_IFDIR;
    const bool is_reg = (st.st_mode & _S_IFMT) == _S_IFREG;
    const bool is_pipe = false;
#else
    struct stat st {};
    const bool found = standard_input ? fstat(STDIN_FILENO, &st) == 0 : stat(path.c_str(), &st) == 0;
    const bool is_dir = S_ISDIR(st.st_mode);
    const bool is_reg = S_ISREG(st.st_mode);
    const bool is_pipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
#endif
    if (!found) {
        if (errno != ENOENT) info.error = errno;
        return info;
    }
    info.exists = true;
    info.directory = is_dir;
    info.regular = is_reg;
    info.pipe = is_pipe;
    info.device = st.st_dev;
    info.inode = st.st_ino;
    return info;
}

bool is_terminal(std::FILE* stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

// A message on standard error, whole: UTF-8 bytes, or wide text on a
// Windows console, which would show UTF-8 bytes as the wrong characters.
void say(const std::string& text) {
#if defined(_WIN32)
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode)) {
        const std::wstring w = wide(text);
        DWORD written = 0;
        WriteConsoleW(console, w.c_str(), static_cast<DWORD>(w.size()), &written, nullptr);
        return;
    }
#endif
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// A file name as it may safely be shown: control characters (including the
// escape that starts a terminal sequence, and the C1 controls) as \xNN.
std::string shown(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const bool c1 = c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(name[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1) {
            const unsigned char value = c1 ? static_cast<unsigned char>(name[++i]) : c;
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", value);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Whether a file's first two bytes begin an input of the direction: "BM" for
// a BMP, "P1" or "P4" for a PBM, either when it is to be detected.
bool may_begin(qpbm_direction direction, const unsigned char* magic) {
    const bool bmp = magic[0] == 'B' && magic[1] == 'M';
    const bool pbm = magic[0] == 'P' && (magic[1] == '1' || magic[1] == '4');
    if (direction == QPBM_BMP_TO_PBM) return bmp;
    if (direction == QPBM_PBM_TO_BMP) return pbm;
    return bmp || pbm;
}

#if !defined(_WIN32)
// Copies a pipe into an unlinked temporary file, so that a BMP on a pipe can
// be read bottom row first, and the bytes that tell the direction are kept.
// The file is gone when the tool exits. Returns the path that opens it, or
// an error text. The two bytes of the signature come one at a time: when
// they cannot begin a picture, copying stops there, since the file will be
// refused for them whatever follows, and a pipe may never end.
std::optional<std::string> spool(int from, qpbm_direction direction, std::string& error) {
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = "/tmp";
    int fd = -1;
#if defined(O_TMPFILE)
    fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {
        std::string name = std::string(dir) + "/.quorvelpbm-stdin-XXXXXX";
        fd = mkstemp(name.data());
        if (fd >= 0) unlink(name.c_str());
    }
    if (fd < 0) {
        error = std::string("cannot make a temporary file in ") + dir + ": " + std::strerror(errno);
        return std::nullopt;
    }
    static unsigned char block[64 * 1024];
    for (std::size_t copied = 0;;) {
        if (copied == 2 && !may_begin(direction, block)) break;
        const bool signature = copied < 2;  // its bytes stay at the start of the block
        unsigned char* into = signature ? block + copied : block;
        const ssize_t n = read(from, into, signature ? 1 : sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::string("read error: ") + std::strerror(errno);
            close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        copied += static_cast<std::size_t>(n);
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(fd, into + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                error = std::string("cannot keep the piped input in ") + dir + ": " + std::strerror(errno);
                close(fd);
                return std::nullopt;
            }
            done += w;
        }
    }
    return "/dev/fd/" + std::to_string(fd);
}
#endif

// ---- Options --------------------------------------------------------------

struct Options {
    std::optional<qpbm_direction> direction;
    std::optional<std::string> output_dir;
    unsigned jobs = 0;  // 0: one per processor
    bool force = false;
    bool verbose = false;
    tool::ConversionOptions conversion;
    std::vector<std::string> paths;
};

int usage_error(const std::string& message) {
    say(std::string(kProgram) + ": " + message + "\nTry '" + kProgram + " --help' for more information.\n");
    return kExitUsage;
}

// Standard output that cannot be written is an error, even for --help.
int finish_stdout() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        say(std::string(kProgram) + ": write error on standard output: " + std::strerror(errno) + "\n");
        return kExitUsage;
    }
    return kExitConverted;
}

std::optional<unsigned> parse_jobs(const std::string& text) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned n = static_cast<unsigned>(std::stoul(text));
    if (n == 0) return std::nullopt;
    return n;
}

// Parses the command line; returns an exit status when there is nothing to convert.
std::optional<int> parse(const std::vector<std::string>& args, Options& options) {
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string why;  // why a conversion option is refused
        // An option's value, given as "--opt=VALUE" or as the next argument.
        auto value = [&](const char* longname, std::string& out) {
            const std::string prefix = std::string(longname) + "=";
            if (arg.rfind(prefix, 0) == 0) {
                out = arg.substr(prefix.size());
                return true;
            }
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        if (options_ended || arg == kStdio || arg.empty() || arg[0] != '-') {
            if (!options.direction && options.paths.empty() && !options_ended && (arg == "bmp2pbm" || arg == "pbm2bmp"))
                options.direction = arg == "bmp2pbm" ? QPBM_BMP_TO_PBM : QPBM_PBM_TO_BMP;
            else
                options.paths.push_back(arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return finish_stdout();
        } else if (arg == "-V" || arg == "--version") {
            std::printf("%s %s\n", kProgram, QUORVELPBM_VERSION);
            return finish_stdout();
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "-f" || arg == "--force") {
            options.force = true;
        } else if (arg == "-o" || arg == "--output-dir" || arg.rfind("--output-dir=", 0) == 0) {
            std::string dir;
            if (!value("--output-dir", dir)) return usage_error("option '" + arg + "' needs a directory");
            options.output_dir = dir;
        } else if (arg == "-j" || arg == "--jobs" || arg.rfind("--jobs=", 0) == 0) {
            std::string n;
            if (!value("--jobs", n)) return usage_error("option '" + arg + "' needs a number");
            const std::optional<unsigned> jobs = parse_jobs(n);
            if (!jobs) return usage_error("'" + shown(n) + "' is not a number of jobs (1 to 9999)");
            options.jobs = *jobs;
        } else if (const tool::Taken taken = tool::take_conversion_option(arg, value, options.conversion, why);
                   taken != tool::Taken::no) {
            if (taken == tool::Taken::error) return usage_error(shown(why));
        } else {
            return usage_error("unknown option '" + shown(arg) + "'");
        }
    }
    if (const std::string why = tool::check_conversion_options(options.conversion, options.direction); !why.empty())
        return usage_error(why);

    if (options.output_dir) {
        if (options.paths.empty()) return usage_error("no input files");
        const FileInfo dir = look(*options.output_dir);
        const std::string name = "output directory '" + shown(*options.output_dir) + "'";
        if (dir.error != 0) return usage_error("cannot use " + name + ": " + std::strerror(dir.error));
        if (!dir.exists) return usage_error(name + " does not exist");
        if (!dir.directory) return usage_error(name + " is not a directory");
    } else if (options.paths.size() != 2) {
        return usage_error(options.paths.size() < 2 ? "expected an INPUT and an OUTPUT"
                                                    : "too many files (use --output-dir DIR for several inputs)");
    }
    if (options.output_dir && std::count(options.paths.begin(), options.paths.end(), kStdio) > 1)
        return usage_error("standard input can be read only once");
#if defined(_WIN32)
    if (std::find(options.paths.begin(), options.paths.end(), kStdio) != options.paths.end())
        return usage_error("'-' (standard input or output) is not supported on Windows");
#endif
    return std::nullopt;
}

// ---- Planning -------------------------------------------------------------

// One conversion of the batch, planned before any is run.
struct Job {
    std::string input;      // as given, for messages
    std::string open_path;  // what the library opens (a spooled copy for standard input)
    std::string output;     // as shown
    std::string output_path;
    qpbm_direction direction = QPBM_DETECT;
    std::string refusal;  // set when the job is refused before it runs
};

// The direction a file's first bytes call for, or a refusal.
std::optional<qpbm_direction> sniff(const std::string& path, std::string& refusal) {
#if defined(_WIN32)
    std::FILE* f = _wfopen(wide(path).c_str(), L"rb");
#else
    std::FILE* f = std::fopen(path.c_str(), "rb");
#endif
    if (f == nullptr) {
        refusal = std::string("cannot open the input: ") + std::strerror(errno);
        return std::nullopt;
    }
    unsigned char magic[2] = {};
    const std::size_t n = std::fread(magic, 1, sizeof magic, f);
    std::fclose(f);
    if (n == 2 && may_begin(QPBM_BMP_TO_PBM, magic)) return QPBM_BMP_TO_PBM;
    if (n == 2 && may_begin(QPBM_PBM_TO_BMP, magic)) return QPBM_PBM_TO_BMP;
    refusal = "neither a BMP (\"BM\") nor a PBM (\"P1\" or \"P4\") file";
    return std::nullopt;
}

std::string output_for(const std::string& input, qpbm_direction direction, const std::string& dir) {
    const std::size_t slash = input.find_last_of(kSeparators);
    std::string name = slash == std::string::npos ? input : input.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    name += direction == QPBM_BMP_TO_PBM ? ".pbm" : ".bmp";
    const bool ends_with_separator = !dir.empty() && std::strchr(kSeparators, dir.back()) != nullptr;
    return dir + (ends_with_separator ? "" : std::string(1, kSeparator)) + name;
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

std::vector<Job> plan(const Options& options) {
    std::vector<Job> jobs;
    std::vector<FileInfo> inputs;
    const std::size_t input_count = options.output_dir ? options.paths.size() : 1;
    for (std::size_t i = 0; i < input_count; ++i) {
        const std::string& input = options.paths[i];
        Job job;
        job.input = input;
        job.open_path = input;
        job.direction = options.direction.value_or(QPBM_DETECT);
        FileInfo info = look(input, input == kStdio);
#if !defined(_WIN32)
        if (input == kStdio) {
            job.input = "standard input";
            job.open_path = "/dev/stdin";
        }
        // Pipes are read once, into a file: a BMP is read bottom row first,
        // and the first bytes that tell the direction must not be lost. A
        // device (a terminal, /dev/zero) goes to the library as it is, which
        // reads no more of it than the format needs.
        if (info.pipe) {
            std::string error;
            const int from = input == kStdio ? STDIN_FILENO : open(input.c_str(), O_RDONLY | O_CLOEXEC);
            if (from < 0) {
                job.refusal = std::string("cannot open the input: ") + std::strerror(errno);
            } else if (const std::optional<std::string> spooled = spool(from, job.direction, error)) {
                job.open_path = *spooled;
                info.regular = true;
            } else {
                job.refusal = error;
            }
            if (from > STDIN_FILENO) close(from);
        }
#endif
        if (job.refusal.empty() && job.direction == QPBM_DETECT && info.regular) {
            if (const std::optional<qpbm_direction> d = sniff(job.open_path, job.refusal)) job.direction = *d;
        }
        if (job.refusal.empty() && options.output_dir && job.direction == QPBM_DETECT)
            job.refusal = info.exists ? "cannot tell the direction of an input that is not a file: give bmp2pbm or "
                                        "pbm2bmp"
                                      : std::string("cannot open the input: ") + std::strerror(ENOENT);
        inputs.push_back(info);
        jobs.push_back(job);
    }

    std::set<std::string> outputs;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        Job& job = jobs[i];
        if (!options.output_dir) {
            job.output = options.paths[1];
            job.output_path = job.output == kStdio ? "/dev/stdout" : job.output;
            if (job.output == kStdio) job.output = "standard output";
            if (job.refusal.empty() && options.paths[1] == kStdio && job.direction == QPBM_PBM_TO_BMP &&
                is_terminal(stdout) && !options.force)
                job.refusal = "standard output is a terminal and a BMP is binary: redirect it, or use --force";
            break;
        }
        if (!job.refusal.empty()) continue;
        const std::string& given = options.paths[i];
        job.output = job.output_path =
            output_for(given == kStdio ? "stdin" : given, job.direction, *options.output_dir);
        if (!outputs.insert(job.output_path).second) {
            job.refusal = "its output " + shown(job.output) + " was already written for an earlier input";
            continue;
        }
        // An output must never overwrite an input of the batch, earlier or later.
        const FileInfo out = look(job.output_path);
        for (std::size_t k = 0; k < jobs.size(); ++k) {
            if (same_file(out, inputs[k]) || job.output_path == options.paths[k]) {
                job.refusal =
                    "its output " + shown(job.output) + " is an input of this batch (" + shown(options.paths[k]) + ")";
                break;
            }
        }
    }
    return jobs;
}

// ---- Running --------------------------------------------------------------

struct Outcome {
    bool done = false;
    qpbm_status status = QPBM_OK;
    qpbm_result result{};
};

bool output_at_fault(qpbm_status status) {
    return status == QPBM_EOPEN_OUTPUT || status == QPBM_EWRITE || status == QPBM_ECLEANUP ||
           status == QPBM_ENO_READER || status == QPBM_ESAME_FILE;
}

// The line that reports one job, or nothing.
std::string report(const Job& job, const Outcome& outcome, bool verbose) {
    const std::string prefix = std::string(kProgram) + ": " + shown(job.input);
    if (!job.refusal.empty()) return prefix + ": " + job.refusal + "\n";
    const qpbm_result& r = outcome.result;
    if (outcome.status != QPBM_OK) {
        const std::string where = output_at_fault(outcome.status) ? " -> " + shown(job.output) : "";
        return prefix + where + ": " + r.message + "\n";
    }
    if (!verbose) return {};
    std::string facts = std::to_string(r.width) + " x " + std::to_string(r.height);
    if (r.format[0] != '\0') facts = facts + ", " + r.format;
    return prefix + " -> " + shown(job.output) + " (" + facts + ")\n";
}

class Progress {
public:
    explicit Progress(bool shown) : shown_(shown) {}
    void show(std::size_t i, std::size_t n, const std::string& name) {
        if (!shown_) return;
        clear();
        char counter[48];
        std::snprintf(counter, sizeof counter, "[%zu/%zu] ", i + 1, n);
        say(counter + shown(name));
        on_screen_ = true;
    }
    void clear() {
        if (on_screen_) say("\r\033[K");
        on_screen_ = false;
    }

private:
    bool shown_;
    bool on_screen_ = false;
};

int run(const std::vector<std::string>& args) {
    Options options;
    if (const std::optional<int> done = parse(args, options)) return *done;
    std::vector<Job> jobs = plan(options);

    const std::size_t n = jobs.size();
    std::vector<Outcome> outcomes(n);
    std::mutex lock;
    std::condition_variable finished;
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        // Each thread its own work block: conversions on different blocks
        // run side by side.
        std::unique_ptr<unsigned char[]> work(new unsigned char[qpbm_work_size()]);
        for (std::size_t i; (i = next.fetch_add(1)) < n;) {
            Outcome outcome;
            if (jobs[i].refusal.empty())
                outcome.status =
                    qpbm_convert_ex(jobs[i].open_path.c_str(), jobs[i].output_path.c_str(), jobs[i].direction,
                                    &options.conversion.api, work.get(), qpbm_work_size(), &outcome.result);
            outcome.done = true;
            const std::lock_guard<std::mutex> hold(lock);
            outcomes[i] = outcome;
            finished.notify_all();
        }
    };
    unsigned threads = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, n));
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);

    // Messages in input order, whatever order the conversions finish in.
    Progress progress(options.output_dir && n > 1 && is_terminal(stderr) && !options.verbose);
    std::size_t converted = 0;
    for (std::size_t i = 0; i < n; ++i) {
        progress.show(i, n, jobs[i].input);
        Outcome outcome;
        {
            std::unique_lock<std::mutex> hold(lock);
            finished.wait(hold, [&] { return outcomes[i].done; });
            outcome = outcomes[i];
        }
        const bool ok = jobs[i].refusal.empty() && outcome.status == QPBM_OK;
        converted += ok ? 1 : 0;
        const std::string line = report(jobs[i], outcome, options.verbose);
        if (!line.empty()) {
            progress.clear();
            say(line);
        }
    }
    for (std::thread& t : pool) t.join();
    progress.clear();
    if (options.output_dir)
        say(std::string(kProgram) + ": converted " + std::to_string(converted) + ", refused " +
            std::to_string(n - converted) + "\n");
    return converted == n ? kExitConverted : kExitRefused;
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(utf8(argv[i]));
    return run(args);
}
#else
int main(int argc, char** argv) {
    // A reader that goes away, or a file size limit, makes a write fail
    // instead of killing the tool, so that the output is cleaned up and the
    // failure reported.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif

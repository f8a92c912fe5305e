// quorvelpbm: the command-line face of the library. It calls the same
// file-level conversion as the exports and says why an input was refused.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "library/file_convert.hpp"

namespace {

using qpbm::Direction;
using qpbm::Status;

constexpr const char* kProgram = "quorvelpbm";
constexpr int kExitConverted = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: quorvelpbm [bmp2pbm | pbm2bmp] [options] INPUT OUTPUT\n"
    "       quorvelpbm [bmp2pbm | pbm2bmp] [options] --output-dir DIR INPUT...\n"
    "\n"
    "Convert pictures between 24-bit BMP and plain PBM (\"P1\").\n"
    "\n"
    "  bmp2pbm   24-bit uncompressed BMP to plain PBM. A pixel is white when its\n"
    "            blue, green and red are each at least 100, else black.\n"
    "  pbm2bmp   plain (\"P1\") or raw (\"P4\") PBM of any size to 24-bit BMP\n"
    "            with pure black and pure white pixels (up to 1000 x 1000 when\n"
    "            the output cannot seek, such as a pipe).\n"
    "  With neither, the direction is taken from each input's first bytes\n"
    "  (\"BM\" or \"P1\").\n"
    "\n"
    "Options:\n"
    "  -o, --output-dir DIR  convert every INPUT into DIR, as NAME.pbm or NAME.bmp\n"
    "  -v, --verbose         report each conversion on standard error\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "Nothing is printed on success unless asked. A refused input leaves its output\n"
    "untouched. Exit status: 0 when every input converted, 1 when any was refused,\n"
    "2 for a usage error.\n"
    "\n"
    "Examples:\n"
    "  quorvelpbm photo.bmp photo.pbm\n"
    "  quorvelpbm pbm2bmp photo.pbm photo-bw.bmp\n"
    "  quorvelpbm bmp2pbm --output-dir out scans/*.bmp\n";

struct Options {
    std::optional<Direction> direction;
    std::optional<std::string> output_dir;
    bool verbose = false;
    std::vector<std::string> paths;
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, message.c_str(), kProgram);
    return kExitUsage;
}

// Parses the command line; returns an exit status when there is nothing to convert.
std::optional<int> parse(int argc, char** argv, Options& options) {
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_ended || arg == "-" || arg.empty() || arg[0] != '-') {
            if (!options.direction && options.paths.empty() && (arg == "bmp2pbm" || arg == "pbm2bmp") && !options_ended)
                options.direction = arg == "bmp2pbm" ? Direction::bmp_to_pbm : Direction::pbm_to_bmp;
            else
                options.paths.push_back(arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return kExitConverted;
        } else if (arg == "-V" || arg == "--version") {
            std::printf("%s %s\n", kProgram, QUORVELPBM_VERSION);
            return kExitConverted;
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "-o" || arg == "--output-dir" || arg.rfind("--output-dir=", 0) == 0) {
            if (arg.find('=') != std::string::npos) {
                options.output_dir = arg.substr(arg.find('=') + 1);
            } else if (i + 1 < argc) {
                options.output_dir = argv[++i];
            } else {
                return usage_error("option '" + arg + "' needs a directory");
            }
        } else {
            return usage_error("unknown option '" + arg + "'");
        }
    }

    if (options.output_dir) {
        if (options.paths.empty()) return usage_error("no input files");
        if (!std::filesystem::is_directory(*options.output_dir))
            return usage_error("output directory '" + *options.output_dir + "' does not exist");
    } else if (options.paths.size() != 2) {
        return usage_error(options.paths.size() < 2 ? "expected an INPUT and an OUTPUT"
                                                    : "too many files (use --output-dir DIR for several inputs)");
    }
    return std::nullopt;
}

// The direction an input's first bytes call for, if any.
std::optional<Direction> sniff(const std::string& path, int& os_error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        os_error = errno;
        return std::nullopt;
    }
    char magic[2] = {};
    const std::size_t n = std::fread(magic, 1, sizeof magic, f);
    std::fclose(f);
    os_error = 0;
    if (n == 2 && magic[0] == 'B' && magic[1] == 'M') return Direction::bmp_to_pbm;
    if (n == 2 && magic[0] == 'P' && magic[1] == '1') return Direction::pbm_to_bmp;
    return std::nullopt;
}

std::string output_for(const std::string& input, Direction direction, const std::string& dir) {
    std::filesystem::path name = std::filesystem::path(input).filename();
    name.replace_extension(direction == Direction::bmp_to_pbm ? ".pbm" : ".bmp");
    return (std::filesystem::path(dir) / name).string();
}

// Progress text sits on the terminal's last line while a batch runs; every
// message clears it first so that it stands on a line of its own.
bool progress_shown = false;

void clear_progress() {
    if (progress_shown) std::fputs("\r\033[K", stderr);
    progress_shown = false;
}

void refuse(const std::string& input, const std::string& reason) {
    clear_progress();
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, input.c_str(), reason.c_str());
}

// Converts one input; false when it was refused (and already reported).
bool convert_one(const Options& options, const std::string& input, const std::string& given_output,
                 std::set<std::string>& outputs_written) {
    std::optional<Direction> direction = options.direction;
    if (!direction) {
        int os_error = 0;
        direction = sniff(input, os_error);
        if (!direction) {
            refuse(input, os_error ? std::string("cannot open the input: ") + std::strerror(os_error)
                                   : "neither a BMP (\"BM\") nor a plain PBM (\"P1\") file");
            return false;
        }
    }
    const std::string output = options.output_dir ? output_for(input, *direction, *options.output_dir) : given_output;
    if (options.output_dir && !outputs_written.insert(output).second) {
        refuse(input, "its output " + output + " was already written for an earlier input");
        return false;
    }

    qpbm::Facts facts;
    const Status status = qpbm::convert_file(*direction, input.c_str(), output.c_str(), facts);
    if (status != Status::ok) {
        char reason[256];
        refuse(input, qpbm::describe_status(status, facts, reason, sizeof reason));
        return false;
    }
    if (options.verbose)
        std::fprintf(stderr, "%s: %s -> %s (%lld x %lld)\n", kProgram, input.c_str(), output.c_str(),
                     static_cast<long long>(facts.width), static_cast<long long>(facts.height));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const std::optional<int> done = parse(argc, argv, options)) return *done;

    if (!options.output_dir) {
        std::set<std::string> unused;
        return convert_one(options, options.paths[0], options.paths[1], unused) ? kExitConverted : kExitRefused;
    }

    const bool progress = options.paths.size() > 1 && isatty(STDERR_FILENO) && !options.verbose;
    std::set<std::string> outputs_written;
    std::size_t converted = 0;
    std::size_t refused = 0;
    for (std::size_t i = 0; i < options.paths.size(); ++i) {
        if (progress) {
            clear_progress();
            std::fprintf(stderr, "[%zu/%zu] %s", i + 1, options.paths.size(), options.paths[i].c_str());
            progress_shown = true;
        }
        if (convert_one(options, options.paths[i], {}, outputs_written))
            ++converted;
        else
            ++refused;
    }
    clear_progress();
    std::fprintf(stderr, "%s: converted %zu, refused %zu\n", kProgram, converted, refused);
    return refused == 0 ? kExitConverted : kExitRefused;
}

// quorvelpbm: the command-line face of the library, a client of the qpbm C
// API like any other program. This file holds the usage and the option
// parser; the batch (names, lists, trees, checks, threads) is in batch.cpp,
// batch_steps.cpp and names.cpp, the progress line in progress.cpp.
#include <qpbm.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "batch.hpp"
#include "combine.hpp"
#include "console.hpp"
#include "conversion_options.hpp"
#include "files.hpp"
#include "options.hpp"

#if !defined(_WIN32)
#include <unistd.h>

#include <csignal>
#endif

namespace {

using namespace tool;

constexpr int kExitConverted = 0;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: quorvelpbm [bmp2pbm | pbm2bmp] [options] INPUT OUTPUT\n"
    "       quorvelpbm [bmp2pbm | pbm2bmp] [options] --output-dir DIR INPUT...\n"
    "       quorvelpbm [bmp2pbm | pbm2bmp] [options] --output-dir DIR --files-from FILE\n"
    "\n"
    "Turn pictures into black and white: PNG, JPEG, TIFF, BMP or netpbm (PBM,\n"
    "PGM, PPM, PAM) in, upright and at the size asked; PBM, 1-bit PNG, 1-bit\n"
    "TIFF (CCITT Group 4), PDF, BMP, or a printer's ESC/POS, ZPL or XBM out.\n"
    "TIFF, PDF and PBM hold documents: every page of a multi-page TIFF, or with\n"
    "--combine every INPUT, in one file.\n"
    "\n"
    "  bmp2pbm   BMP to PBM (plain \"P1\", or raw \"P4\" with --raw). Reads 1-, 2-,\n"
    "            4- and 8-bit palettes (uncompressed or RLE), 16- and 32-bit bit\n"
    "            fields and 24-bit pictures of any size. By default a pixel is\n"
    "            white when its blue, green and red each reach 100 of 255, else\n"
    "            black; --method chooses another way.\n"
    "  pbm2bmp   plain (\"P1\") or raw (\"P4\") PBM of any size to a 24-bit (or,\n"
    "            with --bpp 1, 1-bit) BMP of pure black and pure white pixels.\n"
    "  With neither, the input's format is taken from its first bytes (\"BM\",\n"
    "  or \"P1\" or \"P4\"), and PGM, PPM and PAM are read too (\"P2\", \"P5\",\n"
    "  \"P3\", \"P6\", \"P7\": grey and colour, maxval 1 to 65535, alpha laid over\n"
    "  white), to a PBM by default, under the methods as a BMP is: for example\n"
    "    pngtopnm photo.png | quorvelpbm --method atkinson - out.pbm\n"
    "  The output is the other format (a PBM for a PGM, PPM or PAM), unless\n"
    "  --to names one or, with neither a direction nor --to, OUTPUT ends in\n"
    "  .pbm or .bmp: the extension decides, so that in.bmp out.bmp writes a BMP.\n"
    "\n"
    "  INPUT or OUTPUT '-' is standard input or standard output. A BMP output to\n"
    "  a pipe holds at most 1000 x 1000 pixels (24- or 1-bit): write larger ones\n"
    "  to a file.\n"
    "\n"
    "Options:\n"
    "  -o, --output-dir DIR  convert every INPUT into DIR, as NAME.pbm or NAME.bmp\n"
    "      --files-from FILE convert the files named in FILE too, one name a line\n"
    "                        ('-': standard input), starting with the first name\n"
    "  -0, --null            the names in FILE end with a NUL byte, not a line\n"
    "                        feed, so that they may hold line feeds\n"
    "  -r, --recursive       convert the pictures in every directory INPUT and its\n"
    "                        subdirectories (*.bmp, *.dib, *.pbm, *.pgm, *.ppm,\n"
    "                        *.pam, *.pnm, *.png, *.jpg, *.jpeg, *.tif, *.tiff\n"
    "                        in any case) into\n"
    "                        the same places under DIR, with a lower-case\n"
    "                        extension, with no more access than its source;\n"
    "                        other files and links to files are skipped, and\n"
    "                        links to directories are not followed\n"
    "  -L, --follow          with -r, convert the file a link in a tree leads to\n"
    "  -u, --update          skip an INPUT whose output is a complete picture not\n"
    "                        older than it: a batch run again converts only the\n"
    "                        rest\n"
    "  -j, --jobs N          convert up to N files at once (default: the number\n"
    "                        of processors)\n"
    "      --no-reader-thread\n"
    "                        decode a PNG, JPEG or TIFF in the thread that decides\n"
    "                        and writes it (by default, when files convert one at\n"
    "                        a time, a second thread decodes meanwhile)\n"
    "      --progress        report progress on standard error as a line every\n"
    "                        second (on a terminal, a batch shows one line redrawn\n"
    "                        in place)\n"
    "      --no-progress     show no progress\n"
    "  -f, --force           let a list or -r replace an existing output that is\n"
    "                        a picture it reads (else refused: it may be an\n"
    "                        input named later); write a BMP to a terminal\n"
    "      --wait SECONDS    wait at most SECONDS for a FIFO or device input to\n"
    "                        deliver its first byte (default: for ever for one\n"
    "                        input, not at all in a batch)\n"
    "      --fsync           sync each output (and its directory) to the disk\n"
    "                        before reporting it converted\n"
    "      --combine OUTPUT  write every INPUT (the command line's, then\n"
    "                        --files-from's, then each -r tree's in sorted path\n"
    "                        order) as the pages of one PDF, TIFF or PBM, by\n"
    "                        OUTPUT's name or --to; written whole or not at all\n"
    "  -v, --verbose         report each conversion on standard error\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "Formats:\n"
    "  -t, --to pbm|bmp|png|tiff|pdf|escpos|zpl|xbm\n"
    "                        the output format, for any input: a BMP may become a\n"
    "                        1-bit BMP under a method, a plain PBM a raw one; png\n"
    "                        (1-bit grey) and tiff (1 bit, to a file) where built\n"
    "                        with libspng and libtiff; escpos (raster for receipt\n"
    "                        printers: cat it to the printer), zpl (a label for\n"
    "                        Zebra printers), xbm (X bitmap, also C source); pdf\n"
    "                        (a page a picture, sized by its resolution or\n"
    "                        --dpi, else 300 dpi; each page coded in G4 or Flate,\n"
    "                        whichever is smaller; also to a pipe)\n"
    "A TIFF output:\n"
    "  --compression g4|deflate|auto|packbits|none\n"
    "                        how its bits are compressed (default g4: CCITT Group\n"
    "                        4, best for text; deflate for dithered photos; auto:\n"
    "                        each page the smaller of the two, by an estimate)\n"
    "A PNG output:\n"
    "  --compression 0-9     the zlib level (default 6): 0 stores the rows\n"
    "                        uncompressed, 9 is the smallest and slowest\n"
    "A PBM output:\n"
    "  --raw                 write a raw PBM (\"P4\", a bit per pixel) instead of\n"
    "                        a plain one (\"P1\", two characters per pixel)\n"
    "A BMP output:\n"
    "  --bpp 1|24            bits per pixel of the BMP (default 24)\n"
    "A BMP input (a PBM is already black and white: with pbm2bmp these are\n"
    "errors, and a detected PBM ignores them):\n"
    "  --method M            how colours become black or white:\n"
    "                          auto      floyd-steinberg for a photo, sauvola\n"
    "                                    for a document (text, line art, a\n"
    "                                    scan), after a first look (the default\n"
    "                                    for PNG, JPEG and TIFF; -v says why)\n"
    "                          channels  white when blue, green and red each\n"
    "                                    reach the threshold (default 100):\n"
    "                                    line art, clean scans (the default for\n"
    "                                    BMP and netpbm, and with --threshold)\n"
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
    "                          jarvis, stucki, burkes, sierra, sierra2,\n"
    "                          sierra-lite  error diffusion over other\n"
    "                                    kernels: printers' favourites\n"
    "  --threshold N         channels: 0 to 255; luma: 0 to 256\n"
    "  --window N            sauvola's window, odd, 3 to 255 (default 15)\n"
    "Any input:\n"
    "  --invert              swap black and white (after the method)\n"
    "  --max-pixels N        refuse pictures of more than N pixels before the\n"
    "                        output is touched (default 0: no limit)\n"
    "  --pages all|N|N-M|N,M,...\n"
    "                        the pages of a multi-page TIFF to take, counted from\n"
    "                        1 (default: all for a TIFF or PDF output, else the\n"
    "                        first); a PBM holds them one after another, a PNG or\n"
    "                        BMP becomes NAME-1.png, NAME-2.png, ...\n"
    "  --page N              the same as --pages N\n"
    "  --no-auto-orient      keep the rows as stored (by default the orientation\n"
    "                        a JPEG's EXIF, a TIFF or a PNG's eXIf records is\n"
    "                        undone, so that the output is upright)\n"
    "  --rotate 90|180|270   turn the picture clockwise, after the orientation\n"
    "  --flip                flip top to bottom, after the turn\n"
    "  --mirror              mirror left to right, after the turn\n"
    "  --dpi N, --dpi X,Y    the resolution written to a BMP, PNG or TIFF output,\n"
    "                        in dots per inch (default: the input's)\n"
    "Size (before the method, so a photo is dithered at its printed size):\n"
    "  --width N             resize to N pixels across, the height keeping the\n"
    "                        aspect ratio\n"
    "  --height N            resize to N pixels down, the width keeping the\n"
    "                        aspect ratio; with --width, exactly that size\n"
    "  --fit WxH             the largest size inside W x H that keeps the aspect\n"
    "                        ratio, e.g. --fit 800x480\n"
    "\n"
    "Nothing is printed on success unless asked. An output file is replaced only\n"
    "by a complete conversion: a refused input or a failed write leaves it as it\n"
    "was. Exit status: 0 when every input converted, 1 when any was refused, 2\n"
    "for a usage error.\n"
    "\n"
    "Examples:\n"
    "  quorvelpbm photo.bmp photo.pbm\n"
    "  quorvelpbm pbm2bmp photo.pbm photo-bw.bmp\n"
    "  quorvelpbm bmp2pbm --method floyd-steinberg --raw photo.bmp photo.pbm\n"
    "  quorvelpbm bmp2pbm --method sauvola --window 31 scan.bmp scan.pbm\n"
    "  quorvelpbm --to bmp --bpp 1 --method atkinson photo.bmp label.bmp\n"
    "  quorvelpbm --to pbm --raw page.pbm page-raw.pbm\n"
    "  quorvelpbm --width 384 --method floyd-steinberg --to escpos photo.jpg out.bin\n"
    "  quorvelpbm bmp2pbm --output-dir out scans/*.bmp\n"
    "  find scans -name '*.bmp' -print0 | quorvelpbm -0 --files-from - -o out\n"
    "  quorvelpbm -r -u -f -o out scans\n"
    "  cat photo.bmp | quorvelpbm - - > photo.pbm\n";

// ---- Options --------------------------------------------------------------

int usage_error(const std::string& message) {
    say(std::string(kProgram) + ": " + message + "\nTry '" + kProgram + " --help' for more information.\n");
    return kExitUsage;
}

// Standard output that cannot be written is an error, even for --help.
int finish_stdout() {
#if !defined(_WIN32)
    if (standard_stream_closed(STDOUT_FILENO)) errno = EBADF;
    if (standard_stream_closed(STDOUT_FILENO) || std::fflush(stdout) != 0 || std::ferror(stdout)) {
#else
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
#endif
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

// --combine's part of the parse: every path an input, the document's format
// from --to or the output's name.
std::optional<int> check_combine(Options& options) {
    ConversionOptions& conversion = options.conversion;
    const std::string& output = *options.combine;
    if (conversion.to_from.empty()) {
        conversion.api.to = format_of_name(output);
        conversion.to_from = "the output name '" + shown(output) + "'";
    }
    const qpbm_format to = conversion.api.to;
    if (to != QPBM_FORMAT_TIFF && to != QPBM_FORMAT_PDF && to != QPBM_FORMAT_PBM)
        return usage_error(
            "--combine writes a PDF, TIFF or PBM: name the output .pdf, .tif or .pbm, or give --to (standard "
            "output '-' needs --to)");
    if (const std::string why = check_conversion_options(conversion, options.direction); !why.empty())
        return usage_error(why);
    if (options.direction) return usage_error("--combine detects each input's format: leave out bmp2pbm or pbm2bmp");
    if (options.output_dir) return usage_error("--combine writes one file: leave out --output-dir");
    if (options.update) return usage_error("--combine writes a new document each time: leave out --update");
    if (options.follow && !options.recursive) return usage_error("--follow needs --recursive");
    if (options.null_separated && !options.files_from) return usage_error("--null needs --files-from FILE");
    if (options.paths.empty() && !options.files_from) return usage_error("no input files");
    const bool list_on_stdin = options.files_from == std::string(kStdio);
    if (std::count(options.paths.begin(), options.paths.end(), kStdio) + list_on_stdin > 1)
        return usage_error("standard input can be read only once");
    return std::nullopt;
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
            // The codec libraries built in, with the versions that run, and
            // the formats a build without one lacks.
            std::printf("%s", qpbm_codecs());
            if (QUORVELPBM_CODECS_MISSING[0] != '\0') std::printf("built without: %s\n", QUORVELPBM_CODECS_MISSING);
            return finish_stdout();
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "-f" || arg == "--force") {
            options.force = true;
        } else if (arg == "--fsync") {
            options.fsync = true;
        } else if (arg == "--no-reader-thread") {
            options.reader_thread = false;
        } else if (arg == "-o" || arg == "--output-dir" || arg.rfind("--output-dir=", 0) == 0) {
            std::string dir;
            if (!value("--output-dir", dir)) return usage_error("option '" + arg + "' needs a directory");
            options.output_dir = dir;
        } else if (arg == "--combine" || arg.rfind("--combine=", 0) == 0) {
            std::string into;
            if (!value("--combine", into)) return usage_error("option '" + arg + "' needs an output file");
            options.combine = into;
        } else if (arg == "--files-from" || arg.rfind("--files-from=", 0) == 0) {
            std::string list;
            if (!value("--files-from", list)) return usage_error("option '" + arg + "' needs a file");
            options.files_from = list;
        } else if (arg == "-0" || arg == "--null") {
            options.null_separated = true;
        } else if (arg == "-r" || arg == "--recursive") {
            options.recursive = true;
        } else if (arg == "-L" || arg == "--follow") {
            options.follow = true;
        } else if (arg == "--wait" || arg.rfind("--wait=", 0) == 0) {
            std::string n;
            if (!value("--wait", n)) return usage_error("option '" + arg + "' needs a number of seconds");
            if (n.empty() || n.size() > 7 || n.find_first_not_of("0123456789") != std::string::npos)
                return usage_error("'" + shown(n) + "' is not a number of seconds (0 to 9999999)");
            options.wait_seconds = static_cast<unsigned>(std::stoul(n));
        } else if (arg == "-u" || arg == "--update") {
            options.update = true;
        } else if (arg == "--progress") {
            options.progress = ProgressMode::lines;
        } else if (arg == "--no-progress") {
            options.progress = ProgressMode::off;
        } else if (arg == "-j" || arg == "--jobs" || arg.rfind("--jobs=", 0) == 0) {
            std::string n;
            if (!value("--jobs", n)) return usage_error("option '" + arg + "' needs a number");
            const std::optional<unsigned> jobs = parse_jobs(n);
            if (!jobs) return usage_error("'" + shown(n) + "' is not a number of jobs (1 to 9999)");
            options.jobs = *jobs;
        } else if (const Taken taken = take_conversion_option(arg, value, options.conversion, why);
                   taken != Taken::no) {
            if (taken == Taken::error) return usage_error(shown(why));
        } else {
            return usage_error("unknown option '" + shown(arg) + "'");
        }
    }
    // Without --to or a direction word, a single output's extension names its format.
    ConversionOptions& conversion = options.conversion;
    if (options.combine) return check_combine(options);
    if (!options.output_dir && options.paths.size() == 2 && conversion.to_from.empty() && !options.direction) {
        // A name that calls for a format never written is a mistake, not a PBM.
        if (const char* unwritten = unwritten_format(options.paths[1]))
            return usage_error("cannot write " + std::string(unwritten) + " ('" + shown(options.paths[1]) +
                               "'): the outputs are " QUORVELPBM_OUTPUT_FORMATS
                               "; name the output for one, or give --to");
        conversion.api.to = format_of_name(options.paths[1]);
        if (conversion.api.to != QPBM_FORMAT_AUTO)
            conversion.to_from = "the output name '" + shown(options.paths[1]) + "'";
    }
    if (const std::string why = check_conversion_options(options.conversion, options.direction); !why.empty())
        return usage_error(why);

    if (options.files_from && !options.output_dir) return usage_error("--files-from needs --output-dir DIR");
    if (options.recursive && !options.output_dir) return usage_error("--recursive needs --output-dir DIR");
    if (options.follow && !options.recursive) return usage_error("--follow needs --recursive");
    if (options.null_separated && !options.files_from) return usage_error("--null needs --files-from FILE");
    if (options.output_dir) {
        if (options.paths.empty() && !options.files_from) return usage_error("no input files");
        const FileInfo dir = look(*options.output_dir);
        const std::string name = "output directory '" + shown(*options.output_dir) + "'";
        if (dir.error != 0) return usage_error("cannot use " + name + ": " + std::strerror(dir.error));
        if (!dir.exists) return usage_error(name + " does not exist");
        if (!dir.directory) return usage_error(name + " is not a directory");
    } else if (options.paths.size() != 2) {
        return usage_error(options.paths.size() < 2 ? "expected an INPUT and an OUTPUT"
                                                    : "too many files (use --output-dir DIR for several inputs)");
    }
    const bool list_on_stdin = options.files_from == std::string(kStdio);
    if (options.output_dir && std::count(options.paths.begin(), options.paths.end(), kStdio) + list_on_stdin > 1)
        return usage_error("standard input can be read only once");
#if defined(_WIN32)
    if (std::find(options.paths.begin(), options.paths.end(), kStdio) != options.paths.end())
        return usage_error("'-' (standard input or output) is not supported on Windows");
#endif
    return std::nullopt;
}

// ---- Running --------------------------------------------------------------

int run(const std::vector<std::string>& args) {
    Options options;
    if (const std::optional<int> done = parse(args, options)) return *done;
    return options.combine ? run_combine(options) : run_batch(options);
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
    plug_standard_streams();
    return run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif

#include "conversion_options.hpp"

#include <cstdint>
#include <string>

namespace tool {

namespace {

struct MethodName {
    const char* name;
    qpbm_method method;
};

constexpr MethodName kMethods[] = {
    {"channels", QPBM_METHOD_CHANNELS}, {"luma", QPBM_METHOD_LUMA},
    {"otsu", QPBM_METHOD_OTSU},         {"floyd-steinberg", QPBM_METHOD_FLOYD_STEINBERG},
    {"atkinson", QPBM_METHOD_ATKINSON}, {"bayer", QPBM_METHOD_BAYER},
    {"sauvola", QPBM_METHOD_SAUVOLA},   {"auto", QPBM_METHOD_AUTO},
    {"jarvis", QPBM_METHOD_JARVIS},     {"stucki", QPBM_METHOD_STUCKI},
    {"burkes", QPBM_METHOD_BURKES},     {"sierra", QPBM_METHOD_SIERRA},
    {"sierra2", QPBM_METHOD_SIERRA2},   {"sierra-lite", QPBM_METHOD_SIERRA_LITE},
};

// A decimal number without a sign, at most `most`.
std::optional<std::uint64_t> number(const std::string& text, std::uint64_t most) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : text) {
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (n > (most - digit) / 10) return std::nullopt;
        n = n * 10 + digit;
    }
    return n;
}

// The finest --dpi, as the library takes it.
constexpr std::uint64_t kMaxDpi = 1000000;

constexpr std::uint64_t kMostSide = INT32_MAX;

// A side of the output: 1 to 2^31 - 1 pixels.
std::optional<std::uint32_t> side(const std::string& text) {
    const std::optional<std::uint64_t> n = number(text, kMostSide);
    if (!n || *n == 0) return std::nullopt;
    return static_cast<std::uint32_t>(*n);
}

// A page selection as the library reads it: "all", or numbers from 1 and
// rising ranges, separated by commas.
bool valid_pages(const std::string& text) {
    if (text == "all") return true;
    std::size_t at = 0;
    auto page = [&](std::uint64_t& n) {
        const std::size_t end = text.find_first_not_of("0123456789", at);
        const std::optional<std::uint64_t> v = number(text.substr(at, end - at), UINT32_MAX);
        at = end == std::string::npos ? text.size() : end;
        n = v.value_or(0);
        return n > 0;
    };
    for (;;) {
        std::uint64_t first = 0, last = 0;
        if (!page(first)) return false;
        if (at < text.size() && text[at] == '-' && (++at, !page(last) || last < first)) return false;
        if (at == text.size()) return true;
        if (text[at++] != ',') return false;
    }
}

bool is(const std::string& arg, const char* name) { return arg == name || arg.rfind(std::string(name) + "=", 0) == 0; }

}  // namespace

Taken take_conversion_option(const std::string& arg, const std::function<bool(const char*, std::string&)>& value,
                             ConversionOptions& o, std::string& error) {
    auto mark = [&](std::string& first, const char* name) {
        if (first.empty()) first = name;
    };
    std::string text;
    if (arg == "--raw") {
        o.api.raw = 1;
        mark(o.pbm_output_option, "--raw");
    } else if (arg == "--invert") {
        o.api.invert = 1;
    } else if (arg == "-t" || is(arg, "--to")) {
        const qpbm_format format = value("--to", text) ? format_of_extension(text) : QPBM_FORMAT_AUTO;
        if (format == QPBM_FORMAT_AUTO) {
            error = "--to takes " QUORVELPBM_OUTPUT_FORMATS;
            return Taken::error;
        }
        o.api.to = format;
        o.to_from = "--to " + text;
    } else if (is(arg, "--bpp")) {
        if (!value("--bpp", text) || (text != "1" && text != "24")) {
            error = "--bpp takes 1 or 24";
            return Taken::error;
        }
        o.api.bmp_bits = text == "1" ? 1 : 24;
        mark(o.bmp_output_option, "--bpp");
    } else if (is(arg, "--max-pixels")) {
        const bool given = value("--max-pixels", text);
        const std::optional<std::uint64_t> n = given ? number(text, UINT64_MAX) : std::nullopt;
        if (!n) {
            error = given ? "'" + text + "' is not a number of pixels (0 or more)" : "--max-pixels needs a number";
            return Taken::error;
        }
        o.api.max_pixels = *n;
#if defined(QUORVELPBM_HAVE_TIFF) || defined(QUORVELPBM_HAVE_PNG)
    } else if (is(arg, "--compression")) {
        // A word for a TIFF output, a zlib level for a PNG one.
        const bool given = value("--compression", text);
#ifdef QUORVELPBM_HAVE_TIFF
        const bool word =
            given && (text == "g4" || text == "packbits" || text == "none" || text == "deflate" || text == "auto");
#else
        const bool word = false;
#endif
#ifdef QUORVELPBM_HAVE_PNG
        const bool level = given && text.size() == 1 && text[0] >= '0' && text[0] <= '9';
#else
        const bool level = false;
#endif
        if (!word && !level) {
            error = "--compression takes " QUORVELPBM_COMPRESSIONS;
            return Taken::error;
        }
        if (word) {
            o.api.compression = text == "g4"         ? QPBM_COMPRESSION_G4
                                : text == "packbits" ? QPBM_COMPRESSION_PACKBITS
                                : text == "deflate"  ? QPBM_COMPRESSION_DEFLATE
                                : text == "auto"     ? QPBM_COMPRESSION_AUTO
                                                     : QPBM_COMPRESSION_NONE;
            o.tiff_output_option = "--compression";
            o.png_output_option.clear();
        } else {
            o.api.compression = static_cast<qpbm_compression>(QPBM_COMPRESSION_ZLIB_0 + (text[0] - '0'));
            o.png_output_option = "--compression " + text;
            o.tiff_output_option.clear();
        }
#endif
    } else if (arg == "--no-auto-orient") {
        o.api.no_auto_orient = 1;
    } else if (arg == "--flip") {
        o.api.flip = 1;
    } else if (arg == "--mirror") {
        o.api.mirror = 1;
    } else if (is(arg, "--rotate")) {
        const bool given = value("--rotate", text);
        if (!given || (text != "0" && text != "90" && text != "180" && text != "270")) {
            error = "--rotate takes 90, 180 or 270 (degrees clockwise)";
            return Taken::error;
        }
        o.api.rotate = std::stoi(text);
    } else if (is(arg, "--dpi")) {
        // N, or X,Y across and down.
        const bool given = value("--dpi", text);
        const std::size_t comma = given ? text.find(',') : std::string::npos;
        const std::optional<std::uint64_t> x = given ? number(text.substr(0, comma), kMaxDpi) : std::nullopt;
        const std::optional<std::uint64_t> y = comma == std::string::npos ? x : number(text.substr(comma + 1), kMaxDpi);
        if (!x || !y || *x == 0 || *y == 0) {
            error = given ? "--dpi takes N or X,Y dots per inch, 1 to 1000000, not '" + text + "'"
                          : "--dpi needs a resolution";
            return Taken::error;
        }
        o.api.dpi_x = static_cast<unsigned>(*x);
        o.api.dpi_y = static_cast<unsigned>(*y);
    } else if (is(arg, "--page")) {
        const bool given = value("--page", text);
        const std::optional<std::uint64_t> n = given ? number(text, UINT32_MAX) : std::nullopt;
        if (!n || *n == 0) {
            error = given ? "'" + text + "' is not a page (1 or more)" : "--page needs a number";
            return Taken::error;
        }
        o.api.page = static_cast<unsigned>(*n);
    } else if (is(arg, "--pages")) {
        const bool given = value("--pages", text);
        if (!given || !valid_pages(text)) {
            error = given ? "--pages takes all, N, N-M or a list of them such as 1,3,5-7 (pages counted from 1), "
                            "not '" +
                                text + "'"
                          : "--pages needs all, N, N-M or a list";
            return Taken::error;
        }
        o.pages = text;
    } else if (is(arg, "--width") || is(arg, "--height")) {
        const bool across = is(arg, "--width");
        const char* name = across ? "--width" : "--height";
        const bool given = value(name, text);
        const std::optional<std::uint32_t> n = given ? side(text) : std::nullopt;
        if (!n) {
            error = given ? std::string(name) + " takes a number of pixels from 1 to 2147483647, not '" + text + "'"
                          : std::string(name) + " needs a number of pixels";
            return Taken::error;
        }
        (across ? o.api.width : o.api.height) = *n;
        o.side_given = true;
    } else if (is(arg, "--fit")) {
        const bool given = value("--fit", text);
        const std::size_t x = given ? text.find_first_of("xX") : std::string::npos;
        const std::optional<std::uint32_t> w = x != std::string::npos ? side(text.substr(0, x)) : std::nullopt;
        const std::optional<std::uint32_t> h = x != std::string::npos ? side(text.substr(x + 1)) : std::nullopt;
        if (!w || !h) {
            error = "--fit takes WIDTHxHEIGHT, each from 1 to 2147483647 pixels (e.g. 800x480)" +
                    (given ? ", not '" + text + "'" : std::string());
            return Taken::error;
        }
        o.api.width = *w;
        o.api.height = *h;
        o.api.fit = 1;
        o.fit_given = true;
    } else if (is(arg, "--method")) {
        const bool given = value("--method", text);
        const MethodName* found = nullptr;
        for (const MethodName& m : kMethods)
            if (given && text == m.name) found = &m;
        if (found == nullptr) {
            error =
                "--method takes auto, channels, luma, otsu, floyd-steinberg, atkinson, bayer, sauvola, jarvis, "
                "stucki, burkes, sierra, sierra2 or sierra-lite";
            return Taken::error;
        }
        o.api.method = found->method;
        mark(o.bmp_input_option, "--method");
    } else if (is(arg, "--threshold")) {
        const bool given = value("--threshold", text);
        const std::optional<std::uint64_t> n = given ? number(text, 256) : std::nullopt;
        if (!n) {
            error =
                given ? "'" + text + "' is not a threshold (0 to 255, or 256 with luma)" : "--threshold needs a number";
            return Taken::error;
        }
        o.api.threshold = static_cast<int>(*n);
        o.threshold_given = true;
        // A threshold alone is the legacy rule's, whatever the input.
        if (o.api.method == QPBM_METHOD_DEFAULT) o.api.method = QPBM_METHOD_CHANNELS;
        mark(o.bmp_input_option, "--threshold");
    } else if (is(arg, "--window")) {
        const bool given = value("--window", text);
        const std::optional<std::uint64_t> n = given ? number(text, 255) : std::nullopt;
        if (!n || *n < 3 || *n % 2 == 0) {
            error = given ? "'" + text + "' is not a window (an odd number from 3 to 255)" : "--window needs a number";
            return Taken::error;
        }
        o.api.window = static_cast<int>(*n);
        o.window_given = true;
        mark(o.bmp_input_option, "--window");
    } else {
        return Taken::no;
    }
    return Taken::yes;
}

std::string check_conversion_options(const ConversionOptions& o, std::optional<qpbm_direction> direction) {
    if (direction == QPBM_PBM_TO_BMP && !o.bmp_input_option.empty())
        return o.bmp_input_option + " is an option of bmp2pbm, not of pbm2bmp: a PBM is already black and white";
    // The output format is known when it is asked for, or follows from the
    // direction; a detected one is known per input only.
    const qpbm_format to = direction ? output_format(input_of(*direction), o.api) : o.api.to;
    auto other = [&](const std::string& option, const char* direction_word, const char* format) {
        if (o.to_from.empty())
            return option + " is an option of " + direction_word + ", not of " +
                   (direction == QPBM_BMP_TO_PBM ? "bmp2pbm" : "pbm2bmp");
        return option + " is an option of " + format + ", not of " + o.to_from;
    };
    // The codecs' and the devices' outputs, which take neither PBM's nor BMP's options.
    const bool other_output = to != QPBM_FORMAT_AUTO && to != QPBM_FORMAT_PBM && to != QPBM_FORMAT_BMP;
    if (other_output && !o.pbm_output_option.empty()) return o.pbm_output_option + " is an option of a PBM output";
    if (other_output && !o.bmp_output_option.empty()) return o.bmp_output_option + " is an option of a BMP output";
    if (to != QPBM_FORMAT_TIFF && to != QPBM_FORMAT_AUTO && !o.tiff_output_option.empty())
        return o.tiff_output_option + " is an option of a TIFF output" +
               (to == QPBM_FORMAT_PNG ? ": a PNG output takes a zlib level, 0 to 9" : "");
    if (to != QPBM_FORMAT_PNG && to != QPBM_FORMAT_AUTO && !o.png_output_option.empty())
        return o.png_output_option + " (a zlib level) is an option of a PNG output" +
               (to == QPBM_FORMAT_TIFF ? ": a TIFF output takes g4, deflate, auto, packbits or none" : "");
    if (to == QPBM_FORMAT_BMP && !o.pbm_output_option.empty())
        return other(o.pbm_output_option, "bmp2pbm", "a PBM output");
    if (to == QPBM_FORMAT_PBM && !o.bmp_output_option.empty())
        return other(o.bmp_output_option, "pbm2bmp", "a BMP output");
    const qpbm_method m = o.api.method;
    if (o.threshold_given) {
        if (m != QPBM_METHOD_CHANNELS && m != QPBM_METHOD_LUMA)
            return "--threshold goes only with --method channels or luma";
        if (m == QPBM_METHOD_CHANNELS && o.api.threshold > 255) return "the channels threshold is 0 to 255";
    }
    if (o.window_given && m != QPBM_METHOD_SAUVOLA) return "--window goes only with --method sauvola";
    return check_size_options(o);
}

std::string check_size_options(const ConversionOptions& o) {
    const std::uint64_t w = o.api.width, h = o.api.height, most = o.api.max_pixels;
    if (o.fit_given && o.side_given) return "--fit goes without --width and --height";
    if (most == 0 || o.fit_given) return {};
    // The fewest pixels the output can have: the sides given, the other at least 1.
    const std::uint64_t least = (w != 0 ? w : 1) * (h != 0 ? h : 1);
    if (least <= most) return {};
    const std::string given = w != 0 && h != 0 ? "--width " + std::to_string(w) + " --height " + std::to_string(h)
                              : w != 0         ? "--width " + std::to_string(w)
                                               : "--height " + std::to_string(h);
    return given + " makes an output of " + (w != 0 && h != 0 ? "" : "at least ") + std::to_string(least) +
           " pixels, more than --max-pixels " + std::to_string(most);
}

qpbm_format format_of_name(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return QPBM_FORMAT_AUTO;
    return format_of_extension(name.substr(dot + 1));
}

const char* unwritten_format(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    const std::size_t slash = name.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    struct Unwritten {
        const char* extension;
        const char* format;
    };
    static const Unwritten kUnwritten[] = {
        {"jpg", "JPEG"},
        {"jpeg", "JPEG"},
        {"jpe", "JPEG"},
        {"jfif", "JPEG"},
        {"gif", "GIF"},
        {"webp", "WebP"},
        {"heic", "HEIC"},
        {"heif", "HEIF"},
        {"avif", "AVIF"},
        {"jxl", "JPEG XL"},
        {"jp2", "JPEG 2000"},
        {"ico", "ICO"},
        {"svg", "SVG"},
#ifndef QUORVELPBM_HAVE_PNG
        {"png", "PNG (this build has no libspng)"},
#endif
#ifndef QUORVELPBM_HAVE_TIFF
        {"tif", "TIFF (this build has no libtiff)"},
        {"tiff", "TIFF (this build has no libtiff)"},
        {"pdf", "PDF (this build has no libtiff)"},
#endif
    };
    for (const Unwritten& u : kUnwritten)
        if (ext == u.extension) return u.format;
    return nullptr;
}

qpbm_format format_of_extension(std::string ext) {
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (ext == "pbm") return QPBM_FORMAT_PBM;
    if (ext == "bmp") return QPBM_FORMAT_BMP;
    if (ext == "escpos") return QPBM_FORMAT_ESCPOS;
    if (ext == "zpl") return QPBM_FORMAT_ZPL;
    if (ext == "xbm") return QPBM_FORMAT_XBM;
#ifdef QUORVELPBM_HAVE_PNG
    if (ext == "png") return QPBM_FORMAT_PNG;
#endif
#ifdef QUORVELPBM_HAVE_TIFF
    if (ext == "tif" || ext == "tiff") return QPBM_FORMAT_TIFF;
    if (ext == "pdf") return QPBM_FORMAT_PDF;
#endif
    return QPBM_FORMAT_AUTO;
}

qpbm_format input_of(qpbm_direction direction) {
    return direction == QPBM_BMP_TO_PBM   ? QPBM_FORMAT_BMP
           : direction == QPBM_PBM_TO_BMP ? QPBM_FORMAT_PBM
                                          : QPBM_FORMAT_AUTO;
}

qpbm_format output_format(qpbm_format input, const qpbm_options& options) {
    if (options.to != QPBM_FORMAT_AUTO || input == QPBM_FORMAT_AUTO) return options.to;
    return input == QPBM_FORMAT_PBM ? QPBM_FORMAT_BMP : QPBM_FORMAT_PBM;
}

}  // namespace tool

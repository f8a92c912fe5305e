// Converts one file through the joiner, the reader picked by the first
// bytes among every part this build has (the codec ones too), and exits with
// the conversion status, so that a script can tell a conversion from a
// refusal and compare the pixels with a peer's.
//
//   quorvelpbm_codec_driver [--raw] [--to pbm|bmp|png|tiff] [--compression g4|packbits|none] [--method NAME]
//                           [--threshold N] [--max-pixels N] [--page N] INPUT OUTPUT
//
// Exit code 0: converted. 1 to 124: the Status value of the refusal, whose
// description goes to standard error. 125: bad usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert/codecs.hpp"
#include "convert/convert.hpp"

namespace {

constexpr int kUsage = 125;

struct Name {
    const char* name;
    int value;
};

constexpr Name kMethods[] = {
    {"channels", static_cast<int>(qpbm::Method::channels)},
    {"luma", static_cast<int>(qpbm::Method::luma)},
    {"otsu", static_cast<int>(qpbm::Method::otsu)},
    {"floyd-steinberg", static_cast<int>(qpbm::Method::floyd_steinberg)},
    {"atkinson", static_cast<int>(qpbm::Method::atkinson)},
    {"bayer", static_cast<int>(qpbm::Method::bayer)},
    {"sauvola", static_cast<int>(qpbm::Method::sauvola)},
};

constexpr Name kFormats[] = {
    {"pbm", static_cast<int>(qpbm::Format::pbm)},
    {"bmp", static_cast<int>(qpbm::Format::bmp)},
    {"png", static_cast<int>(qpbm::Format::png)},
    {"tiff", static_cast<int>(qpbm::Format::tiff)},
};

constexpr Name kCompressions[] = {
    {"g4", static_cast<int>(qpbm::TiffCompression::g4)},
    {"packbits", static_cast<int>(qpbm::TiffCompression::packbits)},
    {"none", static_cast<int>(qpbm::TiffCompression::none)},
};

template <std::size_t N>
bool lookup(const Name (&names)[N], const char* text, int& value) {
    for (const Name& n : names)
        if (std::strcmp(n.name, text) == 0) {
            value = n.value;
            return true;
        }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    qpbm::add_codecs();
    qpbm::Options options;
    options.to = qpbm::Format::pbm;
    bool threshold_given = false;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        int n = 0;
        if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--to" && value && lookup(kFormats, value, n)) {
            options.to = static_cast<qpbm::Format>(n), ++i;
        } else if (arg == "--compression" && value && lookup(kCompressions, value, n)) {
            options.tiff_compression = static_cast<qpbm::TiffCompression>(n), ++i;
        } else if (arg == "--method" && value && lookup(kMethods, value, n)) {
            options.method = static_cast<qpbm::Method>(n), ++i;
        } else if (arg == "--threshold" && value) {
            options.threshold = static_cast<unsigned>(std::strtoul(value, nullptr, 10)), ++i;
            threshold_given = true;
        } else if (arg == "--page" && value) {
            options.page = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10) - 1), ++i;
        } else if (arg == "--max-pixels" && value) {
            options.max_pixels = std::strtoull(value, nullptr, 10), ++i;
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return kUsage;
        }
    }
    if (!threshold_given && options.method == qpbm::Method::luma) options.threshold = qpbm::kDefaultLumaThreshold;
    if (argc - i != 2) {
        std::fprintf(stderr, "usage: %s [options] INPUT OUTPUT\n", argv[0]);
        return kUsage;
    }
    std::FILE* in = std::fopen(argv[i], "rb");
    if (in == nullptr) return kUsage;
    unsigned char first[16];
    const std::size_t length = std::fread(first, 1, sizeof first, in);
    std::rewind(in);

    static qpbm::Buffers buffers;
    qpbm::Facts facts;
    qpbm::Status status = qpbm::Status::unknown_format;
    const qpbm::ReaderKind* kind = qpbm::reader_for(first, length);
    std::FILE* out = nullptr;
    {
        qpbm::Conversion conversion;
        if (kind != nullptr) status = qpbm::check_conversion(conversion, *kind, in, true, buffers, facts, options);
        if (status == qpbm::Status::ok) {
            out = std::fopen(argv[i + 1], "wb");
            status = out == nullptr ? qpbm::Status::open_output_failed : qpbm::write_conversion(conversion, in, out);
        }
    }
    if (out != nullptr && std::fclose(out) != 0 && status == qpbm::Status::ok) status = qpbm::Status::write_failed;
    std::fclose(in);
    if (status != qpbm::Status::ok) {
        if (out != nullptr) std::remove(argv[i + 1]);
        char text[256];
        std::fprintf(stderr, "%s\n", qpbm::describe_status(status, facts, text, sizeof text));
    }
    return static_cast<int>(status);
}

// Converts one file the way the exports do (UTF-16 paths through
// convert_wide) but exits with the conversion status instead of 999, so that
// a script can drive the library and tell a conversion from a refusal.
//
//   quorvelpbm_convert_driver [--raw] [--bpp=1] bmp2pbm|pbm2bmp INPUT OUTPUT
//
// Exit code 0: converted. 1 to 124: the Status value of the refusal, whose
// description goes to standard error. 125: bad usage.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/status.hpp"
#include "library/file_convert.hpp"

namespace {

constexpr int kUsage = 125;

// The scripts pass ASCII temporary paths; anything else is a usage error
// rather than a guess at an encoding.
bool widen_ascii(const char* in, std::u16string& out) {
    for (; *in != '\0'; ++in) {
        const auto c = static_cast<unsigned char>(*in);
        if (c >= 0x80) return false;
        out += static_cast<char16_t>(c);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    qpbm::Options options;
    for (; argc > 1 && std::strncmp(argv[1], "--", 2) == 0; --argc, ++argv) {
        if (std::strcmp(argv[1], "--raw") == 0)
            options.raw = true;
        else if (std::strcmp(argv[1], "--bpp=1") == 0)
            options.bmp_bits = 1;
        else
            return kUsage;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s bmp2pbm|pbm2bmp INPUT OUTPUT\n", argv[0]);
        return kUsage;
    }
    qpbm::Direction direction;
    if (std::strcmp(argv[1], "bmp2pbm") == 0) {
        direction = qpbm::Direction::bmp_to_pbm;
    } else if (std::strcmp(argv[1], "pbm2bmp") == 0) {
        direction = qpbm::Direction::pbm_to_bmp;
    } else {
        std::fprintf(stderr, "unknown direction '%s'\n", argv[1]);
        return kUsage;
    }
    std::u16string in, out;
    if (!widen_ascii(argv[2], in) || !widen_ascii(argv[3], out)) {
        std::fprintf(stderr, "paths must be ASCII\n");
        return kUsage;
    }

    qpbm::Facts facts;
    const qpbm::Status status = qpbm::convert_wide(direction, in.c_str(), out.c_str(), facts, options);
    if (status != qpbm::Status::ok) {
        char text[256];
        std::fprintf(stderr, "%s\n", qpbm::describe_status(status, facts, text, sizeof text));
    }
    return static_cast<int>(status);
}

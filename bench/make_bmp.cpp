// make_bmp: writes the benchmarks' input pictures, 24-bit BMPs whose channel
// values are spread evenly over 50..149, so that each channel is on either
// side of the threshold half the time and neighbouring pixels are unrelated:
// the hardest case for a branchy threshold test.
//
//   make_bmp WIDTH HEIGHT OUT.bmp [--top-down]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/bmp.hpp"

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5 || (argc == 5 && std::strcmp(argv[4], "--top-down") != 0)) {
        std::fprintf(stderr, "usage: make_bmp WIDTH HEIGHT OUT.bmp [--top-down]\n");
        return 2;
    }
    const long width = std::strtol(argv[1], nullptr, 10);
    const long height = std::strtol(argv[2], nullptr, 10);
    if (width < 1 || width > 100000 || height < 1 || height > 100000) {
        std::fprintf(stderr, "make_bmp: sizes from 1 to 100000, please\n");
        return 2;
    }
    const bool top_down = argc == 5;

    std::uint8_t header[qpbm::kHeadersSize];
    qpbm::encode_bmp_header(header, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
    if (top_down) qpbm::write_le32(header + qpbm::bmp_field::biHeight, static_cast<std::uint32_t>(-height));

    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    const std::size_t stride = qpbm::bmp_stride(static_cast<std::uint64_t>(width));
    std::vector<std::uint8_t> row(stride, 0);
    std::uint32_t state = 12345;
    bool ok = std::fwrite(header, 1, sizeof header, out) == sizeof header;
    for (long y = 0; y < height && ok; ++y) {
        for (long i = 0; i < width * 3; ++i) {
            state = state * 1664525u + 1013904223u;  // a plain LCG: fast and repeatable
            row[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(50 + (state >> 16) % 100);
        }
        ok = std::fwrite(row.data(), 1, stride, out) == stride;
    }
    if (std::fclose(out) != 0 || !ok) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}

// pixels_bench: the pixel call against the same conversion from a file. A
// raw PPM's samples are read into memory once; then, alternately, the file
// is converted (qpbm_convert_ex), read alone (the share of a conversion
// that the pixel call does not have), and its samples in memory are
// converted (qpbm_convert_pixels_file), each to a raw PBM under the method.
// Prints the medians in seconds and pixels / (file - read) as JSON.
//
//   pixels_bench IN.ppm OUT.pbm METHOD RUNS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "library/qpbm.h"

namespace {

double seconds_of(auto&& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The whole file, as a conversion from it reads it.
std::vector<unsigned char> read_all(const char* path) {
    std::vector<unsigned char> bytes;
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return bytes;
    unsigned char block[256 * 1024];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) bytes.insert(bytes.end(), block, block + n);
    std::fclose(f);
    return bytes;
}

// Reads the file through a block, as a conversion does, keeping nothing.
std::size_t read_through(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return 0;
    static unsigned char block[256 * 1024];
    std::size_t total = 0;
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) total += n;
    std::fclose(f);
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: pixels_bench IN.ppm OUT.pbm METHOD RUNS\n");
        return 2;
    }
    const std::vector<unsigned char> file = read_all(argv[1]);
    unsigned width = 0, height = 0, maxval = 0;
    int header = 0;
    if (std::sscanf(reinterpret_cast<const char*>(file.data()), "P6 %u %u %u%n", &width, &height, &maxval, &header) !=
            3 ||
        maxval != 255 || file.size() < header + 1 + 3ull * width * height) {
        std::fprintf(stderr, "pixels_bench: %s is not a raw PPM of maxval 255 as make_bmp writes it\n", argv[1]);
        return 2;
    }
    qpbm_options o;
    qpbm_options_init(&o);
    o.raw = 1;
    o.to = QPBM_FORMAT_PBM;
    o.method = std::strcmp(argv[3], "floyd-steinberg") == 0 ? QPBM_METHOD_FLOYD_STEINBERG : QPBM_METHOD_CHANNELS;
    const qpbm_pixels pixels{file.data() + header + 1, width, height, std::size_t{3} * width, QPBM_LAYOUT_RGB8};
    std::vector<double> from_file, reading, from_pixels;
    bool ok = true;
    for (int i = 0, runs = std::atoi(argv[4]); i < runs && ok; ++i) {
        from_file.push_back(seconds_of(
            [&] { ok &= qpbm_convert_ex(argv[1], argv[2], QPBM_DETECT, &o, nullptr, 0, nullptr) == QPBM_OK; }));
        reading.push_back(seconds_of([&] { ok &= read_through(argv[1]) == file.size(); }));
        from_pixels.push_back(
            seconds_of([&] { ok &= qpbm_convert_pixels_file(&pixels, argv[2], &o, nullptr, 0, nullptr) == QPBM_OK; }));
    }
    if (!ok) {
        std::fprintf(stderr, "pixels_bench: a conversion failed\n");
        return 1;
    }
    const double file_s = median(from_file), read_s = median(reading), pixels_s = median(from_pixels);
    std::printf("{\"file_s\": %.6f, \"read_s\": %.6f, \"pixels_s\": %.6f, \"ratio\": %.4f}\n", file_s, read_s, pixels_s,
                pixels_s / (file_s - read_s));
    return 0;
}

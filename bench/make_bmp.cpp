// make_bmp: writes the benchmarks' input pictures. By default 24-bit BMPs
// whose channel values are spread evenly over 50..149, so that each channel
// is on either side of the threshold half the time and neighbouring pixels
// are unrelated: the hardest case for a branchy threshold test. --format
// writes the same kind of noise in another variant:
//   1, 8      palette indices (the palette's colours spread the same way)
//   16        5-5-5 words, channels spread over 10..19 of 31
//   32        blue, green, red, unused bytes (BI_RGB)
//   rle8      RLE8 of palette indices: runs of 1 to 8 pixels between
//             absolute runs of 3 to 40, an end of line per row
//   ppm, pgm  a raw PPM or PGM (maxval 255) of the same noise as 24 bits
//   photo     a raw PPM like a photo, for the codecs' benchmarks: smooth
//             colour gradients, a softer pattern and a little grain, so that
//             a JPEG or PNG of it compresses as a photo's would
//   scan      a raw PBM like a scanned page: lines of blocky glyphs on white
//
//   make_bmp WIDTH HEIGHT OUT.bmp [--top-down] [--format 24|1|8|16|32|rle8|ppm|pgm|photo|scan]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/bmp_format.hpp"

namespace {

std::uint32_t state = 12345;
std::uint32_t next() {
    state = state * 1664525u + 1013904223u;  // a plain LCG: fast and repeatable
    return state >> 16;
}

int usage() {
    std::fprintf(stderr,
                 "usage: make_bmp WIDTH HEIGHT OUT.bmp [--top-down] [--format 24|1|8|16|32|rle8|ppm|pgm|photo|scan]\n");
    return 2;
}

// One RLE8 row of noise indices, runs and absolute runs, then an end of line.
void rle8_row(long width, std::vector<std::uint8_t>& out) {
    for (long x = 0; x < width;) {
        const long run = std::min<long>(width - x, 1 + next() % 8);
        out.insert(out.end(), {static_cast<std::uint8_t>(run), static_cast<std::uint8_t>(next())});
        x += run;
        const long literal = std::min<long>(width - x, 3 + next() % 38);
        if (literal < 3) continue;
        out.insert(out.end(), {0, static_cast<std::uint8_t>(literal)});
        for (long i = 0; i < literal; ++i) out.push_back(static_cast<std::uint8_t>(next()));
        if (literal % 2 != 0) out.push_back(0);
        x += literal;
    }
    out.insert(out.end(), {0, qpbm::bmp_rle::end_of_line});
}

// A raw PPM (3 samples a pixel) or PGM (1) of noise spread over 50..149.
int write_netpbm(long width, long height, unsigned samples, const char* path) {
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        std::perror(path);
        return 1;
    }
    bool ok = std::fprintf(out, "P%c\n%ld %ld\n255\n", samples == 3 ? '6' : '5', width, height) > 0;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * samples);
    for (long y = 0; y < height && ok; ++y) {
        for (auto& sample : row) sample = static_cast<std::uint8_t>(50 + next() % 100);
        ok = std::fwrite(row.data(), 1, row.size(), out) == row.size();
    }
    if (std::fclose(out) != 0 || !ok) {
        std::perror(path);
        return 1;
    }
    return 0;
}

// A triangle wave of period 512 over 0..255: smooth and exactly repeatable.
int triangle(long t) {
    const long m = t & 511;
    return static_cast<int>(m < 256 ? m : 511 - m);
}

std::uint8_t clamp_sample(long v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Red grows left to right, green top to bottom, blue along a slow diagonal
// wave; patches of about 100 pixels, each a step brighter or darker, give
// edges, a finer wave texture, and the LCG a grain of +-12: at quality 90 a
// JPEG of it takes about as many bits a pixel as a camera's photo.
int write_photo(long width, long height, const char* path) {
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        std::perror(path);
        return 1;
    }
    bool ok = std::fprintf(out, "P6\n%ld %ld\n255\n", width, height) > 0;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * 3);
    for (long y = 0; y < height && ok; ++y) {
        for (long x = 0; x < width; ++x) {
            const std::uint32_t cell =
                static_cast<std::uint32_t>(x / 97) * 73856093u ^ static_cast<std::uint32_t>(y / 89) * 19349663u;
            const long patch = static_cast<long>((cell * 2654435761u) >> 25) - 64;
            const long texture = (triangle(x / 3 + y / 5) - 128) / 4 + (triangle(11 * x + 7 * y) - 128) / 6 + patch / 2;
            const long base[3] = {30 + x * 200 / width, 30 + y * 200 / height, 40 + triangle((x + 2 * y) / 8) * 3 / 4};
            for (int c = 0; c < 3; ++c)
                row[static_cast<std::size_t>(3 * x + c)] =
                    clamp_sample(base[c] + texture + static_cast<long>(next() % 25) - 12);
        }
        ok = std::fwrite(row.data(), 1, row.size(), out) == row.size();
    }
    if (std::fclose(out) != 0 || !ok) {
        std::perror(path);
        return 1;
    }
    return 0;
}

// Text lines 36 pixels apart within margins; each glyph a 16 x 24 cell
// holding a random 3 x 5 pattern of 4 x 4 blocks, a word 2 to 9 glyphs.
int write_scan(long width, long height, const char* path) {
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        std::perror(path);
        return 1;
    }
    constexpr long kCell = 16, kLine = 36, kGlyphRows = 24, kBlock = 4;
    const long margin = width / 12 + 8;
    bool ok = std::fprintf(out, "P4\n%ld %ld\n", width, height) > 0;
    std::vector<std::uint8_t> row(static_cast<std::size_t>((width + 7) / 8));
    std::vector<std::uint16_t> glyphs(static_cast<std::size_t>(width / kCell + 1));  // 0 is a space
    for (long y = 0; y < height && ok; ++y) {
        const long in_line = (y - margin) % kLine;
        if (in_line == 0) {
            long word = 0;
            for (auto& g : glyphs) {
                if (word == 0) {
                    word = 2 + static_cast<long>(next() % 8);
                    g = 0;
                } else {
                    --word;
                    g = static_cast<std::uint16_t>(1 + next() % 0x7fff);
                }
            }
        }
        std::fill(row.begin(), row.end(), 0);
        if (y >= margin && y < height - margin && in_line < kGlyphRows - kBlock) {
            const long block_row = in_line / kBlock;
            for (long x = margin; x < width - margin; ++x) {
                const std::uint16_t g = glyphs[static_cast<std::size_t>(x / kCell)];
                const long block_col = (x % kCell) / kBlock;
                if (g != 0 && block_col < 3 && (g >> (block_row * 3 + block_col) & 1) != 0)
                    row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
            }
        }
        ok = std::fwrite(row.data(), 1, row.size(), out) == row.size();
    }
    if (std::fclose(out) != 0 || !ok) {
        std::perror(path);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    const long width = std::strtol(argv[1], nullptr, 10);
    const long height = std::strtol(argv[2], nullptr, 10);
    if (width < 1 || width > 100000 || height < 1 || height > 100000) {
        std::fprintf(stderr, "make_bmp: sizes from 1 to 100000, please\n");
        return 2;
    }
    bool top_down = false;
    std::string format = "24";
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--top-down") == 0)
            top_down = true;
        else if (std::strcmp(argv[i], "--format") == 0 && i + 1 < argc)
            format = argv[++i];
        else
            return usage();
    }
    if (format == "photo") return write_photo(width, height, argv[3]);
    if (format == "scan") return write_scan(width, height, argv[3]);
    if (format == "ppm" || format == "pgm") return write_netpbm(width, height, format == "ppm" ? 3 : 1, argv[3]);
    const bool rle = format == "rle8";
    const std::uint32_t bits = rle ? 8 : static_cast<std::uint32_t>(std::strtoul(format.c_str(), nullptr, 10));
    if ((bits != 1 && bits != 8 && bits != 16 && bits != 24 && bits != 32) || (rle && top_down)) return usage();

    // The 24-bit header, then the fields that differ, and a palette.
    std::uint8_t header[qpbm::kHeadersSize];
    qpbm::encode_bmp_header(header, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
    if (top_down) qpbm::write_le32(header + qpbm::bmp_field::biHeight, static_cast<std::uint32_t>(-height));
    std::vector<std::uint8_t> palette;
    if (bits <= 8) {
        for (std::uint32_t i = 0; i < (1u << bits); ++i) {
            const bool black = bits == 1 && i == 0;
            for (int c = 0; c < 3; ++c) palette.push_back(bits == 1 ? (black ? 0 : 255) : 50 + next() % 100);
            palette.push_back(0);
        }
    }
    const std::uint64_t stride = qpbm::bmp_stride(static_cast<std::uint64_t>(width), bits);
    qpbm::write_le16(header + qpbm::bmp_field::biBitCount, static_cast<std::uint16_t>(bits));
    qpbm::write_le32(header + qpbm::bmp_field::biCompression, rle ? qpbm::bmp_compression::rle8 : 0);
    qpbm::write_le32(header + qpbm::bmp_field::bfOffBits,
                     static_cast<std::uint32_t>(qpbm::kHeadersSize + palette.size()));
    qpbm::write_le32(header + qpbm::bmp_field::biSizeImage, rle ? 0 : static_cast<std::uint32_t>(stride * height));

    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    bool ok = std::fwrite(header, 1, sizeof header, out) == sizeof header &&
              std::fwrite(palette.data(), 1, palette.size(), out) == palette.size();
    std::vector<std::uint8_t> row(rle ? 0 : stride, 0);
    for (long y = 0; y < height && ok; ++y) {
        if (rle) {
            row.clear();
            rle8_row(width, row);
            if (y == height - 1) row.insert(row.end(), {0, qpbm::bmp_rle::end_of_bitmap});
        } else if (bits == 24 || bits == 32) {
            for (long x = 0; x < width; ++x)
                for (std::uint32_t c = 0; c < bits / 8; ++c)
                    row[static_cast<std::size_t>(x * (bits / 8) + c)] = static_cast<std::uint8_t>(50 + next() % 100);
        } else if (bits == 16) {
            for (long x = 0; x < width; ++x) {
                const std::uint32_t v = (10 + next() % 10) << 10 | (10 + next() % 10) << 5 | (10 + next() % 10);
                qpbm::write_le16(row.data() + 2 * x, static_cast<std::uint16_t>(v));
            }
        } else {
            for (std::size_t i = 0; i < (static_cast<std::size_t>(width) * bits + 7) / 8; ++i)
                row[i] = static_cast<std::uint8_t>(next());
        }
        ok = std::fwrite(row.data(), 1, row.size(), out) == row.size();
    }
    if (std::fclose(out) != 0 || !ok) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}

// Any reader into every writer, through the library's two outer paths: a
// file on disk (convert_with) and the caller's memory (measure_memory, then
// convert_memory), so that a writer given up part way meets the streams as
// the exports close them. The first byte picks the output and its options:
// bits 0-1 the format (TIFF, PNG, BMP, PBM), bits 2-3 its variant (TIFF
// compression G4, PackBits, Deflate or auto; PNG level; BMP bits; raw PBM,
// or PDF for bit 3), bits 4-6 the method, bit 7 the
// reader thread; the second is the threshold; the rest is the picture, whose
// first bytes pick the reader. Invariants beyond "no crash, no leak, no
// hang":
// - the file and the memory calls both convert or both refuse, and what they
//   write is the same bytes, which begin with the format's signature;
// - the memory output fits the size measured before it;
// - a refused conversion leaves the file that was there before.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert/codecs.hpp"
#include "fuzz_support.hpp"
#include "library/file_convert.hpp"
#include "library/memory_convert.hpp"

namespace {

qpbm::Workspace work;

constexpr char kSentinel[] = "an older file, kept by a refusal";

struct Paths {
    std::string dir, in, out;
};

// A directory of the process's own, in memory where the system has one.
const Paths& paths() {
    static const Paths p = [] {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string dir = std::string(base) + "/qpbm_writers_XXXXXX";
        FUZZ_REQUIRE(mkdtemp(dir.data()) != nullptr);
        return Paths{dir, dir + "/in", dir + "/out"};
    }();
    static const bool removed_at_exit = std::atexit([] {
                                            std::remove(p.in.c_str());
                                            std::remove(p.out.c_str());
                                            rmdir(p.dir.c_str());
                                        }) == 0;
    (void)removed_at_exit;
    return p;
}

bool put(const std::string& path, const void* bytes, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = (size == 0 || std::fwrite(bytes, 1, size, f) == size);
    return std::fclose(f) == 0 && written;
}

// The file's bytes into `to`, at most `capacity`; its length, or SIZE_MAX.
std::size_t get(const std::string& path, std::uint8_t* to, std::size_t capacity) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return SIZE_MAX;
    const std::size_t n = std::fread(to, 1, capacity, f);
    const bool whole = std::fgetc(f) == EOF && !std::ferror(f);
    std::fclose(f);
    return whole ? n : SIZE_MAX;
}

qpbm::Options options_of(std::uint8_t pick, std::uint8_t threshold) {
    qpbm::Options o;
    const unsigned variant = (pick >> 2) & 3;
    switch (pick & 3) {
        case 0: {
            o.to = qpbm::Format::tiff;
            const qpbm::TiffCompression kinds[] = {qpbm::TiffCompression::g4, qpbm::TiffCompression::packbits,
                                                   qpbm::TiffCompression::deflate, qpbm::TiffCompression::automatic};
            o.tiff_compression = kinds[variant];
            break;
        }
        case 1: {
            o.to = qpbm::Format::png;
            const unsigned levels[] = {0, 1, 6, 9};
            o.png_level = levels[variant];
            break;
        }
        case 2:
            o.to = qpbm::Format::bmp;
            o.bmp_bits = variant & 1 ? 1 : 24;
            break;
        default: o.to = variant & 2 ? qpbm::Format::pdf : qpbm::Format::pbm; o.raw = (variant & 1) != 0;
    }
    const unsigned method = (pick >> 4) & 7;
    o.method =
        method <= static_cast<unsigned>(qpbm::Method::sauvola) ? static_cast<qpbm::Method>(method) : qpbm::Method::luma;
    o.threshold = threshold;
    o.reader_thread = (pick & 0x80) != 0;
    o.max_pixels = qpbm_fuzz::kMaxWrittenPixels;
    return o;
}

bool begins_as(qpbm::Format format, const std::uint8_t* b, std::size_t n, bool raw) {
    if (n < 4) return false;
    switch (format) {
        case qpbm::Format::tiff: return std::memcmp(b, "II*\0", 4) == 0 || std::memcmp(b, "MM\0*", 4) == 0;
        case qpbm::Format::png: return std::memcmp(b, "\x89PNG", 4) == 0;
        case qpbm::Format::bmp: return b[0] == 'B' && b[1] == 'M';
        case qpbm::Format::pdf: return std::memcmp(b, "%PDF", 4) == 0;
        default: return b[0] == 'P' && b[1] == (raw ? '4' : '1');
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool added = qpbm::add_codecs();
    if (!added || size < 3 || size > qpbm_fuzz::kMaxInput) return 0;
    const qpbm::Options options = options_of(data[0], data[1]);
    data += 2, size -= 2;
    if (qpbm::reader_for(data, size) == nullptr) return 0;

    // Into memory, measured first.
    static std::uint8_t memory[qpbm_fuzz::OutputStream::kCapacity];
    qpbm::Facts facts;
    qpbm::Direction direction = qpbm::Direction::detect;
    std::uint64_t needed = 0, written = 0;
    qpbm::Status in_memory = qpbm::measure_memory(direction, data, size, needed, work, facts, options);
    if (in_memory == qpbm::Status::ok) {
        if (needed > sizeof memory) return 0;
        facts = qpbm::Facts{};
        direction = qpbm::Direction::detect;
        in_memory = qpbm::convert_memory(direction, data, size, memory, static_cast<std::size_t>(needed), written, work,
                                         facts, options);
    }
    if (in_memory == qpbm::Status::ok) {
        FUZZ_REQUIRE(written <= needed);
        FUZZ_REQUIRE(begins_as(options.to, memory, static_cast<std::size_t>(written), options.raw));
    } else {
        FUZZ_REQUIRE(written == 0);
    }

    // Into a file that was there before.
    const Paths& p = paths();
    FUZZ_REQUIRE(put(p.in, data, size) && put(p.out, kSentinel, sizeof kSentinel - 1));
    facts = qpbm::Facts{};
    direction = qpbm::Direction::detect;
    const qpbm::Status to_file = qpbm::convert_with(direction, p.in.c_str(), p.out.c_str(), work, facts, options);
    FUZZ_REQUIRE((to_file == qpbm::Status::ok) == (in_memory == qpbm::Status::ok));
    static std::uint8_t file[qpbm_fuzz::OutputStream::kCapacity];
    const std::size_t length = get(p.out, file, sizeof file);
    if (to_file == qpbm::Status::ok) {
        FUZZ_REQUIRE(length == written && (length == 0 || std::memcmp(file, memory, length) == 0));
    } else {
        FUZZ_REQUIRE(length == sizeof kSentinel - 1 && std::memcmp(file, kSentinel, length) == 0);
    }
    return 0;
}

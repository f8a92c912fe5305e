// In-process benchmarks of both conversions through the file-level entry
// point the exports use, and of the pixel loops alone. Inputs are made once
// per run in the temporary directory, with channel values spread around the
// threshold.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "convert/convert.hpp"
#include "library/file_convert.hpp"

namespace {

namespace fs = std::filesystem;

// The inputs' directory, removed when the run ends.
struct WorkDir {
    fs::path path = fs::temp_directory_path() / ("quorvelpbm_bench_" + std::to_string(::getpid()));
    WorkDir() { fs::create_directories(path); }
    ~WorkDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

const fs::path& work_dir() {
    static const WorkDir dir;
    return dir.path;
}

std::vector<std::uint8_t> noisy_bytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::uint32_t state = 12345;
    for (std::uint8_t& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(50 + (state >> 16) % 100);
    }
    return bytes;
}

// A bottom-up BMP of side x side noisy pixels, made on first use.
std::string bmp_of_side(int side) {
    static std::map<int, std::string> made;
    auto [it, fresh] = made.try_emplace(side, (work_dir() / ("in" + std::to_string(side) + ".bmp")).string());
    if (!fresh) return it->second;
    std::uint8_t header[qpbm::kHeadersSize];
    qpbm::encode_bmp_header(header, side, side);
    const std::size_t stride = qpbm::bmp_stride(static_cast<std::uint64_t>(side));
    std::vector<std::uint8_t> pixels = noisy_bytes(stride * static_cast<std::size_t>(side));
    std::FILE* f = std::fopen(it->second.c_str(), "wb");
    std::fwrite(header, 1, sizeof header, f);
    std::fwrite(pixels.data(), 1, pixels.size(), f);
    std::fclose(f);
    return it->second;
}

// The PBM of the same picture, made by the library itself.
std::string pbm_of_side(int side) {
    const std::string pbm = (work_dir() / ("in" + std::to_string(side) + ".pbm")).string();
    if (!fs::exists(pbm)) {
        qpbm::Facts facts;
        qpbm::convert_file(qpbm::Direction::bmp_to_pbm, bmp_of_side(side).c_str(), pbm.c_str(), facts);
    }
    return pbm;
}

// A raw PBM of side x side noisy pixels, made on first use.
std::string raw_pbm_of_side(int side) {
    const std::string pbm = (work_dir() / ("in" + std::to_string(side) + "-raw.pbm")).string();
    if (!fs::exists(pbm)) {
        const std::size_t row_bytes = (static_cast<std::size_t>(side) + 7) / 8;
        const std::vector<std::uint8_t> bits = noisy_bytes(row_bytes * static_cast<std::size_t>(side));
        const std::string header = "P4\n" + std::to_string(side) + " " + std::to_string(side) + "\n";
        std::FILE* f = std::fopen(pbm.c_str(), "wb");
        std::fwrite(header.data(), 1, header.size(), f);
        std::fwrite(bits.data(), 1, bits.size(), f);
        std::fclose(f);
    }
    return pbm;
}

void convert_files(benchmark::State& state, qpbm::Direction direction, const std::string& in) {
    const std::string out = (work_dir() / "out").string();
    const auto pixels = static_cast<double>(state.range(0)) * static_cast<double>(state.range(0));
    for (auto _ : state) {
        qpbm::Facts facts;
        if (qpbm::convert_file(direction, in.c_str(), out.c_str(), facts) != qpbm::Status::ok)
            state.SkipWithError("conversion failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(in)));
    state.counters["pixels"] = benchmark::Counter(pixels, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Bmp2Pbm(benchmark::State& state) {
    convert_files(state, qpbm::Direction::bmp_to_pbm, bmp_of_side(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_Bmp2Pbm)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Pbm2Bmp(benchmark::State& state) {
    convert_files(state, qpbm::Direction::pbm_to_bmp, pbm_of_side(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_Pbm2Bmp)->Arg(1000)->Arg(3000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Pbm2BmpRaw(benchmark::State& state) {
    convert_files(state, qpbm::Direction::pbm_to_bmp, raw_pbm_of_side(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_Pbm2BmpRaw)->Arg(1000)->Arg(3000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The threshold loop on one row of 10,000 pixels, both builds.
template <void (*Tokens)(const std::uint8_t*, std::size_t, char*)>
void BM_PixelTokens(benchmark::State& state) {
    const std::size_t width = 10000;
    const std::vector<std::uint8_t> row = noisy_bytes(width * qpbm::kBytesPerPixel);
    std::vector<char> tokens(width * qpbm::kTokenSize);
    for (auto _ : state) {
        Tokens(row.data(), width, tokens.data());
        benchmark::DoNotOptimize(tokens.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(row.size()));
    state.counters["pixels"] =
        benchmark::Counter(static_cast<double>(width), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_PixelTokens<qpbm::pixel_tokens>)->Name("BM_PixelTokens/dispatched");
BENCHMARK(BM_PixelTokens<qpbm::pixel_tokens_portable>)->Name("BM_PixelTokens/portable");

}  // namespace

BENCHMARK_MAIN();

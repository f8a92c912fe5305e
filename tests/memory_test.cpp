// Conversions in memory against conversions of files: the same bytes, the
// same statuses and facts, the output size known in advance, and a buffer
// too small refused without a byte written.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "library/qpbm.h"
#include "support.hpp"

namespace qpbm_test {
namespace {

struct Outcome {
    qpbm_status status;
    Bytes bytes;
    qpbm_result result;
};

class Work {
public:
    Work() : block_(new unsigned char[qpbm_work_size()]) {}
    void* get() const { return block_.get(); }

private:
    std::unique_ptr<unsigned char[]> block_;
};

Outcome through_files(const Bytes& input, qpbm_direction direction, const qpbm_options& options) {
    TempDir dir;
    write_file(dir.file("in"), input);
    Outcome o{};
    Work work;
    o.status = qpbm_convert_ex(dir.file("in").c_str(), dir.file("out").c_str(), direction, &options, work.get(),
                               qpbm_work_size(), &o.result);
    if (o.status == QPBM_OK) o.bytes = read_file(dir.file("out"));
    return o;
}

// The size first, then a buffer of exactly that size.
Outcome through_memory(const Bytes& input, qpbm_direction direction, const qpbm_options& options) {
    Outcome o{};
    Work work;
    std::uint64_t size = 1;
    o.status = qpbm_output_size(input.data(), input.size(), direction, &options, work.get(), qpbm_work_size(), &size,
                                &o.result);
    if (o.status != QPBM_OK) {
        EXPECT_EQ(size, 0u);
        return o;
    }
    o.bytes.assign(size, 0xA5);
    std::uint64_t written = 0;
    o.status = qpbm_convert_memory(input.data(), input.size(), o.bytes.data(), o.bytes.size(), &written, direction,
                                   &options, work.get(), qpbm_work_size(), &o.result);
    EXPECT_EQ(written, o.status == QPBM_OK ? size : 0u);
    return o;
}

qpbm_options options_with(void (*set)(qpbm_options&)) {
    qpbm_options o;
    qpbm_options_init(&o);
    if (set != nullptr) set(o);
    return o;
}

struct OptionSet {
    const char* name;
    void (*set)(qpbm_options&);
};

const OptionSet kOptionSets[] = {
    {"defaults", nullptr},
    {"raw", [](qpbm_options& o) { o.raw = 1; }},
    {"luma-inverted", [](qpbm_options& o) { o.method = QPBM_METHOD_LUMA, o.threshold = 90, o.invert = 1; }},
    {"floyd-steinberg-raw", [](qpbm_options& o) { o.method = QPBM_METHOD_FLOYD_STEINBERG, o.raw = 1; }},
    {"sauvola", [](qpbm_options& o) { o.method = QPBM_METHOD_SAUVOLA, o.window = 5; }},
    {"1-bit", [](qpbm_options& o) { o.bmp_bits = 1; }},
};

// Pictures laid out here, and every picture kept in the source tree (the
// sample and the fuzzers' regressions, some of which are refused).
std::vector<std::pair<std::string, Bytes>> pictures() {
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    std::vector<std::pair<std::string, Bytes>> all = {
        {"bmp-37x23", make_bmp(37, 23,
                               [](int x, int y) {
                                   return Pixel{static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 11),
                                                static_cast<std::uint8_t>((x + y) * 5)};
                               })},
        {"bmp-top-down",
         make_bmp(5, 3, [](int x, int y) { return (x + y) % 2 ? kWhite : kBlack; }, {.top_down = true})},
        {"bmp-0x4", make_bmp(0, 4, [](int, int) { return kWhite; })},
        {"p1", text("P1\n# a comment\n3 2\n1 0 1\n0 1 0\n")},
        {"p4-9x2", text("P4\n9 2\n\xff\x80\x55\x00")},
        {"p1-7x0", text("P1 7 0 ")},
    };
    // RLE8 4 x 2, black and white palette: bottom row a run of 4 white,
    // top row 2 black then 2 white. Written out of order, as RLE may be.
    Bytes rle = palette_bmp(4, 2, 8, 2, {4, 1, 0, 0, 2, 0, 2, 1, 0, 1}, 1);
    put32(rle, 58, 0x00FFFFFF);
    all.emplace_back("rle8", rle);
    const std::filesystem::path source = QPBM_SOURCE_DIR;
    for (const auto& dir : {source / "examples", source / "fuzz" / "regressions"})
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
            if (entry.is_regular_file() && entry.path().extension() != ".py")
                all.emplace_back(entry.path().filename().string(), read_file(entry.path().string()));
    return all;
}

TEST(Memory, GivesTheFileCallsBytesStatusesAndFactsAndTheSizeInAdvance) {
    for (const auto& [name, input] : pictures()) {
        for (const OptionSet& set : kOptionSets) {
            SCOPED_TRACE(name + " " + set.name);
            const qpbm_options options = options_with(set.set);
            const Outcome file = through_files(input, QPBM_DETECT, options);
            const Outcome memory = through_memory(input, QPBM_DETECT, options);
            EXPECT_EQ(memory.status, file.status);
            EXPECT_TRUE(memory.bytes == file.bytes) << memory.bytes.size() << " bytes, the file " << file.bytes.size();
            EXPECT_EQ(memory.result.direction, file.result.direction);
            EXPECT_EQ(memory.result.width, file.result.width);
            EXPECT_EQ(memory.result.height, file.result.height);
            EXPECT_STREQ(memory.result.format, file.result.format);
            EXPECT_STREQ(memory.result.message, file.result.message);
        }
    }
}

// The size rules, told independently of the library's encoders.
TEST(Memory, OutputSizeFollowsTheHeader) {
    struct Case {
        std::string input;
        void (*set)(qpbm_options&);
        std::uint64_t size;
    };
    const std::uint64_t plain_header = std::strlen("P1\n# Created by Quorvel\n");
    const Bytes bmp = make_bmp(45, 31, [](int, int) { return kWhite; });
    const Case cases[] = {
        {std::string(bmp.begin(), bmp.end()), nullptr, plain_header + 6 + 2 * 45 * 31 + 45 * 31 / 30},
        {std::string(bmp.begin(), bmp.end()), [](qpbm_options& o) { o.raw = 1; }, plain_header + 6 + 6 * 31},
        {"P4\n33 1000\n", nullptr, 54 + 100 * 1000},
        {"P4\n33 1000\n", [](qpbm_options& o) { o.bmp_bits = 1; }, 62 + 8 * 1000},
        {"P4\n2147483647 1\n", [](qpbm_options& o) { o.bmp_bits = 1; }, 62 + 268435456},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 16));
        const qpbm_options options = options_with(c.set);
        std::uint64_t size = 0;
        EXPECT_EQ(qpbm_output_size(c.input.data(), c.input.size(), QPBM_DETECT, &options, nullptr, 0, &size, nullptr),
                  QPBM_OK);
        EXPECT_EQ(size, c.size);
    }
}

TEST(Memory, ABufferTooSmallIsRefusedUntouchedWithTheSizeNeeded) {
    const Bytes input = make_bmp(31, 3, [](int x, int) { return x % 2 ? kWhite : kBlack; });
    std::uint64_t needed = 0;
    ASSERT_EQ(qpbm_output_size(input.data(), input.size(), QPBM_DETECT, nullptr, nullptr, 0, &needed, nullptr),
              QPBM_OK);
    for (const std::uint64_t capacity : {needed - 1, std::uint64_t{1}, std::uint64_t{0}}) {
        SCOPED_TRACE(capacity);
        Bytes buffer(needed + 16, 0x5A);
        std::uint64_t size = 0;
        qpbm_result result;
        EXPECT_EQ(qpbm_convert_memory(input.data(), input.size(), capacity ? buffer.data() : nullptr, capacity, &size,
                                      QPBM_DETECT, nullptr, nullptr, 0, &result),
                  QPBM_EOUTPUT_TOO_SMALL);
        EXPECT_EQ(size, needed);
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0x5A; }));
        EXPECT_NE(std::strstr(result.message, std::to_string(needed).c_str()), nullptr) << result.message;
    }
    // A larger buffer takes the output and leaves the rest alone.
    Bytes buffer(needed + 16, 0x5A);
    std::uint64_t size = 0;
    EXPECT_EQ(qpbm_convert_memory(input.data(), input.size(), buffer.data(), buffer.size(), &size, QPBM_DETECT, nullptr,
                                  nullptr, 0, nullptr),
              QPBM_OK);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer[needed - 2], '1');  // the last pixel, x = 30, is black
    EXPECT_EQ(buffer[needed - 1], ' ');
    EXPECT_TRUE(std::all_of(buffer.begin() + needed, buffer.end(), [](std::uint8_t b) { return b == 0x5A; }));
}

// Every status a memory call can give, each as the file call gives it.
TEST(Memory, RefusesAsTheFileCallsDo) {
    const Bytes bmp = make_bmp(2, 2, [](int, int) { return kWhite; });
    auto with = [&](std::size_t at, std::uint32_t value) {
        Bytes b = bmp;
        put32(b, at, value);
        return b;
    };
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    Bytes wide = make_bmp(1, 1, [](int, int) { return kWhite; });
    put32(wide, 18, 200000);
    wide.resize(54 + stride_of(200000), 0);
    struct Case {
        const char* name;
        Bytes input;
        qpbm_direction direction;
        void (*set)(qpbm_options&);
        qpbm_status status;
    };
    const Case cases[] = {
        {"empty", {}, QPBM_DETECT, nullptr, QPBM_EUNKNOWN_FORMAT},
        {"unknown", text("GIF89a"), QPBM_DETECT, nullptr, QPBM_EUNKNOWN_FORMAT},
        {"not-bmp", text("P1 1 1 0"), QPBM_BMP_TO_PBM, nullptr, QPBM_EBMP_NOT_BMP},
        {"bmp-header-cut", Bytes(bmp.begin(), bmp.begin() + 30), QPBM_DETECT, nullptr, QPBM_EBMP_TRUNCATED_HEADER},
        {"bmp-64-bit", with(28, 64), QPBM_DETECT, nullptr, QPBM_EBMP_UNSUPPORTED},
        {"bmp-header-size", with(14, 20), QPBM_DETECT, nullptr, QPBM_EBMP_BAD_HEADER},
        {"bmp-pixels-cut", Bytes(bmp.begin(), bmp.end() - 5), QPBM_DETECT, nullptr, QPBM_EBMP_TRUNCATED},
        {"too-many-pixels", bmp, QPBM_DETECT, [](qpbm_options& o) { o.max_pixels = 3; }, QPBM_ETOO_MANY_PIXELS},
        {"too-wide", wide, QPBM_DETECT, [](qpbm_options& o) { o.method = QPBM_METHOD_FLOYD_STEINBERG; },
         QPBM_ETOO_WIDE},
        {"not-pbm", bmp, QPBM_PBM_TO_BMP, nullptr, QPBM_EPBM_BAD_MAGIC},
        {"pbm-header", text("P1 x"), QPBM_DETECT, nullptr, QPBM_EPBM_BAD_HEADER},
        {"pbm-header-cut", text("P1\n3"), QPBM_DETECT, nullptr, QPBM_EPBM_TRUNCATED},
        {"pbm-over-4-gib", text("P4 100000 100000\n"), QPBM_DETECT, nullptr, QPBM_EPBM_TOO_LARGE},
        {"bad-option", bmp, QPBM_DETECT, [](qpbm_options& o) { o.bmp_bits = 8; }, QPBM_EINVALID_ARGUMENT},
        {"bad-direction", bmp, static_cast<qpbm_direction>(3), nullptr, QPBM_EINVALID_ARGUMENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qpbm_options options = options_with(c.set);
        const Outcome memory = through_memory(c.input, c.direction, options);
        EXPECT_EQ(memory.status, c.status) << memory.result.message;
        EXPECT_EQ(memory.result.status, c.status);
        EXPECT_EQ(through_files(c.input, c.direction, options).status, c.status);
    }
    // Arguments of the memory calls alone.
    Work work;
    std::uint64_t size = 7;
    Bytes out(4096);
    EXPECT_EQ(qpbm_convert_memory(nullptr, 5, out.data(), out.size(), &size, QPBM_DETECT, nullptr, nullptr, 0, nullptr),
              QPBM_EINVALID_ARGUMENT);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(qpbm_convert_memory(bmp.data(), bmp.size(), nullptr, 5, &size, QPBM_DETECT, nullptr, nullptr, 0, nullptr),
              QPBM_EINVALID_ARGUMENT);
    EXPECT_EQ(qpbm_output_size(bmp.data(), bmp.size(), QPBM_DETECT, nullptr, work.get(), qpbm_work_size() - 1, &size,
                               nullptr),
              QPBM_EINVALID_ARGUMENT);
    EXPECT_EQ(qpbm_convert_memory(bmp.data(), bmp.size(), out.data(), out.size(), nullptr, QPBM_DETECT, nullptr,
                                  nullptr, 0, nullptr),
              QPBM_OK);
}

}  // namespace
}  // namespace qpbm_test

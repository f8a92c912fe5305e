// qpbm_options.cancel: a flag of the caller's that stops a conversion
// between rows with QPBM_ECANCELLED and leaves the output as it was; and
// qpbm_options.progress, told between rows too.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "library/qpbm.h"
#include "support.hpp"

namespace qpbm_test {
namespace {

// The names in a directory.
std::size_t entries(const std::string& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

TEST(ApiCancel, ASetFlagStopsEveryPathAndLeavesTheOutputAsItWas) {
    const Bytes bmp = make_bmp(40, 30, [](int x, int y) { return (x + y) % 3 == 0 ? kWhite : kBlack; });
    const std::string p1 = "P1\n3 2\n0 1 0\n1 0 1\n";
    qpbm_options init;
    qpbm_options_init(&init);
    // A PNG made by the library, read back through the reader thread.
    Bytes png(4096);
    std::uint64_t png_size = 0;
    init.to = QPBM_FORMAT_PNG;
    const bool have_png = qpbm_convert_memory(bmp.data(), bmp.size(), png.data(), png.size(), &png_size, QPBM_DETECT,
                                              &init, nullptr, 0, nullptr) == QPBM_OK;
    png.resize(static_cast<std::size_t>(png_size));
    init.to = QPBM_FORMAT_AUTO;

    struct Case {
        const char* name;
        Bytes input;
        void (*set)(qpbm_options&);
    };
    const Case cases[] = {
        {"bmp-plain-pbm (the token path)", bmp, [](qpbm_options&) {}},
        {"bmp-raw-pbm", bmp, [](qpbm_options& o) { o.raw = 1; }},
        {"bmp-otsu (the histogram's pass)", bmp, [](qpbm_options& o) { o.method = QPBM_METHOD_OTSU; }},
        {"pbm-bmp", Bytes(p1.begin(), p1.end()), [](qpbm_options&) {}},
        {"png-in-a-reader-thread", png, [](qpbm_options& o) { o.flags |= QPBM_FLAG_THREAD, o.to = QPBM_FORMAT_PBM; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.input.empty() && !have_png) continue;  // a build without libspng
        TempDir dir;
        write_file(dir.file("in"), c.input);
        int flag = 0;
        qpbm_options o = init;
        c.set(o);
        o.cancel = &flag;
        qpbm_result r;
        // Unset, the flag changes nothing.
        EXPECT_EQ(qpbm_convert_ex(dir.file("in").c_str(), dir.file("out").c_str(), QPBM_DETECT, &o, nullptr, 0, &r),
                  QPBM_OK)
            << r.message;

        flag = 1;
        write_file(dir.file("out"), kSentinel);
        EXPECT_EQ(qpbm_convert_ex(dir.file("in").c_str(), dir.file("out").c_str(), QPBM_DETECT, &o, nullptr, 0, &r),
                  QPBM_ECANCELLED);
        EXPECT_STREQ(r.message, "the conversion was cancelled");
        EXPECT_EQ(read_text(dir.file("out")), kSentinel);
        EXPECT_EQ(entries(dir.file("")), 2u) << "no temporary file is left";

        Bytes out(1 << 16);
        std::uint64_t size = 1;
        EXPECT_EQ(qpbm_convert_memory(c.input.data(), c.input.size(), out.data(), out.size(), &size, QPBM_DETECT, &o,
                                      nullptr, 0, nullptr),
                  QPBM_ECANCELLED);
        EXPECT_EQ(size, 0u);
    }
    EXPECT_STREQ(qpbm_status_message(QPBM_ECANCELLED), "the conversion was cancelled");
}

// Set by another thread while the rows are read: the call returns before it
// has read them all. The input is a descriptor of the test's, which the call
// reads from its offset, so that the offset tells how far it got (every
// piped input is spooled whole first, and a piped output too).
TEST(ApiCancel, AFlagSetFromAnotherThreadStopsTheRowsInFlight) {
    constexpr int kWidth = 4096;
    constexpr int kHeight = 8192;  // 32 MiB of grey samples
    const std::string header = "P5\n" + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n255\n";
    Bytes pgm(header.begin(), header.end());
    pgm.resize(pgm.size() + std::size_t{kWidth} * kHeight, 0x80);
    constexpr off_t kSetAfter = 1 << 20;

    TempDir dir;
    write_file(dir.file("in.pgm"), pgm);
    const int in = open(dir.file("in.pgm").c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    int flag = 0;
    std::atomic<bool> returned{false};
    std::thread watcher([&] {
        while (!returned.load() && lseek(in, 0, SEEK_CUR) < kSetAfter) std::this_thread::yield();
        __atomic_store_n(&flag, 1, __ATOMIC_RELAXED);
    });
    qpbm_options o;
    qpbm_options_init(&o);
    o.to = QPBM_FORMAT_PBM;
    o.cancel = &flag;
    qpbm_result r;
    const std::string input = "/dev/fd/" + std::to_string(in);
    const qpbm_status status = qpbm_convert_ex(input.c_str(), dir.file("out").c_str(), QPBM_DETECT, &o, nullptr, 0, &r);
    returned = true;
    watcher.join();
    const off_t read_to = lseek(in, 0, SEEK_CUR);
    close(in);
    EXPECT_EQ(status, QPBM_ECANCELLED) << r.message;
    EXPECT_LT(read_to, static_cast<off_t>(pgm.size())) << "the call read every row";
    EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
    EXPECT_EQ(entries(dir.file("")), 1u) << "no temporary file is left";
}

// The progress function hears every hundredth row and the end, in order,
// on the token path, the rows' path, a resize and a method's second pass.
TEST(ApiProgress, ToldInOrderToTheLastRow) {
    const Bytes bmp = make_bmp(30, 450, [](int x, int y) { return (x * y) % 7 == 0 ? kWhite : kBlack; });
    struct Case {
        const char* name;
        void (*set)(qpbm_options&);
        std::uint64_t rows;
    };
    const Case cases[] = {
        {"plain PBM (tokens)", [](qpbm_options&) {}, 450},
        {"raw PBM", [](qpbm_options& o) { o.raw = 1; }, 450},
        {"otsu", [](qpbm_options& o) { o.raw = 1, o.method = QPBM_METHOD_OTSU; }, 450},
        {"half height", [](qpbm_options& o) { o.raw = 1, o.height = 225; }, 450},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> told;
        qpbm_options o;
        qpbm_options_init(&o);
        c.set(o);
        o.progress = [](void* context, std::uint64_t done, std::uint64_t total) {
            static_cast<std::vector<std::pair<std::uint64_t, std::uint64_t>>*>(context)->emplace_back(done, total);
        };
        o.progress_context = &told;
        Bytes out(1 << 16);
        std::uint64_t size = 0;
        ASSERT_EQ(qpbm_convert_memory(bmp.data(), bmp.size(), out.data(), out.size(), &size, QPBM_DETECT, &o, nullptr,
                                      0, nullptr),
                  QPBM_OK);
        ASSERT_GE(told.size(), 50u);
        EXPECT_LE(told.size(), 102u);
        EXPECT_EQ(told.back(), std::make_pair(c.rows, c.rows));
        for (std::size_t i = 1; i < told.size(); ++i) EXPECT_LE(told[i - 1].first, told[i].first) << i;
    }
}

}  // namespace
}  // namespace qpbm_test

// The qpbm C API as a host sees it: a status for every refusal a real input
// can cause, a message that says what was wrong, the facts of each format,
// and conversions on several threads at once.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "library/qpbm.h"
#include "support.hpp"

namespace qpbm_test {
namespace {

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes small_bmp() {
    return make_bmp(2, 2, [](int, int y) { return y == 0 ? kWhite : kBlack; });
}
const std::string kSmallPbm = "P1\n# Created by Quorvel\n2 2\n0 0 1 1 ";

// A BMP whose header field at `offset` is replaced.
Bytes bmp_with(std::size_t offset, std::uint32_t value, int size = 4) {
    Bytes b = small_bmp();
    if (size == 2)
        put16(b, offset, value);
    else
        put32(b, offset, value);
    return b;
}

struct Outcome {
    qpbm_status status;
    qpbm_result result;
};

Outcome convert_api(const std::string& in, const std::string& out, qpbm_direction direction) {
    Outcome o{};
    std::unique_ptr<unsigned char[]> work(new unsigned char[qpbm_work_size()]);
    o.status = qpbm_convert(in.c_str(), out.c_str(), direction, 0, work.get(), qpbm_work_size(), &o.result);
    EXPECT_EQ(o.status, o.result.status);
    return o;
}

TEST(Api, ConvertsBothWaysAndReportsTheFacts) {
    struct Case {
        const char* name;
        Bytes input;
        qpbm_direction asked;
        qpbm_direction taken;
        Bytes expected;
        const char* format;  // how the format read is named: its first word
    };
    const Case cases[] = {
        {"bmp", small_bmp(), QPBM_BMP_TO_PBM, QPBM_BMP_TO_PBM, bytes_of(kSmallPbm), "BMP"},
        {"pbm", bytes_of(kSmallPbm), QPBM_PBM_TO_BMP, QPBM_PBM_TO_BMP, small_bmp(), "PBM"},
        {"bmp-detected", small_bmp(), QPBM_DETECT, QPBM_BMP_TO_PBM, bytes_of(kSmallPbm), "BMP"},
        {"pbm-detected", bytes_of(kSmallPbm), QPBM_DETECT, QPBM_PBM_TO_BMP, small_bmp(), "PBM"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("in"), c.input);
        const Outcome o = convert_api(dir.file("in"), dir.file("out"), c.asked);
        EXPECT_EQ(o.status, QPBM_OK);
        EXPECT_EQ(o.result.direction, c.taken);
        EXPECT_EQ(o.result.width, 2);
        EXPECT_EQ(o.result.height, 2);
        EXPECT_EQ(std::string(o.result.format).substr(0, 3), c.format);
        EXPECT_EQ(o.result.os_error, 0);
        EXPECT_STREQ(o.result.message, "converted");
        EXPECT_EQ(read_file(dir.file("out")), c.expected);
    }
}

// Every refusal a real input can cause: its code, words its message must
// hold, and the errno when an OS error is the cause. The old output survives.
TEST(Api, EveryRefusalHasItsStatusAndASpecificMessage) {
    struct Case {
        const char* name;
        Bytes input;
        qpbm_direction direction;
        qpbm_status status;
        const char* message_holds;
        int os_error = 0;
    };
    Bytes negative_width = bmp_with(18, static_cast<std::uint32_t>(-2));
    Bytes jpeg = bmp_with(30, 4);  // BI_JPEG, with the bit count of 0 that JPEG BMPs carry
    put16(jpeg, 28, 0);
    Bytes truncated = small_bmp();
    truncated.resize(60);
    const Case cases[] = {
        {"not-bmp", bytes_of(kSmallPbm), QPBM_BMP_TO_PBM, QPBM_EBMP_NOT_BMP, "not a BMP"},
        {"short-header", bytes_of("BM\x10"), QPBM_BMP_TO_PBM, QPBM_EBMP_TRUNCATED_HEADER, "short"},
        {"64-bit", bmp_with(28, 64, 2), QPBM_BMP_TO_PBM, QPBM_EBMP_UNSUPPORTED, "64"},
        {"jpeg", jpeg, QPBM_BMP_TO_PBM, QPBM_EBMP_UNSUPPORTED, "JPEG"},
        {"negative-width", negative_width, QPBM_BMP_TO_PBM, QPBM_EBMP_BAD_HEADER, "-2"},
        {"truncated", truncated, QPBM_BMP_TO_PBM, QPBM_EBMP_TRUNCATED, "truncated"},
        {"pbm-magic", bytes_of("P7\n2 2\n"), QPBM_PBM_TO_BMP, QPBM_EPBM_BAD_MAGIC, "P1"},
        {"pbm-sign", bytes_of("P1\n-2 2\n"), QPBM_PBM_TO_BMP, QPBM_EPBM_BAD_HEADER, "width"},
        {"pbm-huge", bytes_of("P1\n99999999999999999999999 1\n"), QPBM_PBM_TO_BMP, QPBM_EPBM_TOO_LARGE, "too large"},
        {"pbm-over-4-gib", bytes_of("P4\n40000 40000\n"), QPBM_PBM_TO_BMP, QPBM_EPBM_TOO_LARGE, "BMP"},
        {"pbm-cut", bytes_of("P1\n12"), QPBM_PBM_TO_BMP, QPBM_EPBM_TRUNCATED, "height"},
        {"neither", bytes_of("hello"), QPBM_DETECT, QPBM_EUNKNOWN_FORMAT, "neither"},
        {"empty", Bytes{}, QPBM_DETECT, QPBM_EUNKNOWN_FORMAT, "neither"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("in"), c.input);
        write_file(dir.file("out"), kSentinel);
        const Outcome o = convert_api(dir.file("in"), dir.file("out"), c.direction);
        EXPECT_EQ(o.status, c.status) << o.result.message;
        EXPECT_NE(std::string(o.result.message).find(c.message_holds), std::string::npos) << o.result.message;
        EXPECT_STRNE(qpbm_status_message(o.status), "unknown status");
        EXPECT_EQ(read_text(dir.file("out")), kSentinel);
    }
}

TEST(Api, FileRefusalsCarryTheirOsError) {
    TempDir dir;
    write_file(dir.file("in.bmp"), small_bmp());
    mkfifo(dir.file("fifo").c_str(), 0600);
    struct Case {
        const char* name;
        std::string in;
        std::string out;
        qpbm_direction direction;
        qpbm_status status;
        int os_error;
    };
    const Case cases[] = {
        {"missing-input", dir.file("missing"), dir.file("o"), QPBM_BMP_TO_PBM, QPBM_EOPEN_INPUT, ENOENT},
        {"input-directory", dir.file(""), dir.file("o"), QPBM_BMP_TO_PBM, QPBM_EOPEN_INPUT, EISDIR},
        {"output-directory-missing", dir.file("in.bmp"), dir.file("no/o"), QPBM_BMP_TO_PBM, QPBM_EOPEN_OUTPUT, ENOENT},
        {"output-is-directory", dir.file("in.bmp"), dir.file(""), QPBM_BMP_TO_PBM, QPBM_EOPEN_OUTPUT, EISDIR},
        {"disk-full", dir.file("in.bmp"), "/dev/full", QPBM_BMP_TO_PBM, QPBM_EWRITE, ENOSPC},
        // Reading /proc/self/mem at offset 0 (unmapped) fails with EIO.
        {"read-error", "/proc/self/mem", dir.file("o"), QPBM_DETECT, QPBM_EREAD, EIO},
        {"same-file", dir.file("in.bmp"), dir.file("in.bmp"), QPBM_BMP_TO_PBM, QPBM_ESAME_FILE, 0},
        {"fifo-without-reader", dir.file("in.bmp"), dir.file("fifo"), QPBM_BMP_TO_PBM, QPBM_ENO_READER, 0},
        {"device-input-undetectable", "/dev/zero", dir.file("o"), QPBM_DETECT, QPBM_EUNDETECTABLE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = convert_api(c.in, c.out, c.direction);
        EXPECT_EQ(o.status, c.status) << o.result.message;
        EXPECT_EQ(o.result.os_error, c.os_error) << o.result.message;
        if (c.os_error != 0) {
            EXPECT_NE(std::string(o.result.message).find(std::strerror(c.os_error)), std::string::npos);
        }
        EXPECT_FALSE(std::filesystem::exists(dir.file("o")));
    }
    EXPECT_EQ(read_file(dir.file("in.bmp")), small_bmp());
}

TEST(Api, InvalidArgumentsAndPaths) {
    TempDir dir;
    write_file(dir.file("in.bmp"), small_bmp());
    const std::string in = dir.file("in.bmp");
    const std::string out = dir.file("out.pbm");
    qpbm_result r{};
    unsigned char small_work[16];
    EXPECT_EQ(qpbm_convert(in.c_str(), out.c_str(), static_cast<qpbm_direction>(7), 0, nullptr, 0, &r),
              QPBM_EINVALID_ARGUMENT);
    EXPECT_EQ(qpbm_convert(in.c_str(), out.c_str(), QPBM_DETECT, 0x80, nullptr, 0, &r), QPBM_EINVALID_ARGUMENT);
    EXPECT_EQ(qpbm_convert(in.c_str(), out.c_str(), QPBM_DETECT, 0, small_work, sizeof small_work, &r),
              QPBM_EINVALID_ARGUMENT);
    // A block at an odd address: large enough, but no malloc gives it.
    std::unique_ptr<unsigned char[]> shifted(new unsigned char[qpbm_work_size() + 1]);
    EXPECT_EQ(qpbm_convert(in.c_str(), out.c_str(), QPBM_DETECT, 0, shifted.get() + 1, qpbm_work_size(), &r),
              QPBM_EINVALID_ARGUMENT);
    EXPECT_EQ(qpbm_convert(nullptr, out.c_str(), QPBM_DETECT, 0, nullptr, 0, &r), QPBM_EINVALID_PATH);
    std::vector<std::uint16_t> lone_surrogate = {'x', 0xD800, 0};
    std::vector<std::uint16_t> out16(out.begin(), out.end());
    out16.push_back(0);
    EXPECT_EQ(qpbm_convert_utf16(lone_surrogate.data(), out16.data(), QPBM_DETECT, 0, nullptr, 0, &r),
              QPBM_EINVALID_PATH);
    EXPECT_FALSE(std::filesystem::exists(out));
    // The same call with a valid UTF-16 input converts.
    std::vector<std::uint16_t> in16(in.begin(), in.end());
    in16.push_back(0);
    EXPECT_EQ(qpbm_convert_utf16(in16.data(), out16.data(), QPBM_DETECT, 0, nullptr, 0, &r), QPBM_OK);
    EXPECT_EQ(read_text(out), kSmallPbm);
}

TEST(Api, VersionAgreesWithTheHeader) {
    EXPECT_STREQ(qpbm_version(), QPBM_VERSION_STRING);
    EXPECT_EQ(qpbm_version_number(), static_cast<unsigned>(QPBM_VERSION_NUMBER));
    EXPECT_GT(qpbm_work_size(), sizeof(qpbm_result));
}

// Different pictures per thread, each thread with its own work block (and
// some with none, sharing the library's): a block used by two calls at once
// would mix their rows.
TEST(Api, ThreadsConvertDifferentFilesAtOnce) {
    constexpr int kThreads = 8;
    constexpr int kSize = 300;
    TempDir dir;
    for (int t = 0; t < kThreads; ++t) write_file(dir.file("in" + std::to_string(t) + ".bmp"), thread_bmp(t, kSize));
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string n = std::to_string(t);
            std::unique_ptr<unsigned char[]> work(new unsigned char[qpbm_work_size()]);
            void* block = t % 4 == 3 ? nullptr : work.get();
            for (int round = 0; round < 3; ++round) {
                failures[t] += qpbm_convert(dir.file("in" + n + ".bmp").c_str(), dir.file("out" + n + ".pbm").c_str(),
                                            QPBM_DETECT, 0, block, qpbm_work_size(), nullptr) != QPBM_OK;
                failures[t] += qpbm_convert(dir.file("out" + n + ".pbm").c_str(), dir.file("back" + n + ".bmp").c_str(),
                                            QPBM_DETECT, 0, block, qpbm_work_size(), nullptr) != QPBM_OK;
            }
        });
    for (auto& t : threads) t.join();
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        EXPECT_EQ(failures[t], 0);
        const std::string n = std::to_string(t);
        EXPECT_EQ(read_text(dir.file("out" + n + ".pbm")), thread_pbm(t, kSize));
        EXPECT_EQ(read_file(dir.file("back" + n + ".bmp")), thread_bmp(t, kSize));
    }
}

// A FIFO path as input, written by another thread: a BMP cannot be read from
// it bottom row first, so it is taken in whole first, with a work block of
// the caller's as much as with the library's own.
TEST(Api, FifoInputsConvertWithAndWithoutAWorkBlock) {
    struct Case {
        const char* name;
        Bytes input;
        qpbm_direction direction;
        Bytes expected;
        bool own_block;
    };
    const Case cases[] = {
        {"bmp-own-block", small_bmp(), QPBM_BMP_TO_PBM, bytes_of(kSmallPbm), true},
        {"bmp-detected-own-block", small_bmp(), QPBM_DETECT, bytes_of(kSmallPbm), true},
        {"pbm-own-block", bytes_of(kSmallPbm), QPBM_PBM_TO_BMP, small_bmp(), true},
        {"bmp-shared", small_bmp(), QPBM_BMP_TO_PBM, bytes_of(kSmallPbm), false},
        {"pbm-detected-shared", bytes_of(kSmallPbm), QPBM_DETECT, small_bmp(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string fifo = dir.file("fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::thread writer([&] { write_file(fifo, c.input); });
        std::unique_ptr<unsigned char[]> work(new unsigned char[qpbm_work_size()]);
        qpbm_result r{};
        const qpbm_status status = qpbm_convert(fifo.c_str(), dir.file("out").c_str(), c.direction, 0,
                                                c.own_block ? work.get() : nullptr, qpbm_work_size(), &r);
        writer.join();
        EXPECT_EQ(status, QPBM_OK) << r.message;
        EXPECT_EQ(read_file(dir.file("out")), c.expected);
    }
}

// Options travel in a struct whose size comes first: an older, shorter one
// takes the defaults for the fields it lacks; a newer, longer one is taken
// when the fields this library does not know are zero. Values out of range
// are refused before any file is touched.
TEST(Api, OptionsGrowWithoutBreakingCallersAndAreChecked) {
    TempDir dir;
    write_file(dir.file("in.bmp"), small_bmp());
    struct Longer {
        qpbm_options known;
        std::uint64_t unknown;
    };
    auto run = [&](const qpbm_options* options) {
        write_file(dir.file("out"), kSentinel);
        qpbm_result result;
        const qpbm_status status = qpbm_convert_ex(dir.file("in.bmp").c_str(), dir.file("out").c_str(), QPBM_BMP_TO_PBM,
                                                   options, nullptr, 0, &result);
        return std::pair{status, read_text(dir.file("out"))};
    };
    qpbm_options o;
    qpbm_options_init(&o);
    o.raw = 1;
    // The top row white, the bottom row black: rows of one byte, 1 black.
    const std::string raw = std::string("P4\n# Created by Quorvel\n2 2\n") + '\x00' + '\xC0';
    EXPECT_EQ(run(&o), (std::pair{QPBM_OK, raw}));
    EXPECT_EQ(run(nullptr), (std::pair{QPBM_OK, kSmallPbm}));
    // Turned a quarter clockwise: the black row becomes the left column.
    o.rotate = 90;
    EXPECT_EQ(run(&o), (std::pair{QPBM_OK, std::string("P4\n# Created by Quorvel\n2 2\n") + '\x80' + '\x80'}));
    o.size = offsetof(qpbm_options, no_auto_orient);  // a caller from before the layout: no turn
    EXPECT_EQ(run(&o), (std::pair{QPBM_OK, raw}));
    o.size = offsetof(qpbm_options, max_pixels);  // a caller that knew only the flags: raw is not read
    EXPECT_EQ(run(&o), (std::pair{QPBM_OK, kSmallPbm}));
    Longer longer{};
    qpbm_options_init(&longer.known);
    longer.known.size = sizeof longer;
    EXPECT_EQ(run(&longer.known).first, QPBM_OK);
    longer.unknown = 1;
    EXPECT_EQ(run(&longer.known), (std::pair{QPBM_EINVALID_ARGUMENT, kSentinel}));

    auto bad = [](void (*set)(qpbm_options&)) {
        qpbm_options b;
        qpbm_options_init(&b);
        set(b);
        return b;
    };
    const qpbm_options refused[] = {
        bad([](qpbm_options& b) { b.bmp_bits = 8; }),
        bad([](qpbm_options& b) { b.method = static_cast<qpbm_method>(QPBM_METHOD_SIERRA_LITE + 1); }),
        bad([](qpbm_options& b) { b.threshold = 256; }),  // channels: 0 to 255
        bad([](qpbm_options& b) { b.method = QPBM_METHOD_LUMA, b.threshold = 257; }),
        bad([](qpbm_options& b) { b.method = QPBM_METHOD_OTSU, b.threshold = 100; }),
        bad([](qpbm_options& b) { b.window = 15; }),  // channels takes no window
        bad([](qpbm_options& b) { b.method = QPBM_METHOD_SAUVOLA, b.window = 16; }),
        bad([](qpbm_options& b) { b.method = QPBM_METHOD_SAUVOLA, b.window = 257; }),
        bad([](qpbm_options& b) { b.flags = 0x80; }),
        bad([](qpbm_options& b) { b.size = 2; }),
        bad([](qpbm_options& b) { b.permissions = 010000; }),
        bad([](qpbm_options& b) { b.rotate = 45; }),
        bad([](qpbm_options& b) { b.rotate = -90; }),
        bad([](qpbm_options& b) { b.dpi_y = 300; }),  // without dpi_x
        bad([](qpbm_options& b) { b.dpi_x = 1000001; }),
    };
    for (const qpbm_options& r : refused) EXPECT_EQ(run(&r), (std::pair{QPBM_EINVALID_ARGUMENT, kSentinel}));

    // A size beyond any struct is refused before a byte past the struct is
    // read: here the struct ends where readable memory does.
    const long page = sysconf(_SC_PAGESIZE);
    void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char*>(pages) + page, page, PROT_NONE), 0);
    auto* last = reinterpret_cast<qpbm_options*>(static_cast<char*>(pages) + page - sizeof(qpbm_options));
    for (const std::size_t size : {std::size_t{4097}, SIZE_MAX}) {
        qpbm_options_init(last);
        last->size = size;
        EXPECT_EQ(run(last), (std::pair{QPBM_EINVALID_ARGUMENT, kSentinel})) << size;
    }
    munmap(pages, 2 * page);
    EXPECT_STREQ(qpbm_status_message(QPBM_ETOO_MANY_PIXELS), "the picture has more pixels than allowed");
}

TEST(Api, PermissionsLimitTheAccessOfANewOrReplacedOutput) {
    TempDir dir;
    write_file(dir.file("in.bmp"), small_bmp());
    const mode_t umask_was = umask(022);
    struct Case {
        unsigned permissions;
        bool replaced;      // an old output, 0664, is there
        unsigned expected;  // the new file's bits
    };
    const Case cases[] = {
        {07777, false, 0644},                      // 0666 less the umask
        {0600, false, 0600},  {0640, true, 0640},  // the old file's 0664, limited
        {0000, false, 0000},  {07777, true, 0664},
    };
    for (const Case& c : cases) {
        const std::string out = dir.file("out.pbm");
        std::remove(out.c_str());
        if (c.replaced) {
            write_file(out, kSentinel);
            chmod(out.c_str(), 0664);
        }
        qpbm_options o;
        qpbm_options_init(&o);
        o.permissions = c.permissions;
        EXPECT_EQ(qpbm_convert_ex(dir.file("in.bmp").c_str(), out.c_str(), QPBM_BMP_TO_PBM, &o, nullptr, 0, nullptr),
                  QPBM_OK);
        struct stat st {};
        ASSERT_EQ(stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected) << std::oct << c.permissions;
    }
    umask(umask_was);
}

}  // namespace
}  // namespace qpbm_test

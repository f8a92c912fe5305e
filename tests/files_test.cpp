// What both directions share: the exports' result and paths, files that
// cannot be opened, an output naming the input, failed writes, and threads.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "library/quorvelpbm.h"
#include "support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Direction;
using qpbm::Status;

const std::string kSmallPbm = "P1\n# Created by Quorvel\n2 1\n0 1 ";
Bytes small_bmp() {
    return make_bmp(2, 1, [](int x, int) { return x == 0 ? kWhite : kBlack; });
}

// The same file name in UTF-8 (for the test's own file calls) and UTF-16.
struct Name {
    const char* utf8;
    const char16_t* utf16;
};

TEST(Exports, ConvertNonAsciiPathsBothWaysAndReturn999) {
    const Name names[] = {
        {"caf\xC3\xA9", u"caf\u00E9"},                  // an accented letter
        {"\xE7\x94\xBB\xE5\x83\x8F", u"\u753B\u50CF"},  // CJK
        {"smile\xF0\x9F\x98\x80", u"smile\U0001F600"},  // astral plane: a surrogate pair
    };
    for (const Name& n : names) {
        SCOPED_TRACE(n.utf8);
        TempDir dir;
        const std::string base = dir.file(n.utf8);
        std::u16string base16;
        for (char c : dir.file("")) base16 += static_cast<char16_t>(c);  // the temp dir is ASCII
        base16 += n.utf16;
        write_file(base + ".bmp", small_bmp());
        EXPECT_EQ(BMP2PBM((base16 + u".bmp").c_str(), (base16 + u".pbm").c_str()), 999);
        EXPECT_EQ(read_text(base + ".pbm"), kSmallPbm);
        EXPECT_EQ(PBM2BMP((base16 + u".pbm").c_str(), (base16 + u"2.bmp").c_str()), 999);
        EXPECT_EQ(read_file(base + "2.bmp"), small_bmp());
    }
}

TEST(Exports, UnusablePathsOpenNothingAndStillReturn999) {
    TempDir dir;
    write_file(dir.file("in.bmp"), small_bmp());
    std::u16string in16, out16;
    for (char c : dir.file("in.bmp")) in16 += static_cast<char16_t>(c);
    for (char c : dir.file("out")) out16 += static_cast<char16_t>(c);
    const std::u16string lone_high = out16 + u'\xD800' + u".pbm";
    const std::u16string lone_low = out16 + u'\xDC00' + u".pbm";
    const std::u16string too_long(5000, u'a');

    EXPECT_EQ(BMP2PBM(nullptr, out16.c_str()), 999);
    EXPECT_EQ(BMP2PBM(in16.c_str(), nullptr), 999);
    EXPECT_EQ(PBM2BMP(nullptr, nullptr), 999);
    EXPECT_EQ(BMP2PBM(in16.c_str(), lone_high.c_str()), 999);
    EXPECT_EQ(BMP2PBM((in16 + u"-missing").c_str(), out16.c_str()), 999);

    qpbm::Facts facts;
    for (const std::u16string* bad : {&lone_high, &lone_low, &too_long})
        EXPECT_EQ(qpbm::convert_wide(Direction::bmp_to_pbm, in16.c_str(), bad->c_str(), facts), Status::invalid_path);
    // Nothing but the input exists afterwards.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1);
}

TEST(Files, InputThatCannotBeOpened) {
    for (Direction d : {Direction::bmp_to_pbm, Direction::pbm_to_bmp}) {
        TempDir dir;
        EXPECT_EQ(convert(d, dir.file("missing"), dir.file("out")), Status::open_input_failed);
        EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
    }
}

TEST(Files, OutputThatCannotBeCreated) {
    TempDir dir;
    write_file(dir.file("in.bmp"), small_bmp());
    EXPECT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("no/such/dir.pbm")),
              Status::open_output_failed);
}

TEST(Files, OutputNamingTheInputIsRefused) {
    struct Case {
        Direction direction;
        Bytes input;
    };
    const Case cases[] = {{Direction::bmp_to_pbm, small_bmp()},
                          {Direction::pbm_to_bmp, Bytes(kSmallPbm.begin(), kSmallPbm.end())}};
    for (const Case& c : cases) {
        TempDir dir;
        write_file(dir.file("in"), c.input);
        std::filesystem::create_symlink(dir.file("in"), dir.file("link"));
        std::filesystem::create_hard_link(dir.file("in"), dir.file("hard"));
        for (const char* out : {"in", "link", "hard"}) {
            SCOPED_TRACE(out);
            EXPECT_EQ(convert(c.direction, dir.file("in"), dir.file(out)), Status::same_file);
            EXPECT_EQ(read_file(dir.file("in")), c.input);
        }
    }
}

// An input given as a pipe, under a name as the library sees it.
class PipeInput {
public:
    explicit PipeInput(const Bytes& bytes) {
        if (pipe(fds_) != 0) return;
        if (write(fds_[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) ADD_FAILURE();
        close(fds_[1]);
    }
    ~PipeInput() { close(fds_[0]); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fds_[0]); }

private:
    int fds_[2] = {-1, -1};
};

// Without a direction, the first bytes choose it: from a file, which is
// looked at in place, and from a pipe, whose bytes must not be lost by looking.
TEST(Files, DirectionFromTheFirstBytesOfAFileOrAPipe) {
    const Bytes bmp = small_bmp();
    const Bytes pbm(kSmallPbm.begin(), kSmallPbm.end());
    struct Case {
        const char* name;
        Bytes input, output;
        bool through_pipe;
    };
    // A BMP is read with seeks, which a pipe does not have.
    const Case cases[] = {
        {"BMP in a file", bmp, pbm, false}, {"PBM in a file", pbm, bmp, false}, {"PBM through a pipe", pbm, bmp, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("in"), c.input);
        const PipeInput piped(c.input);
        EXPECT_EQ(convert(Direction::detect, c.through_pipe ? piped.path() : dir.file("in"), dir.file("out")),
                  Status::ok);
        EXPECT_EQ(read_file(dir.file("out")), c.output);
    }
}

// An input that cannot be read as the converter needs (a BMP through a pipe
// cannot seek) has not become shorter: only a read that met the end has.
TEST(Files, ReadErrorIsNotCalledShrinkingUnlessTheInputEnded) {
    TempDir dir;
    const PipeInput piped(small_bmp());
    qpbm::Facts facts;
    const Status status =
        qpbm::convert_file(Direction::bmp_to_pbm, piped.path().c_str(), dir.file("out").c_str(), facts);
    EXPECT_NE(status, Status::input_shrank);
    if (status == Status::read_failed) {
        EXPECT_NE(facts.os_error, 0);
    }
}

TEST(Files, FailedWriteToADeviceKeepsTheDevice) {
    TempDir dir;
    write_file(dir.file("in.bmp"), make_bmp(100, 100, [](int, int) { return kWhite; }));
    write_file(dir.file("in.pbm"), expected_pbm(100, 100, [](int, int) { return true; }));
    EXPECT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), "/dev/full"), Status::write_failed);
    EXPECT_EQ(convert(Direction::pbm_to_bmp, dir.file("in.pbm"), "/dev/full"), Status::write_failed);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
}

// A file size limit makes the write fail part way; it runs in a child so the
// limit does not outlive the test.
Status convert_with_file_size_limit(Direction d, const std::string& in, const std::string& out, rlim_t limit) {
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit r{limit, limit};
        setrlimit(RLIMIT_FSIZE, &r);
        _exit(static_cast<int>(convert(d, in, out)));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? static_cast<Status>(WEXITSTATUS(status)) : Status::ok;
}

TEST(Files, FailedWriteRemovesThePartialFile) {
    TempDir dir;
    write_file(dir.file("in.bmp"), make_bmp(300, 300, [](int, int) { return kWhite; }));
    write_file(dir.file("in.pbm"), expected_pbm(300, 300, [](int, int) { return true; }));
    EXPECT_EQ(convert_with_file_size_limit(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("out.pbm"), 10000),
              Status::write_failed);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.pbm")));
    EXPECT_EQ(convert_with_file_size_limit(Direction::pbm_to_bmp, dir.file("in.pbm"), dir.file("out.bmp"), 10000),
              Status::write_failed);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.bmp")));
}

TEST(Threads, OverlappingCallsEachWriteTheirOwnPicture) {
    constexpr int kThreads = 4;
    constexpr int kSize = 400;
    TempDir dir;
    for (int t = 0; t < kThreads; ++t) write_file(dir.file("in" + std::to_string(t) + ".bmp"), thread_bmp(t, kSize));
    auto path16 = [&](const std::string& name) {
        std::u16string s;
        for (char c : dir.file(name)) s += static_cast<char16_t>(c);
        return s;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string n = std::to_string(t);
            for (int round = 0; round < 3; ++round) {
                BMP2PBM(path16("in" + n + ".bmp").c_str(), path16("out" + n + ".pbm").c_str());
                PBM2BMP(path16("out" + n + ".pbm").c_str(), path16("back" + n + ".bmp").c_str());
            }
        });
    for (auto& t : threads) t.join();
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        const std::string n = std::to_string(t);
        EXPECT_EQ(read_text(dir.file("out" + n + ".pbm")), thread_pbm(t, kSize));
        EXPECT_EQ(read_file(dir.file("back" + n + ".bmp")), thread_bmp(t, kSize));
    }
}

}  // namespace
}  // namespace qpbm_test

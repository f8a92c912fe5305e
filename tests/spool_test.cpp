// Piped input behind a header, followed by bytes that never end: the header
// is checked as soon as it is in, with the caller's options, in every mode
// (a work block of the caller's or none, a direction or none), and the
// spool keeps no more than the header allows. Each case runs in a child
// with an alarm, so that an endless spool fails its case instead of hanging.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Direction;
using qpbm::Status;

// The headers of a 24-bit BMP of any size, and nothing after them.
Bytes bmp_header(std::uint32_t width, std::uint32_t height) {
    Bytes b = make_bmp(1, 1, [](int, int) { return kWhite; });
    b.resize(54);
    put32(b, 18, width);
    put32(b, 22, height);
    return b;
}

// The writer stops at the first write that fails once the reader is gone:
// all it wrote was kept in the pipe's buffer or the spool.
constexpr std::uint64_t kMostKept = 4u << 20;

struct Case {
    const char* name;
    Direction direction;
    bool own_work;
    std::uint64_t max_pixels;
    Bytes start;
    unsigned char filler;
    Status expected;
    std::string output;  // on success
};

// Runs a conversion of `start` and then `filler` bytes without end through
// a FIFO; 0 when it ended as expected with no more than kMostKept written.
int spool_endless(const Case& c, const TempDir& dir) {
    mkfifo(dir.file("fifo").c_str(), 0600);
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);
        std::signal(SIGPIPE, SIG_IGN);
        std::atomic<std::uint64_t> written{0};
        std::thread writer([&] {
            const int fd = open(dir.file("fifo").c_str(), O_WRONLY);
            const Bytes block(1 << 16, c.filler);
            ssize_t n = write(fd, c.start.data(), c.start.size());
            while (n > 0) {
                written += static_cast<std::uint64_t>(n);
                n = write(fd, block.data(), block.size());
            }
            close(fd);
        });
        qpbm::Options options;
        options.max_pixels = c.max_pixels;
        qpbm::Facts facts;
        Direction d = c.direction;
        static qpbm::Workspace work;
        const Status s =
            c.own_work ? qpbm::convert_with(d, dir.file("fifo").c_str(), dir.file("out").c_str(), work, facts, options)
                       : qpbm::convert_shared(d, dir.file("fifo").c_str(), dir.file("out").c_str(),
                                              qpbm::static_workspace(Direction::detect), facts, options);
        writer.join();
        if (s != c.expected) _exit(1);
        if (s == Status::ok && read_text(dir.file("out")) != c.output) _exit(2);
        _exit(written <= kMostKept ? 0 : 3);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Spool, EndlessPipesAreKeptOnlyAsFarAsTheirHeaderAllows) {
    const Bytes one_white = make_bmp(1, 1, [](int, int) { return kWhite; });
    const std::string white_pbm = expected_pbm(1, 1, [](int, int) { return true; });
    const std::string black_pbm = expected_pbm(1, 1, [](int, int) { return false; });
    const Bytes rle = palette_bmp(1, 1, 8, 2, {}, 1);  // RLE8, a black palette
    // A 1 x 1 24-bit BMP: pixels are blue, green, red, then padding to 4.
    const std::string one_black_bmp = [] {
        const Bytes b = make_bmp(1, 1, [](int, int) { return kBlack; });
        return std::string(b.begin(), b.end());
    }();
    const std::string one_white_bmp(one_white.begin(), one_white.end());
    const Bytes plain = {'P', '1', '\n', '1', ' ', '1', '\n'};
    const Bytes raw = {'P', '4', '\n', '1', ' ', '1', '\n', 0x00};
    // White space and comments between the pixels, which the spool drops.
    const std::string spaced = "P1\n2 2 # size\n0 # a comment\n 1\n\t0\n1";
    const Bytes checks = make_bmp(2, 2, [](int x, int) { return x == 0 ? kWhite : kBlack; });
    const Case cases[] = {
        {"plain PBM with comments between pixels", Direction::detect, false, 0, Bytes(spaced.begin(), spaced.end()),
         '0', Status::ok, std::string(checks.begin(), checks.end())},
        // The direction is detected: a PBM's header is checked too, and its
        // pixels end the spool. "1" is black, and so is every byte but '0'.
        {"plain PBM, detected", Direction::detect, true, 0, plain, '0', Status::ok, one_white_bmp},
        {"plain PBM, no work block", Direction::pbm_to_bmp, false, 0, plain, '1', Status::ok, one_black_bmp},
        // The header's bytes end in the height's digits: they may go on.
        {"a height continued by what follows", Direction::detect, true, 0, Bytes{'P', '1', '\n', '1', ' ', '1'}, '0',
         Status::pbm_number_too_large, ""},
        {"raw PBM, no work block", Direction::pbm_to_bmp, false, 0, raw, 0xFF, Status::ok, one_white_bmp},
        {"RLE 1 x 1", Direction::bmp_to_pbm, true, 0, rle, 0x05, Status::ok, black_pbm},
        {"RLE 1 x 1, no work block", Direction::detect, false, 0, rle, 0x05, Status::ok, black_pbm},
        {"2^31 - 1 square, 100 pixels allowed", Direction::bmp_to_pbm, true, 100, bmp_header(2147483647, 2147483647), 0,
         Status::too_many_pixels, ""},
        {"2^31 - 1 square, no work block", Direction::detect, false, 100, bmp_header(2147483647, 2147483647), 0,
         Status::too_many_pixels, ""},
        {"4000 x 4000, 1000 pixels allowed", Direction::bmp_to_pbm, true, 1000, bmp_header(4000, 4000), 0,
         Status::too_many_pixels, ""},
        {"a whole BMP, no work block", Direction::bmp_to_pbm, false, 0, one_white, 0, Status::ok, white_pbm},
        {"no pixels at all", Direction::bmp_to_pbm, false, 0, bmp_header(0, 1000000000), 0, Status::ok,
         expected_pbm(0, 1000000000, [](int, int) { return true; })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const int code = spool_endless(c, dir);
        EXPECT_EQ(code, 0) << (code == 128 + SIGALRM ? "still spooling" : code == 3 ? "kept too much" : "");
    }
}

}  // namespace
}  // namespace qpbm_test

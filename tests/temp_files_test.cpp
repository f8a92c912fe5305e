// The temporary files of the output layer: names taken by others, and
// messages that name $TMPDIR when it is the temporary directory that fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Direction;
using qpbm::Status;

// Another process with our PID (in another container on the same volume)
// holds the names this one would give its temporary files: each is passed
// over for the next. Directories, which no stale-file search removes.
TEST(TempNames, NamesTakenByAnotherProcessAreRetried) {
    TempDir dir;
    const Bytes bmp = make_bmp(3, 2, [](int x, int y) { return (x + y) % 2 ? kWhite : kBlack; });
    write_file(dir.file("in.bmp"), bmp);
    const std::string prefix = ".quorvelpbm-" + std::to_string(getpid()) + "-";
    for (int n = 0; n < 40; ++n) ASSERT_EQ(mkdir(dir.file(prefix + std::to_string(n) + ".tmp").c_str(), 0700), 0);
    for (const char* out : {"a.pbm", "b.pbm"}) {
        SCOPED_TRACE(out);
        write_file(dir.file(out), kSentinel);  // replaced, so the temporary file gets a name
        EXPECT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file(out)), Status::ok);
        EXPECT_EQ(read_text(dir.file(out)), expected_pbm(3, 2, [](int x, int y) { return (x + y) % 2 == 1; }));
    }
}

// An output written in place, or to a pipe, goes through a temporary file in
// $TMPDIR first. When that directory cannot take it, the message names it,
// not the output (which was never touched) or the input.
TEST(TempDirectory, AnUnusableTmpdirIsNamedAsSuch) {
    TempDir dir;
    write_file(dir.file("in.bmp"), make_bmp(4, 2, [](int x, int) { return x % 2 ? kWhite : kBlack; }));
    write_file(dir.file("out.pbm"), kSentinel);
    const std::string missing = dir.file("no such directory");
    const char* before = std::getenv("TMPDIR");
    const std::string saved = before != nullptr ? before : "";
    setenv("TMPDIR", missing.c_str(), 1);
    // A link to a descriptor: written in place, through a temporary file.
    const int target = open(dir.file("out.pbm").c_str(), O_RDWR);
    ASSERT_GE(target, 0);
    const std::string link = dir.file("link.pbm");
    ASSERT_EQ(symlink(("/proc/self/fd/" + std::to_string(target)).c_str(), link.c_str()), 0);
    qpbm::Facts facts;
    const Status status = qpbm::convert_file(Direction::bmp_to_pbm, dir.file("in.bmp").c_str(), link.c_str(), facts);
    char message[256];
    qpbm::describe_status(status, facts, message, sizeof message);
    if (before != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    close(target);
    EXPECT_EQ(status, Status::open_output_failed);
    EXPECT_EQ(std::string(message), "cannot write a temporary file in " + missing + ": No such file or directory");
    EXPECT_EQ(read_text(dir.file("out.pbm")), kSentinel);
}

}  // namespace
}  // namespace qpbm_test

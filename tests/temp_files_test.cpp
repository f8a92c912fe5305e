// The temporary files of the output layer: names taken by others, and
// messages that name $TMPDIR when it is the temporary directory that fails.
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace
}  // namespace qpbm_test

// The in-place copy (a target that can be written but not replaced) on a
// small file system: a full disk refuses before the old bytes change, and a
// kill part way leaves a file whose head is blank, which no reader takes
// for a picture and an update run converts again. Needs root for the mounts; each case runs in a child
// process with a mount namespace of its own.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "support.hpp"

namespace qpbm_test {
namespace {

using qpbm::Direction;
using qpbm::Status;

constexpr int kSkip = 254;

// Runs `body` in a child with its own mount namespace and `dir`/small a
// tmpfs of `size`; the child's exit code is what `body` returns, kSkip
// where no mount can be made.
int with_small_disk(const TempDir& dir, const char* size, const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(60);
        mkdir(dir.file("small").c_str(), 0755);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir.file("small").c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) != 0)
            _exit(kSkip);
        _exit(body());
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A path that reaches `target` through a descriptor link, which the output
// layer writes in place: the same fallback as another user's file in a
// sticky directory, without a second user.
std::string in_place_path(const TempDir& dir, const std::string& target) {
    const int fd = open(target.c_str(), O_RDWR);
    const std::string link = dir.file("small/link.pbm");
    unlink(link.c_str());
    symlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link.c_str());
    return link;
}

const Bytes& big_bmp() {  // its PBM takes 2 MB
    static const Bytes bmp = make_bmp(1000, 1000, [](int x, int y) { return (x ^ y) & 4 ? kWhite : kBlack; });
    return bmp;
}

const std::string& big_pbm() {
    static const std::string pbm = expected_pbm(1000, 1000, [](int x, int y) { return ((x ^ y) & 4) != 0; });
    return pbm;
}

// Filled up to `left` free bytes, a target with the sentinel, converted in
// place: a disk too small for the output refuses before the copy, and one
// large enough takes it.
TEST(InPlaceDisk, AFullDiskRefusesBeforeTheOldBytesChange) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a small file system";
    struct Case {
        const char* name;
        const char* disk;
        Status expected;
    };
    const Case cases[] = {
        {"no room for the output", "1m", Status::space_not_reserved},
        {"room enough", "4m", Status::ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("in.bmp"), big_bmp());
        const int code = with_small_disk(dir, c.disk, [&] {
            const std::string target = dir.file("small/out.pbm");
            write_file(target, kSentinel);
            const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};  // 2001
            utimensat(AT_FDCWD, target.c_str(), past, 0);
            qpbm::Facts facts;
            const Status s = qpbm::convert_file(Direction::bmp_to_pbm, dir.file("in.bmp").c_str(),
                                                in_place_path(dir, target).c_str(), facts);
            const std::string now = read_text(target);
            struct stat st {};
            if (s != c.expected || stat(target.c_str(), &st) != 0) return 1;
            if (s == Status::ok) return now == big_pbm() ? 0 : 2;
            char said[256];
            qpbm::describe_status(s, facts, said, sizeof said);  // the disk's fault, not in place's
            if (std::string(said).find("no room on its disk") == std::string::npos) return 4;
            // Its times too: the file is as it was, and an update finds it as old.
            return facts.os_error == ENOSPC && now == kSentinel && st.st_mtim.tv_sec == past[1].tv_sec ? 0 : 3;
        });
        if (code == kSkip) GTEST_SKIP() << "no mount namespace here";
        EXPECT_EQ(code, 0);
    }
}

// The copy is stopped by a kill after its first piece (the target's head and
// then the spool, on a watched file system, are read a piece at a time):
// the target is part new, and its head must still be blank.
TEST(InPlaceDisk, AKillPartWayLeavesATargetWithABlankHead) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount and watch a file system";
    TempDir dir;
    write_file(dir.file("in.bmp"), big_bmp());
    const int code = with_small_disk(dir, "16m", [&] {
        const int fan = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
        if (fan < 0) return kSkip;
        const std::string target = dir.file("small/out.pbm");
        write_file(target, kSentinel);
        mkdir(dir.file("small/tmp").c_str(), 0700);
        setenv("TMPDIR", dir.file("small/tmp").c_str(), 1);
        if (fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_ACCESS_PERM, AT_FDCWD, dir.file("small").c_str()) !=
            0)
            return kSkip;
        const std::string out = in_place_path(dir, target);
        const pid_t converter = fork();
        if (converter == 0) _exit(static_cast<int>(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), out)));
        // The target's head is read first, then the spool, only by the
        // copy: the spool's second read comes after its first piece is in
        // the target.
        int reads = 0;
        int status = 0;
        while (waitpid(converter, &status, WNOHANG) != converter) {
            pollfd p{fan, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            alignas(fanotify_event_metadata) char buffer[4096];
            const ssize_t n = read(fan, buffer, sizeof buffer);
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = n; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
                if (++reads == 3) kill(converter, SIGKILL);
                const fanotify_response allow{event->fd, FAN_ALLOW};
                write(fan, &allow, sizeof allow);
                close(event->fd);
            }
        }
        close(fan);                          // before this process reads the watched files itself
        if (!WIFSIGNALED(status)) return 4;  // the copy ended in one read: the test cannot cut it
        const std::string left = read_text(target);
        if (left == kSentinel) return 6;                       // the kill came before the copy began
        if (left.size() < 512 || left == big_pbm()) return 5;  // not part way
        return left.find_first_not_of('\0') >= 512 ? 0 : 1;
    });
    if (code == kSkip) GTEST_SKIP() << "no mount namespace or fanotify here";
    EXPECT_EQ(code, 0);
}

// A full $TMPDIR, where a piped input is kept and an in-place output is
// written first, is named as such: not as a read error of the input, nor as
// a failure of the output, which is left as it was.
TEST(InPlaceDisk, AFullTmpdirIsNamedAsSuch) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a small file system";
    struct Case {
        const char* name;
        bool piped;  // else written in place
        Status expected;
    };
    const Case cases[] = {{"a piped input", true, Status::read_failed},
                          {"an output written in place", false, Status::write_failed}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("in.bmp"), big_bmp());  // 3 MB, and 2 MB of PBM
        write_file(dir.file("out.pbm"), kSentinel);
        ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
        const int code = with_small_disk(dir, "256k", [&] {
            setenv("TMPDIR", dir.file("small").c_str(), 1);
            std::signal(SIGPIPE, SIG_IGN);
            if (c.piped) {
                std::thread([&] { write_file(dir.file("fifo"), big_bmp()); }).detach();
            }
            const int target = open(dir.file("out.pbm").c_str(), O_RDWR);
            const std::string out = dir.file("link.pbm");
            symlink(("/proc/self/fd/" + std::to_string(target)).c_str(), out.c_str());
            qpbm::Facts facts;
            const Status s = qpbm::convert_file(Direction::bmp_to_pbm, dir.file(c.piped ? "fifo" : "in.bmp").c_str(),
                                                c.piped ? dir.file("out.pbm").c_str() : out.c_str(), facts);
            char message[256];
            qpbm::describe_status(s, facts, message, sizeof message);
            const std::string expected =
                "cannot write a temporary file in " + dir.file("small") + ": No space left on device";
            if (s != c.expected) return 1;
            if (message != expected) return 2;
            return read_text(dir.file("out.pbm")) == kSentinel ? 0 : 3;
        });
        if (code == kSkip) GTEST_SKIP() << "no mount namespace here";
        EXPECT_EQ(code, 0);
    }
}

}  // namespace
}  // namespace qpbm_test

// Faults around the converters: writes that fail or are killed part way,
// writers racing for one output, inputs and outputs that block, refusals that
// must not read on, small thread stacks and SIGPIPE. Whatever can crash, hang
// or change process-wide state runs in a child process (with an alarm) or on a
// thread with a deadline, so that a regression fails its test instead of
// hanging or killing the test program.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "library/output_file.hpp"
#include "library/qpbm.h"
#include "library/quorvelpbm.h"
#include "support.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define QPBM_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QPBM_TEST_ASAN 1
#endif
#endif

namespace qpbm_test {
namespace {

using qpbm::Direction;
using qpbm::Status;
using Clock = std::chrono::steady_clock;

// ---- helpers --------------------------------------------------------------

// How a child process ended.
struct Ending {
    bool exited = false;
    int code = -1;   // exit code, when exited
    int signal = 0;  // the signal that ended it, otherwise
};

// Runs `body` in a child process whose exit code is what `body` returns. An
// alarm ends a child that hangs: it then reports SIGALRM.
Ending run_child(const std::function<int()>& body, unsigned alarm_seconds = 30) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(alarm_seconds);
        _exit(body());
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    Ending e;
    e.exited = WIFEXITED(status);
    if (e.exited) e.code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) e.signal = WTERMSIG(status);
    return e;
}

// A child that ran one conversion and exited with its status.
Status status_of(const Ending& e) { return e.exited ? static_cast<Status>(e.code) : Status::ok; }

// The file size limit makes writes past `limit` bytes fail with EFBIG.
void limit_file_size(rlim_t limit) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit r{limit, limit};
    setrlimit(RLIMIT_FSIZE, &r);
}

// The names in `dir` that a temporary output file would have.
std::vector<std::string> temp_files(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".quorvelpbm-", 0) == 0) names.push_back(name);
    }
    return names;
}

const char* name_of(Direction d) {
    return d == Direction::bmp_to_pbm ? "BMP to PBM" : d == Direction::pbm_to_bmp ? "PBM to BMP" : "detected";
}

std::u16string utf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// A picture given by which pixels are white, with the BMP and the PBM that
// the format rules give for it.
struct Picture {
    int width, height;
    std::function<bool(int, int)> white;
    Bytes bmp() const {
        return make_bmp(width, height, [&](int x, int y) { return white(x, y) ? kWhite : kBlack; });
    }
    std::string pbm() const { return expected_pbm(width, height, white); }
};

Picture pattern(int width, int height, int seed) {
    return {width, height, [seed](int x, int y) { return (x * (seed + 1) + y * (seed + 3)) % (seed + 2) == 0; }};
}

// A thread whose end the test waits for with a deadline, and which a test
// can always unblock afterwards.
class Worker {
public:
    explicit Worker(std::function<void()> body)
        : thread_([this, body = std::move(body)] {
              body();
              done_ = true;
          }) {}
    ~Worker() {
        if (thread_.joinable()) thread_.join();
    }
    bool finishes_within(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!done_ && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return done_;
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

constexpr auto kPrompt = std::chrono::milliseconds(5000);  // hang detection, not a speed check

// ---- cleanup removes nothing but what it wrote ------------------------------

TEST(FailedWrite, ThroughASymlinkKeepsTheLinkAndTheTargetsBytes) {
    TempDir dir;
    write_file(dir.file("in.bmp"), pattern(300, 300, 1).bmp());
    write_file(dir.file("target.pbm"), kSentinel);
    std::filesystem::create_symlink("target.pbm", dir.file("link.pbm"));
    const Ending e = run_child([&] {
        limit_file_size(10000);
        return static_cast<int>(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("link.pbm")));
    });
    EXPECT_EQ(status_of(e), Status::write_failed);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.pbm")));
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("link.pbm")), "target.pbm");
    EXPECT_EQ(read_text(dir.file("target.pbm")), kSentinel);
    EXPECT_TRUE(temp_files(dir.file("")).empty());
}

TEST(FailedWrite, ThroughAHardLinkBothNamesKeepTheirBytes) {
    TempDir dir;
    write_file(dir.file("in.bmp"), pattern(300, 300, 1).bmp());
    write_file(dir.file("out.pbm"), kSentinel);
    std::filesystem::create_hard_link(dir.file("out.pbm"), dir.file("other.pbm"));
    const Ending e = run_child([&] {
        limit_file_size(10000);
        return static_cast<int>(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("out.pbm")));
    });
    EXPECT_EQ(status_of(e), Status::write_failed);
    EXPECT_EQ(read_text(dir.file("out.pbm")), kSentinel);
    EXPECT_EQ(read_text(dir.file("other.pbm")), kSentinel);
    EXPECT_TRUE(temp_files(dir.file("")).empty());
}

// "/dev/stdout" is descriptor 1 as the shell left it, never a path that is
// looked up or truncated: '>>' appends, '{ echo HEADER; ...; } >' keeps the
// header, and a failed write leaves the file as it was before the call.
TEST(FailedWrite, DevStdoutIsDescriptorOneAtItsOffset) {
    TempDir dir;
    const Picture picture = pattern(300, 300, 2);
    write_file(dir.file("in.bmp"), picture.bmp());
    struct Case {
        const char* name;
        int flags;               // how the shell opened the file
        const char* earlier;     // written to descriptor 1 before the call
        rlim_t file_size_limit;  // 0: none
        Status expected;
    };
    const Case cases[] = {
        {"> out", O_TRUNC, "", 0, Status::ok},
        {">> log", O_APPEND, "", 0, Status::ok},
        {"{ echo HEADER; ...; } > f", O_TRUNC, "HEADER\n", 0, Status::ok},
        {"> out, disk full", O_TRUNC, "", 10000, Status::write_failed},
        {">> log, disk full", O_APPEND, "", 10000, Status::write_failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir.file("out"), kSentinel);
        const std::string before = (c.flags & O_APPEND) != 0 ? kSentinel + std::string(c.earlier) : c.earlier;
        const Ending e = run_child([&] {
            const int fd = open(dir.file("out").c_str(), O_WRONLY | c.flags);
            if (fd < 0 || dup2(fd, 1) < 0) return 255;
            if (write(1, c.earlier, std::strlen(c.earlier)) < 0) return 255;
            if (c.file_size_limit != 0) limit_file_size(c.file_size_limit);
            return static_cast<int>(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), "/dev/stdout"));
        });
        EXPECT_EQ(status_of(e), c.expected);
        EXPECT_EQ(read_text(dir.file("out")), c.expected == Status::ok ? before + picture.pbm() : before);
    }
}

// ---- a failure part way leaves the previous output as it was ----------------

TEST(FailedWrite, PreviousOutputSurvivesRefusalsAndFailuresPartWay) {
    const Picture picture = pattern(300, 300, 3);
    const Bytes bmp = picture.bmp();
    const std::string pbm = picture.pbm();
    Bytes truncated_bmp = bmp;
    truncated_bmp.resize(bmp.size() / 2);
    struct Case {
        const char* name;
        Direction direction;
        Bytes input;
        rlim_t file_size_limit;  // 0: none
        Status expected;
    };
    const Case cases[] = {
        {"BMP to PBM, disk full", Direction::bmp_to_pbm, bmp, 10000, Status::write_failed},
        {"PBM to BMP, disk full", Direction::pbm_to_bmp, Bytes(pbm.begin(), pbm.end()), 10000, Status::write_failed},
        {"BMP to PBM, disk full at the header", Direction::bmp_to_pbm, bmp, 1, Status::write_failed},
        {"truncated BMP refused", Direction::bmp_to_pbm, truncated_bmp, 0, Status::bmp_pixels_truncated},
        {"not a PBM refused", Direction::pbm_to_bmp, Bytes{'X', 'X', '\n'}, 0, Status::pbm_bad_magic},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("in"), c.input);
        write_file(dir.file("out"), kSentinel);
        const Ending e = run_child([&] {
            if (c.file_size_limit != 0) limit_file_size(c.file_size_limit);
            return static_cast<int>(convert(c.direction, dir.file("in"), dir.file("out")));
        });
        EXPECT_EQ(status_of(e), c.expected);
        EXPECT_EQ(read_text(dir.file("out")), kSentinel);
        EXPECT_TRUE(temp_files(dir.file("")).empty());
    }
}

// fanotify holds every read of the input until the test answers it, so the
// input can be cut short between two reads of the conversion, after its size
// was checked. Needs CAP_SYS_ADMIN.
TEST(FailedWrite, InputThatShrinksMidwayLeavesThePreviousOutput) {
    const int fan = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
    if (fan < 0) GTEST_SKIP() << "fanotify permission events need CAP_SYS_ADMIN: " << std::strerror(errno);
    TempDir dir;
    const Picture picture = pattern(1000, 1000, 4);  // 3 MB of rows: several block reads
    write_file(dir.file("in.bmp"), picture.bmp());
    write_file(dir.file("out.pbm"), kSentinel);
    ASSERT_EQ(fanotify_mark(fan, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, dir.file("in.bmp").c_str()), 0)
        << std::strerror(errno);

    const pid_t child = fork();
    if (child == 0) {
        alarm(30);
        _exit(static_cast<int>(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("out.pbm"))));
    }
    // Reads 1 and 2 take the headers and (perhaps) the size; from the third
    // on, the pixels. Cut the file to its first half before the fourth.
    int reads = 0;
    int status = 0;
    for (;;) {
        pollfd p{fan, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            alignas(fanotify_event_metadata) char buffer[4096];
            const ssize_t n = read(fan, buffer, sizeof buffer);
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = n; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
                if (++reads == 4) truncate(dir.file("in.bmp").c_str(), static_cast<off_t>(picture.bmp().size() / 2));
                const fanotify_response allow{event->fd, FAN_ALLOW};
                write(fan, &allow, sizeof allow);
                close(event->fd);
            }
        }
        if (waitpid(child, &status, WNOHANG) == child) break;
    }
    close(fan);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    ASSERT_GE(reads, 4) << "the conversion read its input in fewer reads than the test assumes";
    EXPECT_EQ(static_cast<Status>(WEXITSTATUS(status)), Status::input_shrank);
    EXPECT_EQ(read_text(dir.file("out.pbm")), kSentinel);
    EXPECT_TRUE(temp_files(dir.file("")).empty());
}

// ---- what replacing keeps -------------------------------------------------

// A file its writer may not write stays as it is, although the directory
// would allow replacing it, as fopen would refuse it. Run as another user,
// since root may write anything.
TEST(Replace, ReadOnlyTargetIsRefusedNotReplaced) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to become another user";
    TempDir dir;
    write_file(dir.file("in.bmp"), pattern(20, 10, 2).bmp());
    write_file(dir.file("locked.pbm"), kSentinel);
    chmod(dir.file("locked.pbm").c_str(), 0444);
    chmod(dir.file("").c_str(), 0777);
    chmod(dir.file("in.bmp").c_str(), 0644);
    const Ending e = run_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
        qpbm::Facts facts;
        const Status s = qpbm::convert_file(Direction::bmp_to_pbm, dir.file("in.bmp").c_str(),
                                            dir.file("locked.pbm").c_str(), facts);
        return s == Status::open_output_failed && facts.os_error == EACCES ? 0 : 1;
    });
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(read_text(dir.file("locked.pbm")), kSentinel);
    EXPECT_TRUE(temp_files(dir.file("")).empty());
}

TEST(Replace, KeepsPermissionBitsAndWritesThroughSymlinks) {
    TempDir dir;
    const Picture picture = pattern(40, 30, 5);
    write_file(dir.file("in.bmp"), picture.bmp());
    auto mode_of = [](const std::string& path) { return std::filesystem::status(path).permissions(); };
    using P = std::filesystem::perms;

    // An existing target keeps its bits, whatever the umask.
    write_file(dir.file("kept.pbm"), kSentinel);
    chmod(dir.file("kept.pbm").c_str(), 0640);
    // A new file gets 0666 less the umask, as fopen would create it.
    const Ending e = run_child([&] {
        umask(027);
        const Status kept = convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("kept.pbm"));
        const Status fresh = convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("new.pbm"));
        return kept == Status::ok && fresh == Status::ok ? 0 : 1;
    });
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(mode_of(dir.file("kept.pbm")), P::owner_read | P::owner_write | P::group_read);
    EXPECT_EQ(mode_of(dir.file("new.pbm")), P::owner_read | P::owner_write | P::group_read);
    EXPECT_EQ(read_text(dir.file("kept.pbm")), picture.pbm());

    // Through a chain of links, relative and absolute, to a file in another
    // directory: the final target is replaced, every link stays a link.
    std::filesystem::create_directory(dir.file("sub"));
    write_file(dir.file("sub/target.pbm"), kSentinel);
    chmod(dir.file("sub/target.pbm").c_str(), 0600);
    std::filesystem::create_symlink("sub/target.pbm", dir.file("relative.pbm"));
    std::filesystem::create_symlink(dir.file("relative.pbm"), dir.file("absolute.pbm"));
    ASSERT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("absolute.pbm")), Status::ok);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("absolute.pbm")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("relative.pbm")));
    EXPECT_EQ(read_text(dir.file("sub/target.pbm")), picture.pbm());
    EXPECT_EQ(mode_of(dir.file("sub/target.pbm")), P::owner_read | P::owner_write);

    // A dangling link creates its target.
    std::filesystem::create_symlink("sub/made.pbm", dir.file("dangling.pbm"));
    ASSERT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("dangling.pbm")), Status::ok);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("dangling.pbm")));
    EXPECT_EQ(read_text(dir.file("sub/made.pbm")), picture.pbm());
    EXPECT_TRUE(temp_files(dir.file("")).empty());
    EXPECT_TRUE(temp_files(dir.file("sub")).empty());
}

// ---- what the kernel allows, the layer allows ------------------------------

constexpr uid_t kNobody = 65534;
constexpr uid_t kOtherUser = 65533;

// Makes this (child) process another user, with `group` as its only group.
bool become(uid_t user, gid_t group) { return setgroups(1, &group) == 0 && setgid(group) == 0 && setuid(user) == 0; }

// Sets a sysctl for the scope, and puts it back.
class Sysctl {
public:
    Sysctl(const char* path, const char* value) : path_(path) {
        std::getline(std::ifstream(path_), old_);
        set_ = !old_.empty() && (std::ofstream(path_) << value << std::flush);
    }
    ~Sysctl() {
        if (set_) std::ofstream(path_) << old_ << std::flush;
    }
    bool set() const { return set_; }

private:
    std::string path_, old_;
    bool set_ = false;
};

// Another user's link in a sticky world-writable directory is refused by
// fs.protected_symlinks, for root too, as the shell's '>' is.
TEST(Links, ProtectedSymlinksAreRefusedAsTheKernelRefusesThem) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to own a link as another user";
    const Sysctl protect("/proc/sys/fs/protected_symlinks", "1");
    if (!protect.set()) GTEST_SKIP() << "fs.protected_symlinks cannot be set here (a container's read-only /proc/sys)";
    TempDir dir;
    write_file(dir.file("in.bmp"), pattern(20, 10, 1).bmp());
    write_file(dir.file("precious.conf"), kSentinel);
    std::filesystem::create_directory(dir.file("tmp"));
    chmod(dir.file("tmp").c_str(), 01777);
    std::filesystem::create_symlink(dir.file("precious.conf"), dir.file("tmp/report.pbm"));
    ASSERT_EQ(lchown(dir.file("tmp/report.pbm").c_str(), kNobody, kNobody), 0);
    qpbm::Facts facts;
    EXPECT_EQ(qpbm::convert_file(Direction::bmp_to_pbm, dir.file("in.bmp").c_str(), dir.file("tmp/report.pbm").c_str(),
                                 facts),
              Status::open_output_failed);
    EXPECT_EQ(facts.os_error, EACCES);
    EXPECT_EQ(read_text(dir.file("precious.conf")), kSentinel);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("tmp/report.pbm")));
}

// A POSIX ACL as its extended attribute holds it: a version, then entries of
// tag, permissions and id, all little-endian.
Bytes acl(std::initializer_list<std::array<std::uint32_t, 3>> entries) {
    Bytes b(4);
    put32(b, 0, 2);
    for (const auto& [tag, perm, id] : entries) {
        b.resize(b.size() + 8);
        put16(b, b.size() - 8, tag);
        put16(b, b.size() - 6, perm);
        put32(b, b.size() - 4, id);
    }
    return b;
}

Bytes xattr_of(const std::string& path, const char* name) {
    Bytes value(256);
    const ssize_t n = getxattr(path.c_str(), name, value.data(), value.size());
    value.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return value;
}

// The replacement has the old file's access and attributes: an ACL whose
// mask shows more than its group may do stays, so the group gains nothing; a
// user attribute stays; another owner's file keeps owner and group.
TEST(Replace, KeepsAclExtendedAttributesOwnerAndGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to become another user";
    constexpr std::uint32_t kUserObj = 0x01, kGroupObj = 0x04, kGroup = 0x08, kMask = 0x10, kOther = 0x20;
    constexpr std::uint32_t kAnyone = 0xFFFFFFFF;
    const Bytes group_reads = acl({{kUserObj, 6, kAnyone},
                                   {kGroupObj, 4, kAnyone},
                                   {kGroup, 4, kNobody},
                                   {kMask, 6, kAnyone},
                                   {kOther, 0, kAnyone}});
    TempDir dir;
    const Picture picture = pattern(40, 30, 7);
    write_file(dir.file("in.bmp"), picture.bmp());
    write_file(dir.file("acl.pbm"), kSentinel);
    if (setxattr(dir.file("acl.pbm").c_str(), "system.posix_acl_access", group_reads.data(), group_reads.size(), 0) !=
        0)
        GTEST_SKIP() << "no ACLs on this file system: " << std::strerror(errno);
    ASSERT_EQ(setxattr(dir.file("acl.pbm").c_str(), "user.origin", "scanner", 7, 0), 0);
    ASSERT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("acl.pbm")), Status::ok);
    EXPECT_EQ(read_text(dir.file("acl.pbm")), picture.pbm());
    EXPECT_EQ(xattr_of(dir.file("acl.pbm"), "system.posix_acl_access"), group_reads);
    EXPECT_EQ(xattr_of(dir.file("acl.pbm"), "user.origin"), (Bytes{'s', 'c', 'a', 'n', 'n', 'e', 'r'}));

    // Written by a member of the file's group who is not its owner.
    write_file(dir.file("shared.pbm"), kSentinel);
    ASSERT_EQ(chown(dir.file("shared.pbm").c_str(), kNobody, kNobody), 0);
    chmod(dir.file("shared.pbm").c_str(), 0664);
    chmod(dir.file("").c_str(), 0777);
    chmod(dir.file("in.bmp").c_str(), 0644);
    const Ending e = run_child([&] {
        if (!become(kOtherUser, kNobody)) return 255;
        return static_cast<int>(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("shared.pbm")));
    });
    EXPECT_EQ(status_of(e), Status::ok);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("shared.pbm").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    EXPECT_EQ(read_text(dir.file("shared.pbm")), picture.pbm());
}

// Where the target cannot be replaced but can be written, it is: another
// user's file in a sticky directory (the rename is refused), and a file
// bind-mounted over another (the rename is busy).
TEST(InPlace, RefusedRenamesFallBackToACopyInPlace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to become another user and to mount";
    TempDir dir;
    const Picture picture = pattern(40, 30, 8);
    write_file(dir.file("in.bmp"), picture.bmp());
    chmod(dir.file("").c_str(), 0755);
    chmod(dir.file("in.bmp").c_str(), 0644);
    std::filesystem::create_directory(dir.file("sticky"));
    chmod(dir.file("sticky").c_str(), 01777);
    write_file(dir.file("sticky/theirs.pbm"), kSentinel);
    ASSERT_EQ(chown(dir.file("sticky/theirs.pbm").c_str(), kNobody, kNobody), 0);
    chmod(dir.file("sticky/theirs.pbm").c_str(), 0666);
    const Ending sticky = run_child([&] {
        if (!become(kOtherUser, kOtherUser)) return 255;
        return static_cast<int>(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("sticky/theirs.pbm")));
    });
    EXPECT_EQ(status_of(sticky), Status::ok);
    EXPECT_EQ(read_text(dir.file("sticky/theirs.pbm")), picture.pbm());
    struct stat st {};
    ASSERT_EQ(stat(dir.file("sticky/theirs.pbm").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_TRUE(temp_files(dir.file("sticky")).empty());

    write_file(dir.file("mounted.pbm"), kSentinel);
    write_file(dir.file("source.pbm"), kSentinel);
    const Ending bind = run_child([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 254;
        if (mount(dir.file("source.pbm").c_str(), dir.file("mounted.pbm").c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 254;
        const Status s = convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("mounted.pbm"));
        return s == Status::ok && read_text(dir.file("mounted.pbm")) == picture.pbm() ? 0 : 1;
    });
    if (bind.code == 254) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(bind.code, 0);
    EXPECT_EQ(read_text(dir.file("source.pbm")), picture.pbm());  // written through the mount
}

// In place, the conversion goes to a temporary file first: a kill while it
// runs leaves the old output whole. The input is a raw PBM on a FIFO, read as
// the output is written, and the kill comes with half of its rows sent.
TEST(InPlace, AKillDuringTheConversionLeavesTheOldOutput) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to become a user who cannot write the directory";
    constexpr int kSide = 2000;
    TempDir dir;
    chmod(dir.file("").c_str(), 0755);  // root's: the other user can make no file here
    ASSERT_EQ(mkfifo(dir.file("in.pbm").c_str(), 0666), 0);
    write_file(dir.file("out.bmp"), kSentinel);
    ASSERT_EQ(chown(dir.file("out.bmp").c_str(), kOtherUser, kOtherUser), 0);
    const pid_t child = fork();
    if (child == 0) {
        alarm(30);
        if (!become(kOtherUser, kOtherUser)) _exit(255);
        std::vector<unsigned char> work(qpbm_work_size());
        _exit(static_cast<int>(qpbm_convert(dir.file("in.pbm").c_str(), dir.file("out.bmp").c_str(), QPBM_PBM_TO_BMP, 0,
                                            work.data(), work.size(), nullptr)));
    }
    const std::string header = "P4\n" + std::to_string(kSide) + " " + std::to_string(kSide) + "\n";
    const std::string half_the_rows(kSide / 8 * kSide / 2, '\x55');
    const int fifo = open(dir.file("in.pbm").c_str(), O_WRONLY);
    ASSERT_GE(fifo, 0);
    // Past the pipe's buffer: the conversion is reading rows when this returns.
    ASSERT_EQ(write(fifo, header.data(), header.size()), static_cast<ssize_t>(header.size()));
    ASSERT_EQ(write(fifo, half_the_rows.data(), half_the_rows.size()), static_cast<ssize_t>(half_the_rows.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(fifo);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the conversion ended before the kill: " << status;
    EXPECT_EQ(read_text(dir.file("out.bmp")), kSentinel);
}

// ---- stale temporary files ----------------------------------------------------

// Only a file of exactly the generated form, of this user, whose run is
// provably gone (its lock can be taken) is removed. A live run's file, seen
// from another PID namespace or another machine (a PID that is not running
// here), is locked and stays.
TEST(StaleTemps, OnlyUnlockedFilesOfTheGeneratedFormAndOurUserGo) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to give a file to another user";
    qpbm::forget_scanned_directories();
    TempDir dir;
    write_file(dir.file("in.bmp"), pattern(20, 10, 1).bmp());
    const std::string dead = ".quorvelpbm-999999999-0.tmp";  // no such process, no lock: ours to remove
    const std::string thesis = ".quorvelpbm-31000-thesis draft.tmp";
    const std::string theirs = ".quorvelpbm-999999998-0.tmp";
    const std::string live = ".quorvelpbm-999999997-0.tmp";  // locked by a run elsewhere
    for (const std::string& name : {dead, thesis, theirs, live}) write_file(dir.file(name), kSentinel);
    ASSERT_EQ(chown(dir.file(theirs).c_str(), kNobody, kNobody), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = open(dir.file(live).c_str(), O_RDWR);
        if (fd >= 0 && flock(fd, LOCK_EX) == 0) write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("out.pbm")), Status::ok);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    std::vector<std::string> left = temp_files(dir.file(""));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{thesis, live, theirs}));
    EXPECT_EQ(read_text(dir.file(thesis)), kSentinel);
}

// A spooled pipe goes where $TMPDIR says, as the tool's does.
TEST(StaleTemps, SpooledInputsFollowTmpdir) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const Bytes bmp = pattern(20, 10, 1).bmp();
    const Ending e = run_child([&] {
        setenv("TMPDIR", dir.file("missing").c_str(), 1);
        std::thread writer([&] { write_file(dir.file("fifo"), bmp); });
        qpbm::Facts facts;
        const Status s =
            qpbm::convert_file(Direction::bmp_to_pbm, dir.file("fifo").c_str(), dir.file("out.pbm").c_str(), facts);
        writer.detach();
        return s == Status::read_failed && facts.os_error == ENOENT ? 0 : 1;
    });
    EXPECT_EQ(e.code, 0);
}

// ---- kills and concurrent writers -----------------------------------------

// A 9-megapixel conversion killed at a random moment, twenty times, over a
// complete output of another picture of the same size: the output path holds
// the old bytes or the new ones, never a mixture or a prefix.
void sigkill_part_way() {
    TempDir dir;
    const Picture picture = pattern(3000, 3000, 6);
    const Picture previous{3000, 3000, [&](int x, int y) { return !picture.white(x, y); }};
    write_file(dir.file("in.bmp"), picture.bmp());
    const std::string new_bytes = picture.pbm();
    const std::string old_bytes = previous.pbm();
    auto start = [&] {
        const pid_t child = fork();
        if (child == 0)
            _exit(static_cast<int>(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("out.pbm"))));
        return child;
    };

    // One whole run sets the range of the kill delays.
    write_file(dir.file("out.pbm"), old_bytes);
    const auto began = Clock::now();
    int status = 0;
    waitpid(start(), &status, 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(read_text(dir.file("out.pbm")), new_bytes);

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> delay(0, whole.count());
    int kept_old = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        write_file(dir.file("out.pbm"), old_bytes);
        const pid_t child = start();
        std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        const std::string now = read_text(dir.file("out.pbm"));
        const bool is_old = now == old_bytes;
        kept_old += is_old;
        ASSERT_TRUE(is_old || now == new_bytes)
            << "the output is neither the old nor the new file (" << now.size() << " bytes)";
    }
    ::testing::Test::RecordProperty("kills_that_left_the_old_output", kept_old);

    write_file(dir.file("out.pbm"), old_bytes);
    ASSERT_EQ(convert(Direction::bmp_to_pbm, dir.file("in.bmp"), dir.file("out.pbm")), Status::ok);
    EXPECT_EQ(read_text(dir.file("out.pbm")), new_bytes);
    EXPECT_EQ(temp_files(dir.file("")), std::vector<std::string>{});
}

TEST(Kill, SigkillPartWayLeavesTheOldOrTheNewOutput) { sigkill_part_way(); }

// The same where temporary files have names from the start (file systems
// without unnamed ones): a killed run leaves its file, and the next run
// removes it, since its process is gone.
TEST(Kill, NamedTemporaryFilesOfKilledRunsAreRemovedByTheNextRun) {
    struct NamedTemps {
        NamedTemps() {
            qpbm::use_named_temp_files(true);
            qpbm::forget_scanned_directories();  // a new directory may reuse an old one's inode
        }
        ~NamedTemps() { qpbm::use_named_temp_files(false); }
    } named;
    sigkill_part_way();
}

// Four processes convert four pictures to one path at the same moment, three
// times: each round ends with one complete picture, and no leftovers.
TEST(Concurrent, FourWritersLeaveExactlyOneCompleteOutput) {
    constexpr int kWriters = 4;
    TempDir dir;
    std::vector<std::string> expected;
    for (int w = 0; w < kWriters; ++w) {
        const Picture picture = pattern(1500, 1000, 10 + w);
        write_file(dir.file("in" + std::to_string(w) + ".bmp"), picture.bmp());
        expected.push_back(picture.pbm());
    }
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        std::vector<pid_t> children;
        for (int w = 0; w < kWriters; ++w) {
            const pid_t child = fork();
            if (child == 0) {
                alarm(30);
                close(go[1]);
                char byte;
                while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
                }  // the end of the pipe: everyone starts
                _exit(static_cast<int>(
                    convert(Direction::bmp_to_pbm, dir.file("in" + std::to_string(w) + ".bmp"), dir.file("out.pbm"))));
            }
            children.push_back(child);
        }
        close(go[0]);
        close(go[1]);
        for (pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        }
        const std::string result = read_text(dir.file("out.pbm"));
        EXPECT_EQ(std::count(expected.begin(), expected.end(), result), 1)
            << "the output is none of the four pictures (" << result.size() << " bytes)";
        EXPECT_EQ(temp_files(dir.file("")), std::vector<std::string>{});
    }
}

// ---- no lock held across a blocking call ------------------------------------

// Runs an action when its scope ends: declared after the workers a test
// starts, it unblocks them before they are joined, whatever failed.
class AtScopeEnd {
public:
    explicit AtScopeEnd(std::function<void()> action) : action_(std::move(action)) {}
    ~AtScopeEnd() { action_(); }
    AtScopeEnd(const AtScopeEnd&) = delete;
    AtScopeEnd& operator=(const AtScopeEnd&) = delete;

private:
    std::function<void()> action_;
};

class Blocking : public ::testing::Test {
protected:
    void SetUp() override {
        const Picture picture = pattern(200, 100, 7);
        write_file(dir.file("in.pbm"), picture.pbm());
        expected_bmp = picture.bmp();
        ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
        // A call that waited for a reader of the FIFO may write to it after
        // the test's reader has gone: a failed write, not the end of the test.
        std::signal(SIGPIPE, SIG_IGN);
    }
    // While another call is blocked, a PBM2BMP on ordinary files, on a
    // thread of its own, must finish. `unblock` then ends the blocked call.
    void expect_ordinary_call_finishes(std::function<void()> unblock) {
        Worker other([&] { PBM2BMP(utf16(dir.file("in.pbm")).c_str(), utf16(dir.file("out.bmp")).c_str()); });
        const AtScopeEnd release(std::move(unblock));
        const bool finished = other.finishes_within(kPrompt);
        EXPECT_TRUE(finished) << "a blocked call holds up the others";
        if (finished) {
            EXPECT_EQ(read_file(dir.file("out.bmp")), expected_bmp);
        }
    }
    TempDir dir;
    Bytes expected_bmp;
};

TEST_F(Blocking, InputFifoWithNoWriterDoesNotHoldUpOtherCalls) {
    Worker blocked([&] { PBM2BMP(utf16(dir.file("fifo")).c_str(), utf16(dir.file("blocked.bmp")).c_str()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it reach the FIFO
    // A writer that comes and goes ends the blocked call: an empty input.
    expect_ordinary_call_finishes([&] { close(open(dir.file("fifo").c_str(), O_RDWR)); });
    EXPECT_TRUE(blocked.finishes_within(kPrompt));
    EXPECT_FALSE(std::filesystem::exists(dir.file("blocked.bmp")));
}

// A writer that sent the first line and stalls: the read of the rest may wait,
// but not while holding what other calls need.
TEST_F(Blocking, StalledFifoInputDoesNotHoldUpOtherCalls) {
    const int writer = open(dir.file("fifo").c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "P1\n", 3), 3);
    Worker blocked([&] { PBM2BMP(utf16(dir.file("fifo")).c_str(), utf16(dir.file("blocked.bmp")).c_str()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    expect_ordinary_call_finishes([&] { close(writer); });  // the input ends within its header: refused
    EXPECT_TRUE(blocked.finishes_within(kPrompt));
    EXPECT_FALSE(std::filesystem::exists(dir.file("blocked.bmp")));
}

// A reader that opened the output FIFO and reads nothing: the write may wait,
// but not while holding what other calls need, and the reader then gets the
// whole BMP.
TEST_F(Blocking, StalledFifoReaderDoesNotHoldUpOtherCalls) {
    const Picture picture = pattern(400, 300, 3);  // a BMP larger than a pipe holds
    write_file(dir.file("big.pbm"), picture.pbm());
    const int reader = open(dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Worker blocked([&] { PBM2BMP(utf16(dir.file("big.pbm")).c_str(), utf16(dir.file("fifo")).c_str()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Bytes received;
    expect_ordinary_call_finishes([&] {
        for (const auto deadline = Clock::now() + kPrompt; Clock::now() < deadline;) {
            char block[65536];
            const ssize_t n = read(reader, block, sizeof block);
            if (n > 0) received.insert(received.end(), block, block + n);
            if (n == 0) break;  // the writer closed
            if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        close(reader);
    });
    EXPECT_TRUE(blocked.finishes_within(kPrompt));
    EXPECT_EQ(received, picture.bmp());
}

TEST_F(Blocking, OutputFifoWithNoReaderIsRefusedPromptly) {
    Status status = Status::ok;
    Worker direct([&] {
        qpbm::Facts facts;
        status = qpbm::convert_file(Direction::pbm_to_bmp, dir.file("in.pbm").c_str(), dir.file("fifo").c_str(), facts);
    });
    Worker exported([&] { PBM2BMP(utf16(dir.file("in.pbm")).c_str(), utf16(dir.file("fifo")).c_str()); });
    // Whatever still waits for a reader gets one, which takes all it is given.
    auto drain = [&] {
        const int reader = open(dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK);
        for (const auto deadline = Clock::now() + kPrompt; reader >= 0 && Clock::now() < deadline;) {
            char sink[65536];
            const bool ended = read(reader, sink, sizeof sink) == 0;
            if (ended && direct.finishes_within(std::chrono::milliseconds(0)) &&
                exported.finishes_within(std::chrono::milliseconds(0)))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (reader >= 0) close(reader);
    };
    const AtScopeEnd release(drain);
    const bool prompt = direct.finishes_within(kPrompt);
    EXPECT_TRUE(prompt) << "the call waits for a reader";
    if (prompt) {
        EXPECT_EQ(status, Status::output_no_reader);
    }
    EXPECT_TRUE(exported.finishes_within(kPrompt)) << "the export waits for a reader";
    expect_ordinary_call_finishes(drain);
}

// ---- bounded reads ---------------------------------------------------------

TEST(BoundedReads, DevZeroIsRefusedPromptly) {
    for (Direction d : {Direction::pbm_to_bmp, Direction::bmp_to_pbm}) {
        SCOPED_TRACE(name_of(d));
        TempDir dir;
        const Ending e =
            run_child([&] { return static_cast<int>(convert(d, "/dev/zero", dir.file("out"))); }, /*alarm=*/10);
        EXPECT_TRUE(e.exited) << "ended by signal " << e.signal << (e.signal == SIGALRM ? " (hung)" : "");
        EXPECT_NE(status_of(e), Status::ok);
        EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
    }
}

// The first byte decides: an input that starts "XX" is refused without
// waiting for the rest of a FIFO whose writer stays open and idle.
// A piped BMP followed by bytes that never end: a header refused is refused
// as soon as it is in, and a good one is kept only as far as its pixels go,
// so the conversion ends while the writer still writes.
TEST(BoundedReads, EndlessPipedBmpsAreSpooledOnlyAsFarAsTheirHeader) {
    const Picture picture = pattern(40, 30, 3);
    Bytes bad_header = picture.bmp();
    put32(bad_header, 14, 7);  // an information header of 7 bytes
    struct Case {
        const char* name;
        Bytes start;
        Direction direction;
        Status expected;
    };
    const Case cases[] = {
        {"BM and zeros", Bytes{'B', 'M'}, Direction::bmp_to_pbm, Status::bmp_bad_header_size},
        {"a bad header, detected", bad_header, Direction::detect, Status::bmp_bad_header_size},
        {"a whole picture", picture.bmp(), Direction::bmp_to_pbm, Status::ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
        const Ending e = run_child([&] {
            std::signal(SIGPIPE, SIG_IGN);
            std::thread([&] {
                const int fd = open(dir.file("fifo").c_str(), O_WRONLY);
                const Bytes zeros(1 << 16);
                bool open = write(fd, c.start.data(), c.start.size()) > 0;
                while (open) open = write(fd, zeros.data(), zeros.size()) > 0;
                close(fd);
            }).detach();
            std::vector<unsigned char> work(qpbm_work_size());
            const qpbm_direction d = c.direction == Direction::detect ? QPBM_DETECT : QPBM_BMP_TO_PBM;
            const qpbm_status s = qpbm_convert(dir.file("fifo").c_str(), dir.file("out.pbm").c_str(), d, 0, work.data(),
                                               work.size(), nullptr);
            const bool right = c.expected == Status::ok
                                   ? s == QPBM_OK && read_text(dir.file("out.pbm")) == picture.pbm()
                                   : s == QPBM_EBMP_BAD_HEADER;
            return right ? 0 : 1;
        });
        EXPECT_TRUE(e.exited) << "still spooling: signal " << e.signal;
        EXPECT_EQ(e.code, 0);
    }
}

TEST(BoundedReads, FifoStartingWithXXIsRefusedWithoutWaitingForMore) {
    struct Case {
        Direction direction;
        Status expected;
    };
    const Case cases[] = {{Direction::pbm_to_bmp, Status::pbm_bad_magic},
                          {Direction::detect, Status::unknown_format},
                          {Direction::bmp_to_pbm, Status::bmp_not_bmp}};
    for (const Case& c : cases) {
        SCOPED_TRACE(name_of(c.direction));
        TempDir dir;
        ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
        const int writer = open(dir.file("fifo").c_str(), O_RDWR);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(write(writer, "XX", 2), 2);
        Status status = Status::ok;
        Worker call([&] {
            qpbm::Facts facts;
            status = qpbm::convert_file(c.direction, dir.file("fifo").c_str(), dir.file("out").c_str(), facts);
        });
        const bool prompt = call.finishes_within(kPrompt);
        EXPECT_TRUE(prompt) << "the refusal waits for more input";
        close(writer);
        EXPECT_TRUE(call.finishes_within(kPrompt));
        if (prompt) {
            EXPECT_EQ(status, c.expected);
        }
        EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
    }
}

// How many bytes this process has read, all files together.
long long bytes_read_so_far() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = -1;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return -1;
}

// Large inputs refused by their first bytes: a refusal may read the 64 KiB
// that everything before the raster is allowed, plus a block, never the file.
TEST(BoundedReads, RefusalReadsNoMoreThanTheHeaderCap) {
    if (bytes_read_so_far() < 0) GTEST_SKIP() << "no /proc/self/io";
    constexpr long long kAllowed = 64 * 1024 + 64 * 1024;
    constexpr off_t kHundredMegabytes = 100ll << 20;
    constexpr off_t kTwoGigabytes = 2ll << 30;
    struct Case {
        const char* name;
        Direction direction;
        std::string start;  // the rest of the file is zero bytes, sparse
        off_t size;
    };
    const Case cases[] = {
        {"XX, as PBM", Direction::pbm_to_bmp, "XX", kHundredMegabytes},
        {"XX, as BMP", Direction::bmp_to_pbm, "XX", kHundredMegabytes},
        {"XX, detected", Direction::detect, "XX", kHundredMegabytes},
        {"a comment that never ends", Direction::pbm_to_bmp, "P1\n#", kTwoGigabytes},
        {"P1 then zero bytes", Direction::pbm_to_bmp, "P1", kTwoGigabytes},
        {"a dimension line of zero bytes", Direction::pbm_to_bmp, "P1\n# c\n", kTwoGigabytes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        {
            const int fd = open(dir.file("in").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(ftruncate(fd, c.size), 0);
            ASSERT_EQ(pwrite(fd, c.start.data(), c.start.size(), 0), static_cast<ssize_t>(c.start.size()));
            close(fd);
        }
        const Ending e = run_child(
            [&] {
                const long long before = bytes_read_so_far();
                const Status status = convert(c.direction, dir.file("in"), dir.file("out"));
                const long long read = bytes_read_so_far() - before;
                if (status == Status::ok) return 1;
                return read <= kAllowed ? 0 : 2;
            },
            /*alarm=*/20);
        EXPECT_TRUE(e.exited) << "ended by signal " << e.signal;
        EXPECT_NE(e.code, 1) << "converted";
        EXPECT_NE(e.code, 2) << "read more than " << kAllowed << " bytes before refusing";
        EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
    }
}

// ---- stack -----------------------------------------------------------------

// One conversion, through an export or through the C API with a work block of
// its own, and the check that its output is what the format rules give.
struct StackCase {
    const char* name;
    std::function<bool()> run;  // false when the call reports a failure
    std::function<bool()> output_is_right;
};

class Stack : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(dir.file("in.bmp"), picture.bmp());
        write_file(dir.file("in.pbm"), picture.pbm());
    }
    std::vector<StackCase> cases() {
        const std::string bmp = dir.file("in.bmp"), pbm = dir.file("in.pbm");
        const std::string out_pbm = dir.file("out.pbm"), out_bmp = dir.file("out.bmp");
        auto is_pbm = [this, out_pbm] { return read_text(out_pbm) == picture.pbm(); };
        auto is_bmp = [this, out_bmp] { return read_file(out_bmp) == picture.bmp(); };
        // The paths are converted here: only the conversion runs on the small stack.
        auto bmp16 = std::make_shared<std::u16string>(utf16(bmp));
        auto pbm16 = std::make_shared<std::u16string>(utf16(pbm));
        auto out_pbm16 = std::make_shared<std::u16string>(utf16(out_pbm));
        auto out_bmp16 = std::make_shared<std::u16string>(utf16(out_bmp));
        unsigned char* block = work.data();
        const std::size_t size = work.size();
        return {
            {"BMP2PBM", [=] { return BMP2PBM(bmp16->c_str(), out_pbm16->c_str()) == 999; }, is_pbm},
            {"PBM2BMP", [=] { return PBM2BMP(pbm16->c_str(), out_bmp16->c_str()) == 999; }, is_bmp},
            {"qpbm_convert, BMP to PBM",
             [=] {
                 return qpbm_convert(bmp.c_str(), out_pbm.c_str(), QPBM_BMP_TO_PBM, 0, block, size, nullptr) == QPBM_OK;
             },
             is_pbm},
            {"qpbm_convert, PBM to BMP",
             [=] {
                 return qpbm_convert(pbm.c_str(), out_bmp.c_str(), QPBM_PBM_TO_BMP, 0, block, size, nullptr) == QPBM_OK;
             },
             is_bmp},
        };
    }
    TempDir dir;
    Picture picture = pattern(333, 222, 8);
    std::vector<unsigned char> work = std::vector<unsigned char>(qpbm_work_size());
};

// Runs a conversion on a thread; records the frame address the thread began at.
struct OnThread {
    const StackCase* conversion;
    bool ok = false;
    std::uintptr_t entry = 0;
};

void* run_on_thread(void* arg) {
    auto* t = static_cast<OnThread*>(arg);
    t->entry = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    t->ok = t->conversion->run();
    return nullptr;
}

TEST_F(Stack, ConversionsRunOnA16KiBThread) {
    for (const StackCase& c : cases()) {
        SCOPED_TRACE(c.name);
        const Ending e = run_child([&] {
            pthread_attr_t attr;
            pthread_attr_init(&attr);
            if (pthread_attr_setstacksize(&attr, 16 * 1024) != 0) return 3;
            OnThread t{&c};
            pthread_t thread;
            if (pthread_create(&thread, &attr, run_on_thread, &t) != 0) return 4;
            pthread_join(thread, nullptr);
            return t.ok && c.output_is_right() ? 0 : 1;
        });
        EXPECT_TRUE(e.exited) << "ended by signal " << e.signal << (e.signal == SIGSEGV ? " (stack overflow)" : "");
        EXPECT_EQ(e.code, 0);
    }
}

// The conversion runs on a stack the test owns, filled with a pattern; the
// stack it used is the distance from the thread's first frame down to the
// lowest byte that no longer holds the pattern.
TEST_F(Stack, AConversionUsesLessThan8KiB) {
#if defined(QPBM_TEST_ASAN)
    GTEST_SKIP() << "AddressSanitizer's frames are larger and partly elsewhere";
#endif
    constexpr std::size_t kSize = 256 * 1024;
    constexpr unsigned char kFill = 0xA5;
    for (const StackCase& c : cases()) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.run() && c.output_is_right());  // a first call: lazy binding and stdio set-up
        void* stack = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(stack, MAP_FAILED);
        std::memset(stack, kFill, kSize);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        ASSERT_EQ(pthread_attr_setstack(&attr, stack, kSize), 0);
        OnThread t{&c};
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &attr, run_on_thread, &t), 0);
        pthread_join(thread, nullptr);
        const auto* bytes = static_cast<const unsigned char*>(stack);
        std::size_t untouched = 0;
        while (untouched < kSize && bytes[untouched] == kFill) ++untouched;
        const std::uintptr_t lowest = reinterpret_cast<std::uintptr_t>(bytes + untouched);
        munmap(stack, kSize);
        EXPECT_TRUE(t.ok && c.output_is_right());
        ASSERT_GT(t.entry, lowest);
        const std::size_t used = t.entry - lowest;
        std::printf("%s: %zu bytes of stack\n", c.name, used);
        EXPECT_LT(used, 8u * 1024) << c.name << " used " << used << " bytes of stack";
    }
}

// ---- SIGPIPE ---------------------------------------------------------------

// In a child with SIGPIPE at its default: the output is a pipe whose reader
// takes one byte and goes away while the call writes.
Ending convert_into_vanishing_reader(const std::string& bmp, unsigned flags) {
    return run_child([&] {
        std::signal(SIGPIPE, SIG_DFL);
        int p[2];
        if (pipe(p) != 0) return 10;
        const pid_t reader = fork();
        if (reader == 0) {
            close(p[1]);
            char byte;
            _exit(read(p[0], &byte, 1) == 1 ? 0 : 1);
        }
        close(p[0]);
        std::vector<unsigned char> work(qpbm_work_size());
        qpbm_result result;
        const std::string out = "/proc/self/fd/" + std::to_string(p[1]);
        const qpbm_status status =
            qpbm_convert(bmp.c_str(), out.c_str(), QPBM_BMP_TO_PBM, flags, work.data(), work.size(), &result);
        waitpid(reader, nullptr, 0);
        // The host's signal handling is as it was: SIGPIPE neither blocked nor pending.
        sigset_t now;
        sigemptyset(&now);
        pthread_sigmask(SIG_BLOCK, nullptr, &now);
        if (sigismember(&now, SIGPIPE)) return 11;
        sigpending(&now);
        if (sigismember(&now, SIGPIPE)) return 12;
        if (status != QPBM_EWRITE) return 13;
        return result.os_error == EPIPE ? 0 : 14;
    });
}

TEST(Sigpipe, FlagTurnsAVanishedReaderIntoEpipe) {
    TempDir dir;
    write_file(dir.file("in.bmp"), pattern(1000, 1000, 9).bmp());  // 2 MB of text: more than a pipe holds
    const Ending with_flag = convert_into_vanishing_reader(dir.file("in.bmp"), QPBM_FLAG_NO_SIGPIPE);
    EXPECT_TRUE(with_flag.exited) << "ended by signal " << with_flag.signal;
    EXPECT_EQ(with_flag.code, 0);
    const Ending without = convert_into_vanishing_reader(dir.file("in.bmp"), 0);
    EXPECT_FALSE(without.exited);
    EXPECT_EQ(without.signal, SIGPIPE);
}

}  // namespace
}  // namespace qpbm_test

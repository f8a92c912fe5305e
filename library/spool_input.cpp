// Piped input kept in an unnamed temporary file, so that converting it never
// waits for a writer. The spool holds no more than the input's header allows:
// the header is checked (with the caller's options) as soon as its bytes are
// in, a refusal stops the copy there, and a picture that passes is kept only
// as far as its pixels go (library/spool_plan.cpp).
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "library/file_convert.hpp"
#include "library/output_file.hpp"
#include "library/phases.hpp"
#include "library/spool_plan.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace qpbm {

#if defined(_WIN32)

// Windows hosts read pipes through their paths seldom enough that the input
// is converted as it is.
Status spool_input(Direction, InputFile&, Facts&, Workspace*, const Options&) { return Status::ok; }

#else

namespace {

// A failure of the spool itself (it cannot be made, the disk is full) is
// told as one of $TMPDIR, not as a read error of the input.
Status failed_spool(Facts& facts) {
    const int error = errno;
    if (error == ENOSPC || error == EDQUOT || error == EFBIG || error == EROFS) facts.temp_dir = temp_directory();
    facts.os_error = error;
    return Status::read_failed;
}

// The reader whose signature the first bytes are, among those the direction
// allows; null while none is.
const ReaderKind* claimed(Direction direction, const unsigned char* first, std::size_t length) {
    if (direction == Direction::detect) return reader_for(first, length);
    const ReaderKind* own = nullptr;
    reader_of_input(direction, first, length, own);
    return own->claims(first, length) ? own : nullptr;
}

// Whether the first bytes, no signature yet, may still begin one.
bool may_continue(Direction direction, const unsigned char* first, std::size_t length) {
    if (direction == Direction::detect) return any_reader_may_begin(first, length);
    const ReaderKind* own = nullptr;
    reader_of_input(direction, first, length, own);
    return own->may_begin != nullptr && own->may_begin(first, length);
}

Status refusal_for_magic(Direction direction) {
    if (direction == Direction::bmp_to_pbm) return Status::bmp_not_bmp;
    if (direction == Direction::pbm_to_bmp) return Status::pbm_bad_magic;
    return Status::unknown_format;
}

bool write_all(int fd, const unsigned char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

ssize_t read_some(int fd, unsigned char* block, std::size_t most) {
    for (;;) {
        const ssize_t n = read(fd, block, most);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

// Moves up to `most` bytes from a pipe or socket to the spool's end: through
// the kernel for a pipe, else through a small block. The count moved, 0 at
// the input's end, -1 on an error.
ssize_t move_bytes(int from, int to, std::size_t most, bool& splice_works) {
#if defined(__linux__)
    while (splice_works) {
        const ssize_t n = splice(from, nullptr, to, nullptr, most, SPLICE_F_MOVE);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EINVAL) return -1;
        splice_works = false;  // not a pipe
    }
#else
    splice_works = false;
#endif
    unsigned char block[1024];
    const ssize_t n = read_some(from, block, most < sizeof block ? most : sizeof block);
    if (n <= 0) return n;
    return write_all(to, block, static_cast<std::size_t>(n)) ? n : -1;
}

// A plain PBM's pixels without the white space and comments around them:
// every other byte is a pixel, so the reader takes the same pixels from
// the compacted bytes. Counts the pixels still wanted.
class Compactor {
public:
    explicit Compactor(std::uint64_t pixels) : left_(pixels) {}
    // Keeps the pixels of block[0, n) at its front; returns how many.
    std::size_t keep(unsigned char* block, std::size_t n) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n && left_ > 0; ++i) {
            const unsigned char c = block[i];
            if (comment_) {
                comment_ = !ends_pbm_comment(c);
            } else if (c == kPbmCommentStart) {
                comment_ = true;
            } else if (!is_pbm_space(c)) {
                block[kept++] = c;
                --left_;
            }
        }
        return kept;
    }
    bool done() const { return left_ == 0; }
    void in_comment() { comment_ = true; }

private:
    std::uint64_t left_;
    bool comment_ = false;
};

// Compacts the spool's bytes from plan.raster on, in place (the pixels
// never move forwards). The first byte there ends the height: white space
// or a comment's start becomes one line feed, a pixel stays where it is.
// The spool's new length.
bool compact_spooled(int to, const Plan& plan, std::uint64_t spooled, Compactor& compactor, std::uint64_t& length) {
    std::uint64_t read_at = plan.raster;
    std::uint64_t write_at = plan.raster;
    unsigned char block[2048];
    unsigned char first = 0;
    if (read_at < spooled && pread(to, &first, 1, static_cast<off_t>(read_at)) != 1) return false;
    if (read_at < spooled && (is_pbm_space(first) || first == kPbmCommentStart)) {
        if (first == kPbmCommentStart) compactor.in_comment();
        const unsigned char line_feed = '\n';
        if (pwrite(to, &line_feed, 1, static_cast<off_t>(write_at)) != 1) return false;
        ++read_at;
        ++write_at;
    }
    while (read_at < spooled && !compactor.done()) {
        const std::uint64_t left = spooled - read_at;
        const ssize_t n = pread(to, block, left < sizeof block ? static_cast<std::size_t>(left) : sizeof block,
                                static_cast<off_t>(read_at));
        if (n <= 0) return false;
        read_at += static_cast<std::uint64_t>(n);
        const std::size_t kept = compactor.keep(block, static_cast<std::size_t>(n));
        if (kept > 0 && pwrite(to, block, kept, static_cast<off_t>(write_at)) != static_cast<ssize_t>(kept))
            return false;
        write_at += kept;
    }
    length = write_at;
    return ftruncate(to, static_cast<off_t>(write_at)) == 0 && lseek(to, static_cast<off_t>(write_at), SEEK_SET) >= 0;
}

}  // namespace

Status spool_input(Direction direction, InputFile& in, Facts& facts, Workspace* work, const Options& options) {
    if (!in.pipe) return Status::ok;
    const int fd = fileno(in.stream);
    // The signature a byte at a time: a wrong byte is refused at once.
    unsigned char magic[kMagicSize];
    std::size_t got = 0;
    const ReaderKind* kind = nullptr;
    while (got < sizeof magic && kind == nullptr) {
        const ssize_t n = read_some(fd, magic + got, 1);
        if (n < 0) return failed_read(facts);
        if (n == 0) break;
        ++got;
        kind = claimed(direction, magic, got);
        if (kind == nullptr && !may_continue(direction, magic, got)) return refusal_for_magic(direction);
    }
    const int to = open_spill_file();
    std::FILE* spool = to >= 0 ? fdopen(to, "w+b") : nullptr;
    if (spool == nullptr) {
        facts.temp_dir = temp_directory();
        const Status status = failed_read(facts);
        if (to >= 0) close(to);
        return status;
    }
    bool copied = write_all(to, magic, got);
    bool checking = kind != nullptr &&
                    (kind == &kBmpReader || kind == &kPbmReader || kind->format == Format::pnm ||
                     kind->format == Format::png || kind->format == Format::jpeg || kind->format == Format::tiff);
    std::uint64_t spooled = got;
    Plan plan;
    plan.recheck = spooled;
    Compactor compactor(0);
    bool ended = false;
    bool splice_works = true;
    Status status = Status::ok;
    while (copied) {
        if (checking && (spooled >= plan.recheck || ended)) {
            status = check_spooled(*kind, spool, spooled, ended, work, options, plan, facts);
            if (status != Status::ok) break;
            checking = !plan.decided && !ended;
            if (plan.compact) {
                compactor = Compactor(plan.pixels);
                copied = compact_spooled(to, plan, spooled, compactor, spooled);
                continue;
            }
        }
        if (plan.refuse_past && spooled >= plan.bound && !ended) {
            // At the bound: one byte more is one too many.
            unsigned char more = 0;
            const ssize_t n = spooled > plan.bound ? 1 : read_some(fd, &more, 1);
            if (n < 0) copied = false;
            if (n == 0) ended = true;
            if (n > 0) {
                facts = plan.picture;
                facts.limit = plan.bound;
                status = Status::input_too_long;
            }
            break;
        }
        if (ended || spooled >= plan.bound || (plan.compact && compactor.done())) break;
        ssize_t n;
        if (plan.compact) {
            unsigned char block[2048];
            n = read_some(fd, block, sizeof block);
            const std::size_t kept = n > 0 ? compactor.keep(block, static_cast<std::size_t>(n)) : 0;
            if (kept > 0 && !write_all(to, block, kept)) n = -1;
            spooled += kept;
        } else {
            const std::uint64_t left = plan.bound - spooled;
            n = move_bytes(fd, to, left < (1u << 20) ? static_cast<std::size_t>(left) : (1u << 20), splice_works);
            if (n > 0) spooled += static_cast<std::uint64_t>(n);
        }
        if (n < 0) copied = false;
        if (n == 0) ended = true;
    }
    // The stream, not only the descriptor, back to the start: a check may
    // have left bytes in its buffer.
    if (status == Status::ok && (!copied || std::fseek(spool, 0, SEEK_SET) != 0)) status = failed_spool(facts);
    if (status != Status::ok) {
        std::fclose(spool);
        return status;
    }
    std::fclose(in.stream);
    in.stream = spool;
    in.regular = true;
    in.pipe = false;
    return Status::ok;
}

#endif

}  // namespace qpbm

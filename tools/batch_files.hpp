// What a batch asks of one file, apart from converting it: whether its
// first bytes begin a picture, whether a FIFO or device delivers anything
// in time, and where an output that is not there yet will be made.
#pragma once

#include <qpbm.h>

#include <optional>
#include <string>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace tool {

// The first bytes of a file that tell its format.
inline constexpr std::size_t kSignatureSize = 16;

// The format whose signature a file's first bytes are, of those a batch of
// the direction reads (BMP for bmp2pbm, PBM for pbm2bmp, any when detected);
// QPBM_FORMAT_AUTO for none.
qpbm_format input_format(qpbm_direction direction, const unsigned char* first, std::size_t length);

// Whether first bytes, no signature yet, may still begin an input of the
// direction.
bool may_begin(qpbm_direction direction, const unsigned char* first, std::size_t length);

// "a BMP", "a PBM", "a PGM, PPM or PAM".
const char* format_name(qpbm_format format);

// An input descriptor the batch opened itself; closed with its job.
class Held {
public:
    Held() = default;
    Held(Held&& other) noexcept : fd_(other.release()) {}
    Held& operator=(Held&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~Held() { reset(); }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
#if !defined(_WIN32)
        if (fd_ >= 0) close(fd_);
#endif
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

#if !defined(_WIN32)
// Waits at most `wait_ms` (-1: forever) for a byte, or the end, on a FIFO
// or device opened without blocking; then lets it block again, as the
// library reads it. False, with the refusal, when nothing came.
bool wait_for_data(int fd, int wait_ms, std::string& refusal);
#endif

// Where a file that is not there yet will be made: the identity of its
// directory and its name, after the links that lead to it. Two paths to one
// new file, one through a link that leads nowhere yet, compare equal.
std::string planned_place(const std::string& path);

// Which picture an existing file is by its first bytes ("a BMP", "a PBM"),
// when it is one that a batch of `direction` reads; else empty. A file that
// cannot be read cannot be an input either.
std::string readable_picture(const std::string& path, qpbm_direction direction);

#if !defined(_WIN32)
// Copies a pipe into an unlinked temporary file, so that its first bytes,
// which tell the format, are kept and a BMP can be read bottom row first.
// The path that opens the file, or an error text; copying stops at a
// signature that cannot begin a picture of the direction.
std::optional<std::string> spool(int from, qpbm_direction direction, std::string& error);
#endif

// The format of a file's first bytes, or a refusal. Standard input is looked
// at where it stands, without taking its bytes.
std::optional<qpbm_format> sniff(const std::string& path, std::string& refusal);

}  // namespace tool

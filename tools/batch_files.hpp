// What a batch asks of one file, apart from converting it: whether its
// first bytes begin a picture, whether a FIFO or device delivers anything
// in time, and where an output that is not there yet will be made.
#pragma once

#include <qpbm.h>

#include <cstdint>
#include <memory>
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

// Whether an existing output of `size` bytes begins as a complete picture
// of `format` (of any format for QPBM_FORMAT_AUTO): its signature, and what
// its header tells cheaply of the file's size or end. A copy in place cut
// short has a blank head, so an update converts it again.
bool complete_output(const std::string& path, std::uint64_t size, qpbm_format format);

#if !defined(_WIN32)
// Reads a pipe's first bytes, one at a time, into `first` (kSignatureSize
// bytes) until they name a format of the direction, cannot begin one, or
// the pipe ends. The count read, or none with the error.
std::optional<std::size_t> read_signature(int from, qpbm_direction direction, unsigned char* first, std::string& error);

// Hands a pipe to the library through a pipe of the tool's own: a thread
// writes the first bytes, already read here to tell the format, and then
// whatever the source sends, until the source ends or the library's side
// is closed. The library bounds what it reads, so the relay copies nothing
// that it does not. Stopped (and the source, when given, closed) when the
// relay goes.
class Relay {
public:
    Relay();
    Relay(Relay&& other) noexcept;
    Relay& operator=(Relay&& other) noexcept;
    ~Relay();
    // Starts relaying `first` and then `from`; `owned` is closed with the
    // relay. False, with the error, when no pipe or thread could be had.
    bool start(int from, Held owned, const unsigned char* first, std::size_t length, std::string& error);
    // The path that opens the relay's end: "/dev/fd/N".
    std::string path() const;
    // Closes the library's side and ends the thread, which may be waiting
    // on a source that never sends more. Call once the conversion is over.
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};
#endif

// The format of a file's first bytes, or a refusal. Standard input is looked
// at where it stands, without taking its bytes.
std::optional<qpbm_format> sniff(const std::string& path, std::string& refusal);

}  // namespace tool

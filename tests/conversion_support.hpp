// Conversions through the joiner, on temporary files, for tests of readers
// and writers.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "convert/convert.hpp"
#include "tests/support.hpp"

namespace qpbm_test {

struct Outcome {
    qpbm::Status status = qpbm::Status::unknown_format;
    qpbm::Facts facts;
    Bytes bytes;
};

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes read_stream(std::FILE* f) {
    Bytes out;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) out.push_back(static_cast<std::uint8_t>(c));
    return out;
}

// The check and write of a conversion into a temporary file; `check` runs
// the check phase on the conversion and the input stream.
template <class Check>
Outcome run_checked(const Bytes& input, Check check) {
    Outcome o;
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    EXPECT_TRUE(in && out && (input.empty() || std::fwrite(input.data(), 1, input.size(), in) == input.size()));
    std::rewind(in);
    {
        qpbm::Conversion conversion;
        o.status = check(conversion, in, o.facts);
        if (o.status == qpbm::Status::ok) o.status = qpbm::write_conversion(conversion, in, out);
    }
    o.bytes = read_stream(out);
    std::fclose(in);
    std::fclose(out);
    return o;
}

inline qpbm::Buffers& test_buffers() {
    static qpbm::Buffers buffers;
    return buffers;
}

// A raw PBM of the input, the reader picked by its first bytes.
inline Outcome run_to_p4(const Bytes& input, qpbm::Options options) {
    options.raw = true;
    options.to = qpbm::Format::pbm;
    return run_checked(input, [&](qpbm::Conversion& c, std::FILE* in, qpbm::Facts& facts) {
        const qpbm::ReaderKind* kind = qpbm::reader_for(input.data(), input.size());
        return kind == nullptr ? qpbm::Status::unknown_format
                               : qpbm::check_conversion(c, *kind, in, true, test_buffers(), facts, options);
    });
}

// A conversion that reads in a thread of its own writes the bytes of one
// that does not, for every kind of method: per pixel, from the histogram,
// from whole rows, and inverted.
inline void expect_same_bytes_in_thread(const Bytes& input) {
    using qpbm::Method;
    for (const Method method : {Method::channels, Method::otsu, Method::floyd_steinberg, Method::sauvola}) {
        for (const bool invert : {false, true}) {
            SCOPED_TRACE(static_cast<int>(method) * 2 + invert);
            qpbm::Options options;
            options.method = method;
            options.threshold =
                method == Method::channels ? qpbm::kDefaultChannelThreshold : qpbm::kDefaultLumaThreshold;
            options.invert = invert;
            const Outcome serial = run_to_p4(input, options);
            options.reader_thread = true;
            const Outcome threaded = run_to_p4(input, options);
            EXPECT_EQ(serial.status, qpbm::Status::ok);
            EXPECT_EQ(threaded.status, qpbm::Status::ok);
            EXPECT_GT(serial.bytes.size(), 20u);
            EXPECT_TRUE(threaded.bytes == serial.bytes);
        }
    }
}

// Converts `start`, then `tail` bytes of zeros (UINT64_MAX: without end),
// sent through a FIFO in dir, into dir's "out" with a work block of its own
// or none; in a child with an alarm, so that a spool that never ends fails
// instead of hanging. The child's exit code: the status, 250 when more than
// `most` bytes went into the FIFO, 255 when it was killed.
inline int convert_piped(const Bytes& start, std::uint64_t tail, bool own_work, const qpbm::Options& options,
                         std::uint64_t most, const TempDir& dir) {
    mkfifo(dir.file("fifo").c_str(), 0600);
    const pid_t child = fork();
    if (child == 0) {
        alarm(30);
        std::signal(SIGPIPE, SIG_IGN);
        std::atomic<std::uint64_t> written{0};
        std::thread writer([&] {
            const int fd = open(dir.file("fifo").c_str(), O_WRONLY);
            const Bytes block(1 << 16, 0);
            std::uint64_t left = tail;
            ssize_t n = write(fd, start.data(), start.size());
            while (n > 0) {
                written += static_cast<std::uint64_t>(n);
                if (left == 0) break;
                n = write(fd, block.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size())));
                if (tail != UINT64_MAX && n > 0) left -= static_cast<std::uint64_t>(n);
            }
            close(fd);
        });
        qpbm::Facts facts;
        qpbm::Direction d = qpbm::Direction::detect;
        static qpbm::Workspace work;
        const qpbm::Status s =
            own_work ? qpbm::convert_with(d, dir.file("fifo").c_str(), dir.file("out").c_str(), work, facts, options)
                     : qpbm::convert_shared(d, dir.file("fifo").c_str(), dir.file("out").c_str(),
                                            qpbm::static_workspace(d), facts, options);
        writer.join();
        _exit(written > most ? 250 : static_cast<int>(s));
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

}  // namespace qpbm_test

#include "library/memory_convert.hpp"

#include <cerrno>

#include "convert/convert.hpp"
#include "library/memory_stream.hpp"
#include "library/phases.hpp"

namespace qpbm {

namespace {

// The check phase, on a stream over the input. Every memory output seeks.
Status check(Direction& direction, const std::uint8_t* input, std::size_t input_size, std::FILE* in, Workspace& work,
             Conversion& conversion, Facts& facts, const Options& options) {
    if (in == nullptr) {
        facts.os_error = errno;
        return Status::read_failed;
    }
    const ReaderKind* reader = nullptr;
    if (const Status status = reader_of_input(direction, input, input_size, reader, &facts); status != Status::ok)
        return status;
    errno = 0;
    const Status status = check_input(*reader, in, true, options, work, conversion, facts);
    if (status == Status::read_failed && facts.os_error == 0) facts.os_error = errno;
    return status;
}

}  // namespace

Status measure_memory(Direction& direction, const std::uint8_t* input, std::size_t input_size,
                      std::uint64_t& output_size, Workspace& work, Facts& facts, const Options& options) {
    output_size = 0;
    const InputStream in(input, input_size);
    Conversion conversion;
    const Status status = check(direction, input, input_size, in.get(), work, conversion, facts, options);
    if (status == Status::ok) output_size = conversion_size(conversion);
    return status;
}

namespace {

// The write phase of a checked conversion into the caller's buffer, refused
// before anything is written when the output would not fit.
Status write_memory(Conversion& conversion, std::FILE* in, std::uint8_t* output, std::size_t capacity,
                    std::uint64_t& output_size, Facts& facts) {
    const std::uint64_t needed = conversion_size(conversion);
    if (needed > capacity) {
        output_size = needed;
        facts.needed_size = needed;
        facts.limit = capacity;
        return Status::output_too_small;
    }
    OutputStream out(output, capacity);
    if (out.get() == nullptr) {
        facts.os_error = errno;
        return Status::open_output_failed;
    }
    errno = 0;
    Status status = write_output(in, conversion, out.get());
    if ((status == Status::read_failed || status == Status::write_failed) && facts.os_error == 0)
        facts.os_error = errno;
    conversion.release();  // before the stream over the caller's buffer is closed
    std::uint64_t written = 0;
    if (!out.finish(written) && status == Status::ok) {
        facts.os_error = errno;
        status = Status::write_failed;
    }
    if (status == Status::ok) output_size = written;
    return status;
}

}  // namespace

Status convert_memory(Direction& direction, const std::uint8_t* input, std::size_t input_size, std::uint8_t* output,
                      std::size_t capacity, std::uint64_t& output_size, Workspace& work, Facts& facts,
                      const Options& options) {
    output_size = 0;
    const InputStream in(input, input_size);
    Conversion conversion;
    const Status status = check(direction, input, input_size, in.get(), work, conversion, facts, options);
    if (status != Status::ok) return status;
    return write_memory(conversion, in.get(), output, capacity, output_size, facts);
}

Status convert_pixels_memory(const PixelSource& pixels, std::uint8_t* output, std::size_t capacity,
                             std::uint64_t& output_size, Workspace& work, Facts& facts, const Options& options) {
    output_size = 0;
    Conversion conversion;
    const Status status = check_pixels(conversion, pixels, true, work.buffers, facts, options);
    if (status != Status::ok) return status;
    return write_memory(conversion, nullptr, output, capacity, output_size, facts);
}

}  // namespace qpbm

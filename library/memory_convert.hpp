// Conversions from bytes into a caller's buffer, through the same two
// converter phases as files: the input is a read-only stream over the
// caller's bytes, the output a seekable stream over the caller's buffer that
// refuses to write past its end. The output size follows from the header
// alone, so a buffer too small is refused before anything is written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/options.hpp"
#include "core/status.hpp"
#include "library/file_convert.hpp"

namespace qpbm {

// Checks the input and gives the size its conversion writes. Direction::detect
// is replaced by the direction the first bytes call for. Writes nothing.
Status measure_memory(Direction& direction, const std::uint8_t* input, std::size_t input_size,
                      std::uint64_t& output_size, Workspace& work, Facts& facts, const Options& options);

// Converts the input into `output` (`capacity` bytes; may be null when 0)
// and gives the bytes written in `output_size`. When the output does not
// fit, nothing is written, output_size is the size needed and the status is
// output_too_small.
Status convert_memory(Direction& direction, const std::uint8_t* input, std::size_t input_size, std::uint8_t* output,
                      std::size_t capacity, std::uint64_t& output_size, Workspace& work, Facts& facts,
                      const Options& options);

// Converts pixels in memory (read/pixels.hpp) into `output`, as
// convert_memory does.
Status convert_pixels_memory(const PixelSource& pixels, std::uint8_t* output, std::size_t capacity,
                             std::uint64_t& output_size, Workspace& work, Facts& facts, const Options& options);

}  // namespace qpbm

// The ZPL writer: the picture as a graphic field on a label, in the
// language of Zebra's label printers.
//
//   ^XA                             start of the label
//   ^FO0,0^GFA,t,t,r,<data>^FS      a graphic field at the label's origin:
//                                   t bytes in all, r a row, the rows as hex
//                                   digits (the leftmost dot in the highest
//                                   bit, 1 prints), rows padded to a byte
//   ^XZ                             end of the label
//
// The data is ZPL's compressed hex, row by row:
//   - a run of n equal digits is the digit after a count: G..Y for 1 to 19
//     and g..z for 20 to 400 in twenties, added ("hJ0": 43 zeros);
//   - "," fills the rest of the row with 0, "!" with F;
//   - ":" repeats the row before.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffers.hpp"
#include "write/writer.hpp"

namespace qpbm {

class ZplWriter final : public Writer {
public:
    explicit ZplWriter(ZplWriteBuffers& buffers) : b_(buffers) {}

    Status check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) override;
    bool gathers() const override { return false; }
    Status begin(std::FILE* out) override;
    bool take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) override;
    Status finish() override;

private:
    ZplWriteBuffers& b_;
    std::FILE* out_ = nullptr;
    std::size_t row_bytes_ = 0;
    std::uint64_t height_ = 0;
};

extern const WriterKind kZplWriter;

}  // namespace qpbm

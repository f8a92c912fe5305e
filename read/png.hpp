// The PNG reader (core/png_format.hpp), through libspng: every colour type and
// bit depth, handed over as value rows. A sample v of depth d becomes
// (v * 255 + M div 2) div M with M = 2^d - 1, as a netpbm sample of maxval M
// does; alpha (an alpha channel, or tRNS) is laid over white. Samples are
// taken as stored: no gamma, no ICC profile.
//
// Rows stream one at a time; an interlaced picture is decoded whole first,
// within kPngMaxInterlacedBytes. libspng's allocations are counted and
// refused past kPngLibraryMemory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/buffers.hpp"
#include "core/png_format.hpp"
#include "read/png_chunks.hpp"
#include "read/reader.hpp"

struct spng_ctx;

namespace qpbm {

// Where libspng reads from, and the errno of a failed read.
struct PngInput {
    std::FILE* file = nullptr;
    int error = 0;
    PngChunkFilter chunks;
};

// What the check learned.
struct PngSource {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    unsigned depth = 8;
    unsigned colour_type = 0;
    bool interlaced = false;
    unsigned palette_size = 0;
    bool has_key = false;  // grey or RGB tRNS
    std::uint16_t key[3] = {};
    std::int64_t start = -1;  // the signature's offset, for a second read
    std::uint64_t row_bytes = 0;
};

// libspng's allocations in this thread are charged to `memory` while the
// scope lasts, and given back to it when freed, in any thread. Every call
// that may allocate runs in one; outside, allocations fail.
class PngMemoryScope {
public:
    explicit PngMemoryScope(PngMemory& memory);
    ~PngMemoryScope();
    PngMemoryScope(const PngMemoryScope&) = delete;
    PngMemoryScope& operator=(const PngMemoryScope&) = delete;

private:
    PngMemory* saved_;
};

class PngReader final : public Reader {
public:
    explicit PngReader(PngReadBuffers& buffers) : b_(buffers) {}
    ~PngReader() override;
    PngReader(const PngReader&) = delete;
    PngReader& operator=(const PngReader&) = delete;

    Status check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) override;
    Status read(std::FILE* in, const ReadRequest& request, RowSink& sink) override;
    std::uint64_t input_bound() const override { return bound_; }
    std::size_t library_memory() const { return library_memory_.in_use; }

private:
    Status open(std::FILE* in, Facts& facts);
    void close();
    Status rows(const std::uint8_t* row, std::size_t y, const ReadRequest& request, RowSink& sink);

    PngReadBuffers& b_;
    PngSource source_;
    spng_ctx* ctx_ = nullptr;
    std::uint8_t* memory_ = nullptr;  // a row, or the interlaced picture
    PngMemory library_memory_;        // what ctx_ holds
    PngInput input_;
    Facts* facts_ = nullptr;
    bool read_before_ = false;
    std::uint64_t bound_ = UINT64_MAX;  // after a check that passed: codec_input_bound of the picture
};

extern const ReaderKind kPngReader;

// The libspng this build runs, as "libspng 0.7.3".
const char* png_library();

// A libspng context (SPNG_CTX_ENCODER in `flags` for a writer) whose
// allocations are counted, within a PngMemoryScope; null when it cannot be made.
spng_ctx* new_png_context(int flags);

}  // namespace qpbm

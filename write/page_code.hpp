// The two codes a document's page of bits may take, and the choice between
// them. CCITT Group 4 codes the changes from one row to the next: a few bits
// a line of text, but several for every pixel of a dither, where Deflate's
// matching of repeated bytes does better. Both come from the field's
// libraries: G4 from libtiff's codec (a one-strip TIFF in memory, whose raw
// strip is the G4 data), Deflate from zlib.
#pragma once

#include <cstddef>
#include <cstdint>

#include "read/tiff.hpp"

namespace qpbm {

enum class PageCode : std::uint8_t { g4, deflate };

// A page of bits held whole: rows of ceil(width / 8) bytes, top row first,
// 1 black, as a writer takes them.
struct PageBits {
    const std::uint8_t* bits = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t row_bytes() const { return (static_cast<std::size_t>(width) + 7) / 8; }
};

// Bytes a code made, in a block of their own.
class Encoded {
public:
    Encoded() = default;
    ~Encoded();
    Encoded(const Encoded&) = delete;
    Encoded& operator=(const Encoded&) = delete;

    const std::uint8_t* data() const { return data_; }
    std::uint8_t* data() { return data_; }
    std::size_t size() const { return size_; }
    void clear() { size_ = 0; }
    bool append(const void* bytes, std::size_t count);
    // Room for `count` more bytes past size(), or null.
    std::uint8_t* reserve(std::size_t count);
    void grow(std::size_t count) { size_ += count; }
    void swap(Encoded& other);

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The page in G4 (T.6, no end-of-line codes, white 0 as in fax), as PDF's
// CCITTFaxDecode with K -1 reads it; false with libtiff's reason in `message`.
bool encode_g4(const PageBits& page, Encoded& out, TiffMessage& message);

// The page's bytes in a zlib stream (RFC 1950), as PDF's FlateDecode reads it.
bool encode_deflate(const PageBits& page, Encoded& out);

// The zlib this build runs, as "zlib 1.2.13".
const char* zlib_library();

// The code this page is smaller in, and what each code made of the rows
// looked at. A page of up to kWholePageBytes is coded whole, so the sizes
// are exact (and `exact` is set); a larger one by bands of kSampleRows
// rows spread evenly over about a sixteenth of it, a cheap estimate since
// both codes work within a few rows.
inline constexpr std::size_t kWholePageBytes = 256 * 1024;
inline constexpr std::uint32_t kSampleRows = 16;
struct CodeChoice {
    PageCode code = PageCode::g4;
    bool exact = false;
    std::size_t g4_size = 0;
    std::size_t deflate_size = 0;
};
bool choose_page_code(const PageBits& page, CodeChoice& choice, Encoded& g4, Encoded& deflate, TiffMessage& message);

}  // namespace qpbm

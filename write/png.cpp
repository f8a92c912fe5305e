#include "write/png.hpp"

#include <spng.h>

#include <cstdlib>
#include <cstring>

#include "formats/png.hpp"
#include "read/png.hpp"

namespace qpbm {

namespace {

int write_output(spng_ctx*, void* user, void* src, std::size_t length) {
    return std::fwrite(src, 1, length, static_cast<std::FILE*>(user)) == length ? 0 : SPNG_IO_ERROR;
}

// At most: the signature, IHDR, pHYs and IEND, and the rows' zlib stream (zlib's
// own bound for stored blocks) in IDATs of at least 1 KiB each.
std::uint64_t png_size(std::uint64_t width, std::uint64_t height, const Options&) {
    const std::uint64_t raw = ((width + 7) / 8 + 1) * height;
    const std::uint64_t z = raw + (raw >> 12) + (raw >> 14) + (raw >> 25) + 13;
    return 8 + 25 + 21 + 12 + z + 12 * (z / 1024 + 1);
}

}  // namespace

PngWriter::~PngWriter() {
    abandon();
    std::free(row_);
}

// spng_ctx_free only frees; IEND went out with the last row, if at all.
void PngWriter::abandon() {
    if (ctx_ != nullptr) spng_ctx_free(ctx_);
    ctx_ = nullptr;
}

Status PngWriter::check(std::int32_t width, std::int32_t height, bool, Facts& facts) {
    if (width <= 0 || height <= 0) return Status::png_empty_picture;
    width_ = static_cast<std::uint32_t>(width);
    height_ = static_cast<std::uint32_t>(height);
    row_bytes_ = (width_ + 7u) / 8u;
    if (row_bytes_ > kPngMaxRowBytes) {
        std::snprintf(facts.name, sizeof facts.name, "a row");
        facts.needed_size = row_bytes_;
        facts.limit = kPngMaxRowBytes;
        return Status::png_too_large;
    }
    return Status::ok;
}

Status PngWriter::begin(std::FILE* out) {
    const PngMemoryScope scope(library_memory_);
    out_ = out;
    ctx_ = new_png_context(SPNG_CTX_ENCODER);
    row_ = static_cast<std::uint8_t*>(std::calloc(row_bytes_, 1));
    if (ctx_ == nullptr || row_ == nullptr) return Status::write_failed;
    spng_ihdr ihdr{};
    ihdr.width = width_;
    ihdr.height = height_;
    ihdr.bit_depth = 1;
    ihdr.color_type = png_colour::grey;
    int error = spng_set_png_stream(ctx_, write_output, out);
    if (error == 0) error = spng_set_ihdr(ctx_, &ihdr);
    // pHYs holds dots per metre in 31 bits.
    spng_phys phys{};
    phys.unit_specifier = 1;
    phys.ppu_x = dots_per_metre(resolution_.unit, resolution_.x, INT32_MAX);
    phys.ppu_y = dots_per_metre(resolution_.unit, resolution_.y, INT32_MAX);
    if (error == 0 && phys.ppu_x != 0 && phys.ppu_y != 0) error = spng_set_phys(ctx_, &phys);
    if (error == 0) error = spng_set_option(ctx_, SPNG_IMG_COMPRESSION_LEVEL, static_cast<int>(level_));
    if (error == 0) error = spng_set_option(ctx_, SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_NONE);
    if (error == 0)
        error = spng_encode_image(ctx_, nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE);
    return error == 0 ? Status::ok : Status::write_failed;
}

// A bit row's 1 is black, a PNG's 0: each piece goes into the row inverted,
// and the row goes out whole once its last piece is in.
bool PngWriter::take(std::size_t, std::size_t first, const std::uint8_t* bits, std::size_t count) {
    const std::size_t bytes = (count + 7) / 8;
    std::uint8_t* to = row_ + first / 8;
    for (std::size_t i = 0; i < bytes; ++i) to[i] = static_cast<std::uint8_t>(~bits[i]);
    if (first + count != width_) return true;
    if (width_ % 8 != 0) row_[row_bytes_ - 1] &= static_cast<std::uint8_t>(0xFF00u >> (width_ % 8));
    const PngMemoryScope scope(library_memory_);
    const int error = spng_encode_row(ctx_, row_, row_bytes_);
    if (error == SPNG_EOI) finished_ = true;
    return error == 0 || error == SPNG_EOI;
}

Status PngWriter::finish() {
    if (!finished_) return Status::write_failed;
    return std::fflush(out_) == 0 && !std::ferror(out_) ? Status::ok : Status::write_failed;
}

const WriterKind kPngWriter = {
    "PNG",
    Format::png,
    [](PartRoom& room, Buffers&, const Options& options) -> Writer* {
        return build_in<PngWriter>(room, options.png_level);
    },
    png_size,
};

}  // namespace qpbm

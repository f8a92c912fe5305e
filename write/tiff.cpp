#include "write/tiff.hpp"

#include <tiffio.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/limits.hpp"
#include "write/page_code.hpp"

namespace qpbm {

namespace {

std::uint16_t libtiff_compression(TiffCompression c) {
    switch (c) {
        case TiffCompression::packbits: return COMPRESSION_PACKBITS;
        case TiffCompression::none: return COMPRESSION_NONE;
        case TiffCompression::deflate: return COMPRESSION_ADOBE_DEFLATE;
        case TiffCompression::g4:
        case TiffCompression::automatic: break;
    }
    return COMPRESSION_CCITTFAX4;
}

// Strips of about kTiffStripBytes of rows, or for Deflate, which finds
// more to match in a longer stream, kTiffDeflateStripBytes.
std::uint64_t rows_per_strip(std::uint64_t width, std::uint64_t height, TiffCompression c = TiffCompression::g4) {
    const std::uint64_t row = (width + 7) / 8;
    const std::uint64_t bytes = c == TiffCompression::deflate ? kTiffDeflateStripBytes : kTiffStripBytes;
    return std::max<std::uint64_t>(1, std::min<std::uint64_t>(height, bytes / std::max<std::uint64_t>(row, 1)));
}

// At most: the header, a directory of 14 entries and the resolution's two
// rationals, two words a strip, and the rows, which G4 may grow to a byte a
// pixel, PackBits by a byte in 128 and Deflate by its stored blocks' 5
// bytes in 16 KiB and zlib's 11 a strip.
std::uint64_t tiff_size(std::uint64_t width, std::uint64_t height, const Options& options) {
    const std::uint64_t raw = (width + 7) / 8 * height;
    const std::uint64_t strips = (height + rows_per_strip(width, height) - 1) / rows_per_strip(width, height);
    const std::uint64_t g4 = width * height + raw + 16;
    const std::uint64_t deflate = raw + raw / 16384 * 5 + 16 * strips;
    std::uint64_t data = raw;
    switch (options.tiff_compression) {
        case TiffCompression::packbits: data = raw + ((width + 7) / 8 / 128 + 1) * height; break;
        case TiffCompression::g4: data = g4; break;
        case TiffCompression::deflate: data = deflate; break;
        case TiffCompression::automatic: data = std::max(g4, deflate); break;
        case TiffCompression::none: break;
    }
    return 1024 + 8 * strips + data;
}

}  // namespace

TiffWriter::~TiffWriter() {
    abandon();
    std::free(row_);
    std::free(page_);
}

// TIFFClose flushes: the strip in hand and the directory, with a seek back
// to the header. With the stream cut, that flush fails at once and libtiff
// frees what it holds (PackBits frees its state only there), so nothing
// reaches a stream the caller may close next.
void TiffWriter::abandon() {
    if (tif_ == nullptr) return;
    stream_.cut = true;
    TIFFClose(tif_);
    tif_ = nullptr;
}

// A failed write, with libtiff's reason when it gave one.
Status TiffWriter::failed() {
    if (facts_ != nullptr && message_.text[0] != '\0')
        std::snprintf(facts_->library_text, sizeof facts_->library_text, "%s", message_.text);
    return Status::write_failed;
}

Status TiffWriter::check(std::int32_t width, std::int32_t height, bool output_seekable, Facts& facts) {
    facts_ = &facts;
    if (width <= 0 || height <= 0) return Status::tiff_empty_picture;
    if (!output_seekable) return Status::tiff_needs_file;
    width_ = static_cast<std::uint32_t>(width);
    height_ = static_cast<std::uint32_t>(height);
    row_bytes_ = (width_ + 7u) / 8u;
    if (compression_ == TiffCompression::automatic && std::uint64_t{width_} * height_ > kMaxHeldPixels) {
        facts.width = width;
        facts.height = height;
        facts.limit = kMaxHeldPixels;
        return Status::page_too_large;
    }
    // A classic TIFF's offsets are 32 bits. Rows stored as they are, or
    // PackBits or Deflate at their worst, are known to fit or not now; G4
    // (which the bound overstates, a byte a pixel) is left for libtiff to
    // tell. A document's later pages are libtiff's to tell too.
    if (compression_ != TiffCompression::g4 && compression_ != TiffCompression::automatic) {
        Options options;
        options.tiff_compression = compression_;
        const std::uint64_t size = tiff_size(width_, height_, options);
        if (size > UINT32_MAX) {
            facts.width = width;
            facts.height = height;
            facts.needed_size = size;
            return Status::tiff_output_too_large;
        }
    }
    return Status::ok;
}

Status TiffWriter::begin(std::FILE* out) {
    stream_ = {out, false};
#if !defined(_WIN32)
    // A device that seeks without keeping bytes (/dev/null) would fail
    // libtiff only when it reads its header back.
    struct stat st {};
    const int fd = fileno(out);
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) return Status::tiff_needs_file;
#endif
    tif_ = open_tiff(stream_, "w", message_);
    if (tif_ == nullptr) return failed();
    return start_page() ? Status::ok : failed();
}

// The page's rows go to libtiff as they come, or under `automatic` into
// the page held whole.
bool TiffWriter::start_page() {
    page_open_ = true;
    if (compression_ != TiffCompression::automatic) {
        std::free(row_);
        row_ = static_cast<std::uint8_t*>(std::calloc(row_bytes_, 1));
        return row_ != nullptr && set_fields(compression_);
    }
    const std::size_t bytes = row_bytes_ * height_;  // under kMaxHeldPixels bits
    if (bytes > page_room_) {
        std::free(page_);
        page_ = static_cast<std::uint8_t*>(std::malloc(bytes));
        page_room_ = page_ != nullptr ? bytes : 0;
    }
    return page_ != nullptr;
}

bool TiffWriter::set_fields(TiffCompression compression) {
    return TIFFSetField(tif_, TIFFTAG_IMAGEWIDTH, width_) && TIFFSetField(tif_, TIFFTAG_IMAGELENGTH, height_) &&
           TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, 1) && TIFFSetField(tif_, TIFFTAG_SAMPLESPERPIXEL, 1) &&
           TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) &&
           TIFFSetField(tif_, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB) &&
           TIFFSetField(tif_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
           TIFFSetField(tif_, TIFFTAG_COMPRESSION, libtiff_compression(compression)) &&
           TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP,
                        static_cast<std::uint32_t>(rows_per_strip(width_, height_, compression))) &&
           set_resolution_tags();
}

// Under `automatic`, the page held whole in the code its estimate chose.
bool TiffWriter::write_held_page() {
    if (compression_ != TiffCompression::automatic) return true;
    CodeChoice choice;
    Encoded g4, deflate;
    const PageBits page{page_, width_, height_};
    if (!choose_page_code(page, choice, g4, deflate, message_)) return false;
    if (!set_fields(choice.code == PageCode::g4 ? TiffCompression::g4 : TiffCompression::deflate)) return false;
    for (std::uint32_t y = 0; y < height_; ++y)
        if (TIFFWriteScanline(tif_, page_ + row_bytes_ * y, y, 0) != 1) return false;
    return true;
}

Status TiffWriter::next_page() { return start_page() ? Status::ok : failed(); }

// The page's directory; libtiff starts the next one.
Status TiffWriter::end_page() {
    if (!write_held_page() || TIFFWriteDirectory(tif_) != 1) return failed();
    page_open_ = false;
    return Status::ok;
}

bool TiffWriter::set_resolution_tags() {
    const bool metre = resolution_.unit == ResolutionUnit::metre;
    double x = resolution_.x, y = resolution_.y;
    std::uint16_t unit = RESUNIT_INCH;
    switch (resolution_.unit) {
        case ResolutionUnit::none: return true;
        case ResolutionUnit::inch: break;
        case ResolutionUnit::centimetre:
        case ResolutionUnit::metre: unit = RESUNIT_CENTIMETER; break;
    }
    if (metre) x /= 100, y /= 100;
    return TIFFSetField(tif_, TIFFTAG_XRESOLUTION, x) && TIFFSetField(tif_, TIFFTAG_YRESOLUTION, y) &&
           TIFFSetField(tif_, TIFFTAG_RESOLUTIONUNIT, unit);
}

bool TiffWriter::take(std::size_t y, std::size_t first, const std::uint8_t* bits, std::size_t count) {
    if (compression_ == TiffCompression::automatic) {
        std::memcpy(page_ + row_bytes_ * y + first / 8, bits, (count + 7) / 8);
        return true;
    }
    std::memcpy(row_ + first / 8, bits, (count + 7) / 8);
    if (first + count != width_) return true;
    if (TIFFWriteScanline(tif_, row_, static_cast<std::uint32_t>(y), 0) == 1) return true;
    failed();
    return false;
}

Status TiffWriter::finish() {
    // The last strip and the directory (none after a document's last
    // end_page); libtiff seeks back to point its header at the directory.
    const bool written = (!page_open_ || write_held_page()) && TIFFFlush(tif_) == 1;
    abandon();  // flushed, or failed: a second flush would only write again
    if (!written) return failed();
    return std::fflush(stream_.file) == 0 && !std::ferror(stream_.file) ? Status::ok : Status::write_failed;
}

const WriterKind kTiffWriter = {
    "TIFF",
    Format::tiff,
    [](PartRoom& room, Buffers&, const Options& options) -> Writer* {
        return build_in<TiffWriter>(room, options.tiff_compression);
    },
    tiff_size,
};

}  // namespace qpbm

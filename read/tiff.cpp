// The TIFF reader: libtiff decodes strips and tiles, this file turns their
// samples into bits or values.
#include "read/tiff.hpp"

#include <sys/types.h>
#include <tiffio.h>

#include <algorithm>
#include <cfloat>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/buffers.hpp"
#include "core/limits.hpp"
#include "core/pnm_format.hpp"
#include "read/values.hpp"

namespace qpbm {

namespace {

// ---- libtiff on a stream ------------------------------------------------------

TiffStream& stream_of(thandle_t h) { return *static_cast<TiffStream*>(h); }

tmsize_t read_proc(thandle_t h, void* buffer, tmsize_t size) {
    const TiffStream& s = stream_of(h);
    if (s.cut) return 0;
    return static_cast<tmsize_t>(std::fread(buffer, 1, static_cast<std::size_t>(size), s.file));
}

tmsize_t write_proc(thandle_t h, void* buffer, tmsize_t size) {
    const TiffStream& s = stream_of(h);
    if (s.cut) return 0;
    return static_cast<tmsize_t>(std::fwrite(buffer, 1, static_cast<std::size_t>(size), s.file));
}

toff_t seek_proc(thandle_t h, toff_t offset, int whence) {
    const TiffStream& s = stream_of(h);
    if (s.cut || offset > static_cast<toff_t>(INT64_MAX) || fseeko(s.file, static_cast<off_t>(offset), whence) != 0)
        return static_cast<toff_t>(-1);
    const off_t here = ftello(s.file);
    return here < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(here);
}

int close_proc(thandle_t) { return 0; }  // the stream is the caller's

toff_t size_proc(thandle_t h) {
    const TiffStream& s = stream_of(h);
    if (s.cut) return 0;
    std::FILE* f = s.file;
    const off_t here = ftello(f);
    if (here < 0 || fseeko(f, 0, SEEK_END) != 0) return 0;
    const off_t end = ftello(f);
    if (fseeko(f, here, SEEK_SET) != 0 || end < 0) return 0;
    return static_cast<toff_t>(end);
}

int map_proc(thandle_t, void**, toff_t*) { return 0; }
void unmap_proc(thandle_t, void*, toff_t) {}

int keep_error(TIFF*, void* user, const char*, const char* format, va_list args) {
    TiffMessage& m = *static_cast<TiffMessage*>(user);
    std::vsnprintf(m.text, sizeof m.text, format, args);
    return 1;
}

int ignore_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// ---- samples ----------------------------------------------------------------

// Sample i of a row of `bits`-bit samples (16-bit ones in host order, as
// libtiff hands them over).
inline unsigned sample_at(const std::uint8_t* row, std::size_t i, unsigned bits) {
    switch (bits) {
        case 8: return row[i];
        case 16: {
            std::uint16_t v;
            std::memcpy(&v, row + 2 * i, sizeof v);
            return v;
        }
        default: {
            const std::size_t bit = i * bits;
            return (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
        }
    }
}

bool claims_tiff(const unsigned char* first, std::size_t length) {
    if (length < 4) return false;
    const bool intel = first[0] == 'I' && first[1] == 'I' && (first[2] == 42 || first[2] == 43) && first[3] == 0;
    const bool motorola = first[0] == 'M' && first[1] == 'M' && first[2] == 0 && (first[3] == 42 || first[3] == 43);
    return intel || motorola;
}

// "II*\0" or "MM\0*" (42, or 43 for BigTIFF), so far.
bool may_begin_tiff(const unsigned char* first, std::size_t length) {
    if (length == 0 || length >= 4) return length == 0;
    const bool intel =
        first[0] == 'I' && (length < 2 || first[1] == 'I') && (length < 3 || first[2] == 42 || first[2] == 43);
    const bool motorola = first[0] == 'M' && (length < 2 || first[1] == 'M') && (length < 3 || first[2] == 0);
    return intel || motorola;
}

// The first `count` bits of `from` into `to`, from its bit `at` on (bits
// from the high end of each byte, as TIFF packs samples).
void copy_bits(const std::uint8_t* from, std::size_t count, std::uint8_t* to, std::size_t at) {
    for (std::size_t i = 0; i < count; i += 8) {
        const unsigned n = static_cast<unsigned>(std::min<std::size_t>(8, count - i));
        const unsigned mask = (0xFF00u >> n) & 0xFFu;
        const unsigned bits = from[i / 8] & mask;
        std::uint8_t* out = to + (at + i) / 8;
        const unsigned shift = (at + i) % 8;
        out[0] = static_cast<std::uint8_t>((out[0] & ~(mask >> shift)) | bits >> shift);
        if (shift + n > 8)
            out[1] = static_cast<std::uint8_t>((out[1] & ~(mask << (8 - shift))) | (bits << (8 - shift) & 0xFFu));
    }
}

void name_fact(Facts& facts, const char* text) { std::snprintf(facts.name, sizeof facts.name, "%s", text); }

// libtiff refuses a header whose first directory offset is 0 without a
// word: that reason, from the header's own fields, when it is the one.
void explain_silent_refusal(std::FILE* in, off_t start, TiffMessage& message) {
    unsigned char h[16] = {};
    if (message.text[0] != '\0' || start < 0 || fseeko(in, start, SEEK_SET) != 0) return;
    const std::size_t got = std::fread(h, 1, sizeof h, in);
    const bool intel = h[0] == 'I';
    auto field = [&](std::size_t at, unsigned bytes) {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < bytes; ++i) v |= std::uint64_t{h[at + (intel ? i : bytes - 1 - i)]} << (8 * i);
        return v;
    };
    const bool big = got >= 4 && field(2, 2) == 43;
    if (got < (big ? 16u : 8u) || (big ? field(8, 8) : field(4, 4)) != 0) return;
    std::snprintf(message.text, sizeof message.text,
                  "its header points to no directory (offset 0), so the file holds no picture");
}

}  // namespace

tiff* open_tiff(TiffStream& stream, const char* mode, TiffMessage& message) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, static_cast<tmsize_t>(kTiffMaxAllocation));
    TIFFOpenOptionsSetErrorHandlerExtR(options, keep_error, &message);
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignore_warning, nullptr);
    TIFF* t = TIFFClientOpenExt("TIFF", mode, &stream, read_proc, write_proc, seek_proc, close_proc, size_proc,
                                map_proc, unmap_proc, options);
    TIFFOpenOptionsFree(options);
    return t;
}

TiffReader::~TiffReader() {
    if (tif_ != nullptr) TIFFClose(tif_);
    std::free(band_);
}

Status TiffReader::refused(Facts& facts) {
    std::snprintf(facts.library_text, sizeof facts.library_text, "%s",
                  message_.text[0] != '\0' ? message_.text : "unknown error");
    return Status::tiff_refused;
}

Status TiffReader::check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) {
    facts_ = &facts;
    facts.format = "TIFF";
    const off_t start = ftello(in);
    stream_.file = in;
    tif_ = open_tiff(stream_, "rm", message_);
    if (tif_ == nullptr) {
        explain_silent_refusal(in, start, message_);
        return refused(facts);
    }
    const std::uint32_t page = request.options->page;
    if (page > 0 && TIFFSetDirectory(tif_, static_cast<tdir_t>(page)) == 0) {
        facts.limit = TIFFNumberOfDirectories(tif_);
        facts.sample = page;
        return Status::no_such_page;
    }
    std::uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE, planar = PLANARCONFIG_CONTIG;
    std::uint16_t compression = COMPRESSION_NONE;
    if (TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &width_) == 0 || TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &height_) == 0)
        return refused(facts);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_COMPRESSION, &compression);
    if (TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &photometric) == 0) photometric = PHOTOMETRIC_MINISWHITE;
    facts.width = width_;
    facts.height = height_;
    facts.bit_count = bits;
    facts.compression = compression;
    picture = {static_cast<std::int32_t>(width_), static_cast<std::int32_t>(height_), RowForm::values};
    // Read for its first page, the file tells how many it holds (libtiff
    // walks the directories' chain, and stops at a loop).
    if (page == 0) picture.pages = std::max<std::uint32_t>(1, TIFFNumberOfDirectories(tif_));
    if (width_ > INT32_MAX || height_ > INT32_MAX) return Status::decoded_too_many_pixels;
    if (const Status status = check_size_for(*request.options, width_, height_, facts); status != Status::ok)
        return status;
    if (TIFFIsCODECConfigured(compression) == 0) {
        name_fact(facts, "its compression");
        return Status::tiff_unsupported;
    }
    if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG) {
        // libtiff's JPEG codec turns YCbCr into RGB itself.
        TIFFSetField(tif_, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        photometric = PHOTOMETRIC_RGB;
    }

    bits_ = bits;
    samples_ = samples;
    white_is_zero_ = photometric == PHOTOMETRIC_MINISWHITE;
    palette_ = photometric == PHOTOMETRIC_PALETTE;
    const bool grey = photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK;
    colours_ = photometric == PHOTOMETRIC_RGB ? 3 : 1;
    const bool bits_ok = bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16;
    if (!(grey || palette_ || photometric == PHOTOMETRIC_RGB)) {
        name_fact(facts, "its photometric interpretation");
        return Status::tiff_unsupported;
    }
    if (!bits_ok || (photometric == PHOTOMETRIC_RGB && bits < 8) || (palette_ && bits > 8) || samples < colours_) {
        name_fact(facts, "its bits per sample");
        return Status::tiff_unsupported;
    }
    if (planar != PLANARCONFIG_CONTIG && samples > 1) {
        name_fact(facts, "separate planes");
        return Status::tiff_unsupported;
    }
    alpha_ = premultiplied_ = false;
    if (samples > colours_ && !palette_) {
        std::uint16_t count = 0;
        std::uint16_t* kinds = nullptr;
        if (TIFFGetField(tif_, TIFFTAG_EXTRASAMPLES, &count, &kinds) != 0 && count > 0)
            alpha_ = kinds[0] == EXTRASAMPLE_UNASSALPHA || kinds[0] == EXTRASAMPLE_ASSOCALPHA;
        premultiplied_ = alpha_ && kinds[0] == EXTRASAMPLE_ASSOCALPHA;
    }
    bilevel_ = grey && bits == 1 && samples == 1;
    facts.format = bilevel_ ? "TIFF, bilevel" : palette_ ? "TIFF, palette" : grey ? "TIFF, grey" : "TIFF, RGB";
    if (bilevel_) picture.form = RowForm::bits;
    picture.resolution = resolution();
    // Tag 274; a value out of range is left as stored.
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    if (TIFFGetField(tif_, TIFFTAG_ORIENTATION, &orientation) != 0 && orientation >= 1 && orientation <= 8)
        picture.orientation = static_cast<std::uint8_t>(orientation);

    tiled_ = TIFFIsTiled(tif_) != 0;
    if (tiled_) {
        TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &tile_width_);
        TIFFGetField(tif_, TIFFTAG_TILELENGTH, &tile_height_);
        if (tile_width_ == 0 || tile_height_ == 0) return refused(facts);
        const std::uint64_t across = (std::uint64_t{width_} + tile_width_ - 1) / tile_width_;
        band_bytes_ = across * static_cast<std::uint64_t>(TIFFTileSize64(tif_)) + TIFFTileSize64(tif_);
    } else {
        band_bytes_ = TIFFScanlineSize64(tif_);
    }
    if (band_bytes_ == 0) return refused(facts);
    if (band_bytes_ > kTiffMaxBandBytes) {
        name_fact(facts, tiled_ ? "a row of tiles" : "a row");
        facts.needed_size = band_bytes_;
        facts.limit = kTiffMaxBandBytes;
        return Status::tiff_too_large;
    }

    if (palette_) {
        std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
        if (TIFFGetField(tif_, TIFFTAG_COLORMAP, &red, &green, &blue) == 0) return refused(facts);
        // Colours are 16 bits, written as v * 256 or v * 257 for an 8-bit v:
        // the high byte is v either way, as libtiff, netpbm and Pillow take
        // it. Some old writers wrote 8-bit colours; those are taken whole.
        const std::uint32_t entries = 1u << bits;
        bool eight_bit = true;
        for (std::uint32_t i = 0; i < entries; ++i) eight_bit = eight_bit && (red[i] | green[i] | blue[i]) < 256;
        const unsigned shift = eight_bit ? 0 : 8;
        for (std::uint32_t i = 0; i < entries; ++i) {
            b_.palette[3 * i] = static_cast<std::uint8_t>(red[i] >> shift);
            b_.palette[3 * i + 1] = static_cast<std::uint8_t>(green[i] >> shift);
            b_.palette[3 * i + 2] = static_cast<std::uint8_t>(blue[i] >> shift);
        }
    } else {
        const std::uint32_t maxval = (1u << bits) - 1;
        for (std::uint32_t v = 0; v <= maxval; ++v) b_.scale[v] = scale_sample(white_is_zero_ ? maxval - v : v, maxval);
    }
    return Status::ok;
}

// The page's XResolution and YResolution in its ResolutionUnit (inch when
// absent). RESUNIT_NONE gives only the aspect ratio, which is no resolution.
Resolution TiffReader::resolution() const {
    float x = 0, y = 0;
    std::uint16_t unit = RESUNIT_NONE;
    if (TIFFGetField(tif_, TIFFTAG_XRESOLUTION, &x) == 0 || TIFFGetField(tif_, TIFFTAG_YRESOLUTION, &y) == 0 ||
        TIFFGetFieldDefaulted(tif_, TIFFTAG_RESOLUTIONUNIT, &unit) == 0)
        return {};
    // Not NaN, not infinite, over 0.
    if (!(x > 0 && y > 0 && x <= FLT_MAX && y <= FLT_MAX)) return {};
    if (unit == RESUNIT_INCH) return {ResolutionUnit::inch, x, y};
    if (unit == RESUNIT_CENTIMETER) return {ResolutionUnit::centimetre, x, y};
    return {};
}

Status TiffReader::hand_over(const std::uint8_t* row, std::size_t y, const ReadRequest& request, RowSink& sink) {
    const std::size_t width = width_;
    for (std::size_t first = 0; first < width; first += kTiffPiecePixels) {
        const std::size_t count = std::min(kTiffPiecePixels, width - first);
        if (bilevel_) {
            // MinIsWhite's 1 is black, as in a bit row; MinIsBlack's is white.
            const std::size_t bytes = (count + 7) / 8;
            for (std::size_t i = 0; i < bytes; ++i)
                b_.bits[i] = white_is_zero_ ? row[first / 8 + i] : static_cast<std::uint8_t>(~row[first / 8 + i]);
            if (count % 8 != 0) b_.bits[bytes - 1] &= static_cast<std::uint8_t>(0xFF00u >> (count % 8));
            if (!sink.take(y, first, b_.bits, count)) return Status::write_failed;
            continue;
        }
        std::uint8_t* out = b_.samples;
        for (std::size_t x = first; x < first + count; ++x) {
            const std::size_t at = x * samples_;
            if (palette_) {
                std::memcpy(out, b_.palette + 3 * sample_at(row, at, bits_), 3);
                out += 3;
                continue;
            }
            // Alpha is never inverted, whatever the photometric says of grey.
            const unsigned a = alpha_ ? scale_sample(sample_at(row, at + colours_, bits_), (1u << bits_) - 1) : 255;
            for (unsigned k = 0; k < colours_; ++k) {
                const unsigned c = b_.scale[sample_at(row, at + k, bits_)];
                *out++ = premultiplied_ ? static_cast<std::uint8_t>(std::min(255u, c + 255 - a)) : over_white(c, a);
            }
        }
        const ValueRule rule = value_rule(*request.options);
        std::uint8_t* values = request.whole_rows ? request.row + first : b_.values;
        if (palette_ || colours_ == 3)
            rgb_values(b_.samples, count, values, rule);
        else
            grey_values(b_.samples, count, values, rule);
        if (!sink.take(y, first, values, count)) return Status::write_failed;
    }
    return Status::ok;
}

Status TiffReader::read(std::FILE*, const ReadRequest& request, RowSink& sink) {
    Facts spare;
    Facts& facts = facts_ != nullptr ? *facts_ : spare;
    if (band_ == nullptr) band_ = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(band_bytes_), 1));
    if (band_ == nullptr) {
        std::snprintf(message_.text, sizeof message_.text, "out of memory");
        return refused(facts);
    }
    if (!tiled_) {
        for (std::uint32_t y = 0; y < height_; ++y) {
            if (TIFFReadScanline(tif_, band_, y, 0) < 0) return refused(facts);
            if (const Status status = hand_over(band_, y, request, sink); status != Status::ok) return status;
        }
        return Status::ok;
    }
    // A row of tiles side by side, their rows joined into picture rows; the
    // last tile's room holds each tile as it is decoded.
    const auto tile_size = static_cast<std::size_t>(TIFFTileSize64(tif_));
    const auto tile_row = static_cast<std::size_t>(TIFFTileRowSize64(tif_));
    const std::size_t across = (width_ + tile_width_ - 1) / tile_width_;
    const std::size_t band_row = across * tile_row;
    // A tile's row of samples, which ends within a byte when the tile's
    // width is not the multiple of 16 the TIFF rules ask for: the next
    // tile's samples go on from that bit, not from the next byte.
    const std::size_t tile_bits = std::size_t{tile_width_} * samples_ * bits_;
    std::uint8_t* tile = band_ + across * tile_size;
    for (std::uint32_t top = 0; top < height_; top += tile_height_) {
        for (std::size_t t = 0; t < across; ++t) {
            if (TIFFReadTile(tif_, tile, static_cast<std::uint32_t>(t * tile_width_), top, 0, 0) < 0)
                return refused(facts);
            for (std::uint32_t r = 0; r < tile_height_; ++r) {
                if (tile_bits % 8 == 0)
                    std::memcpy(band_ + r * band_row + t * tile_row, tile + r * tile_row, tile_row);
                else
                    copy_bits(tile + r * tile_row, tile_bits, band_ + r * band_row, t * tile_bits);
            }
        }
        for (std::uint32_t r = 0; r < tile_height_ && top + r < height_; ++r)
            if (const Status status = hand_over(band_ + r * band_row, top + r, request, sink); status != Status::ok)
                return status;
    }
    return Status::ok;
}

const ReaderKind kTiffReader = {
    "TIFF",
    Format::tiff,
    Format::pbm,
    claims_tiff,
    [](PartRoom& room, Buffers& buffers) -> Reader* { return build_in<TiffReader>(room, buffers.read.tiff); },
    may_begin_tiff,
    true,  // decodes
};

const char* tiff_library() {
    // TIFFGetVersion() is "LIBTIFF, Version 4.5.0" and then lines of copyright.
    static char text[40];
    static const int made = [] {
        const char* version = std::strstr(TIFFGetVersion(), "Version ");
        const char* number = version != nullptr ? version + std::strlen("Version ") : "";
        return std::snprintf(text, sizeof text, "libtiff %.*s", static_cast<int>(std::strcspn(number, "\n")), number);
    }();
    (void)made;
    return text;
}

}  // namespace qpbm

#include "read/jpeg.hpp"

#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/buffers.hpp"
#include "core/limits.hpp"
#include "read/exif.hpp"
#include "read/jpeg_calls.h"
#include "read/resize.hpp"
#include "read/values.hpp"

namespace qpbm {

namespace {

static_assert(sizeof(qpbm_jpeg) <= kJpegSessionSize, "libjpeg's state fits its room");

Status refused(const qpbm_jpeg& s, Facts& facts) {
    if (s.too_many_scans != 0) {
        facts.limit = static_cast<std::uint64_t>(s.max_scans);
        return Status::jpeg_too_many_scans;
    }
    // libjpeg's messages are at most JMSG_LENGTH_MAX; the long ones lose their end.
    const char* text = s.message[0] != '\0' ? s.message : "libjpeg gave no row";
    const std::size_t length = std::min(std::strlen(text), sizeof facts.library_text - 1);
    std::memcpy(facts.library_text, text, length);
    facts.library_text[length] = '\0';
    return Status::jpeg_refused;
}

const char* format_name(const jpeg_decompress_struct& d) {
    const bool grey = d.jpeg_color_space == JCS_GRAYSCALE;
    const bool cmyk = d.jpeg_color_space == JCS_CMYK || d.jpeg_color_space == JCS_YCCK;
    if (d.progressive_mode)
        return grey ? "JPEG, progressive, grey" : cmyk ? "JPEG, progressive, CMYK" : "JPEG, progressive";
    return grey ? "JPEG, grey" : cmyk ? "JPEG, CMYK" : "JPEG";
}

// Inverted ink (v = 255 - ink) laid on white: each colour's light times
// what the black lets through.
void cmyk_on_white(const std::uint8_t* cmyk, std::size_t count, std::uint8_t* rgb) {
    for (std::size_t x = 0; x < count; ++x, cmyk += 4, rgb += 3) {
        const unsigned k = cmyk[3];
        for (int c = 0; c < 3; ++c) rgb[c] = static_cast<std::uint8_t>((cmyk[c] * k + 127) / 255);
    }
}

// CMYK samples laid on white, then values: a block at a time on the stack,
// so that any thread may make them.
void cmyk_values(const std::uint8_t* cmyk, std::size_t count, std::uint8_t* values, ValueRule rule) {
    constexpr std::size_t kBlock = 256;
    std::uint8_t rgb[kBlock * 3];
    for (std::size_t done = 0; done < count; done += kBlock) {
        const std::size_t n = std::min(kBlock, count - done);
        cmyk_on_white(cmyk + 4 * done, n, rgb);
        rgb_values(rgb, n, values + done, rule);
    }
}

bool claims_jpeg(const unsigned char* first, std::size_t length) {
    return length >= 3 && first[0] == 0xFF && first[1] == 0xD8 && first[2] == 0xFF;
}

// What may follow SOI's 0xFF: a marker's code or a fill byte. A stuffed zero,
// TEM, a reserved code, RSTn, SOI or EOI is no first marker, and libjpeg
// would search the rest of the stream for one.
bool first_marker(unsigned char code) { return code >= 0xC0 && !(code >= 0xD0 && code <= 0xD9); }

// The start of an image marker and a first marker, so far.
bool may_begin_jpeg(const unsigned char* first, std::size_t length) {
    static constexpr unsigned char kStart[] = {0xFF, 0xD8, 0xFF};
    return length < sizeof kStart && std::memcmp(first, kStart, length) == 0;
}

// libjpeg's size at 1/shrink: the size divided, rounded up.
std::uint64_t shrunk(std::uint64_t size, unsigned shrink) { return (size + shrink - 1) / shrink; }

// The smallest of libjpeg's scales (1/8, 1/4, 1/2) that keeps the picture
// at least the size the resize asks for, else 1.
unsigned shrink_on_load(std::uint64_t width, std::uint64_t height, unsigned orientation, const Options& options) {
    if (!resizing(options)) return 1;
    const Size size = resized_size(static_cast<std::int64_t>(width), static_cast<std::int64_t>(height), options,
                                   turns_a_quarter(options, orientation));
    for (const unsigned shrink : {8u, 4u, 2u})
        if (shrunk(width, shrink) >= static_cast<std::uint64_t>(size.width) &&
            shrunk(height, shrink) >= static_cast<std::uint64_t>(size.height))
            return shrink;
    return 1;
}

}  // namespace

JpegReader::~JpegReader() {
    if (session_ != nullptr) qpbm_jpeg_close(session_);
}

Status JpegReader::open(std::FILE* in, Facts& facts) {
    if (session_ != nullptr) qpbm_jpeg_close(session_);
    session_ = new (b_.session) qpbm_jpeg;
    if (qpbm_jpeg_open(session_, in, kJpegMaxMemory, kJpegMaxScans) != 0) return refused(*session_, facts);
    return Status::ok;
}

Status JpegReader::check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) {
    facts_ = &facts;
    facts.format = "JPEG";
    read_before_ = false;
    bound_ = UINT64_MAX;
    shrink_ = 1;
    start_ = ftello(in);
    if (start_ >= 0) {
        unsigned char first[4];
        const std::size_t got = std::fread(first, 1, sizeof first, in);
        if (got == sizeof first && !first_marker(first[3])) {
            std::snprintf(facts.library_text, sizeof facts.library_text,
                          "the start of image is followed by 0xFF 0x%02X, not a marker", first[3]);
            return Status::jpeg_refused;
        }
        if (fseeko(in, start_, SEEK_SET) != 0) return Status::read_failed;
    }
    if (const Status status = open(in, facts); status != Status::ok) return status;
    const jpeg_decompress_struct& d = session_->d;
    facts.format = format_name(d);
    facts.width = d.image_width;
    facts.height = d.image_height;
    picture = {static_cast<std::int32_t>(d.image_width), static_cast<std::int32_t>(d.image_height), RowForm::values};
    if (const Status status = check_size_for(*request.options, d.image_width, d.image_height, facts);
        status != Status::ok)
        return status;
    // JFIF's density: unit 1 dots per inch, 2 per centimetre, 0 only the
    // aspect ratio (no resolution). libjpeg fills in 1:1 without a JFIF marker.
    const ResolutionUnit unit = d.density_unit == 1   ? ResolutionUnit::inch
                                : d.density_unit == 2 ? ResolutionUnit::centimetre
                                                      : ResolutionUnit::none;
    if (d.saw_JFIF_marker && unit != ResolutionUnit::none && d.X_density > 0 && d.Y_density > 0)
        picture.resolution = {unit, static_cast<double>(d.X_density), static_cast<double>(d.Y_density)};
    // The first APP1 that is EXIF: its Orientation, and its resolution
    // where JFIF gave none.
    for (jpeg_saved_marker_ptr m = d.marker_list; m != nullptr; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || m->data_length < 6 || std::memcmp(m->data, "Exif\0", 5) != 0) continue;
        const ExifLayout exif = parse_jpeg_exif(m->data, m->data_length);
        if (exif.orientation != 0) picture.orientation = static_cast<std::uint8_t>(exif.orientation);
        if (picture.resolution.unit == ResolutionUnit::none) picture.resolution = exif.resolution;
        break;
    }
    shrink_ = shrink_on_load(d.image_width, d.image_height, picture.orientation, *request.options);
    if (shrink_ > 1) {
        picture.stored_width = picture.width;
        picture.stored_height = picture.height;
        picture.shrink = shrink_;
        picture.width = static_cast<std::int32_t>(shrunk(d.image_width, shrink_));
        picture.height = static_cast<std::int32_t>(shrunk(d.image_height, shrink_));
    }
    bound_ = codec_input_bound(d.image_width, d.image_height, static_cast<unsigned>(std::max(d.num_components, 1)),
                               d.data_precision > 8 ? 2 : 1);
    return Status::ok;
}

Status JpegReader::read(std::FILE* in, const ReadRequest& request, RowSink& sink) {
    Facts spare;
    Facts& facts = facts_ != nullptr ? *facts_ : spare;
    if (read_before_ || session_ == nullptr) {
        // Again from the start (Otsu looks at the picture twice).
        if (start_ < 0 || fseeko(in, start_, SEEK_SET) != 0) return Status::read_failed;
        if (const Status status = open(in, facts); status != Status::ok) return status;
    }
    read_before_ = true;
    qpbm_jpeg& s = *session_;
    const J_COLOR_SPACE stored = s.d.jpeg_color_space;
    const bool cmyk = stored == JCS_CMYK || stored == JCS_YCCK;
    // A first look (auto's) takes libjpeg's own scaling, at 1/8 the DC terms
    // alone, and of a YCbCr picture its Y alone (the luma it looks at, with
    // no chroma to scale, upsample or convert); a resize takes the shrink the
    // check planned.
    const bool glimpse = request.glimpse > 1 && request.shrunk != nullptr;
    const J_COLOR_SPACE space = stored == JCS_GRAYSCALE || (glimpse && stored == JCS_YCbCr) ? JCS_GRAYSCALE
                                : cmyk                                                      ? JCS_CMYK
                                                                                            : JCS_RGB;
    const unsigned scale = glimpse ? request.glimpse : shrink_;
    if (glimpse) *request.shrunk = true;
    if (qpbm_jpeg_start(&s, space, scale) != 0) return refused(s, facts);
    if (!glimpse && (s.d.output_width != shrunk(s.d.image_width, shrink_) ||
                     s.d.output_height != shrunk(s.d.image_height, shrink_)))
        return Status::read_failed;  // not the size the check promised

    const ValueRule rule = value_rule(*request.options);
    const std::size_t width = s.d.output_width;
    const std::size_t height = s.d.output_height;
    const std::size_t components = static_cast<std::size_t>(s.d.output_components);
    const SampleRow how{space == JCS_GRAYSCALE ? grey_values
                        : space == JCS_RGB     ? rgb_values
                                               : cmyk_values,
                        rule, components, kJpegPiecePixels};
    for (std::size_t y = 0; y < height; ++y) {
        // A sink in another thread takes the row as libjpeg decodes it.
        if (std::uint8_t* room = sink.room(width * components)) {
            const JSAMPROW own = s.row;
            s.row = room;
            const int failed = qpbm_jpeg_read_row(&s);
            s.row = own;
            if (failed != 0) return refused(s, facts);
            if (!sink.take_samples(y, width, how)) return Status::write_failed;
            continue;
        }
        if (qpbm_jpeg_read_row(&s) != 0) return refused(s, facts);
        for (std::size_t first = 0; first < width; first += kJpegPiecePixels) {
            const std::size_t count = std::min(kJpegPiecePixels, width - first);
            std::uint8_t* values = request.whole_rows ? request.row + first : b_.values;
            how.make(s.row + first * components, count, values, rule);
            if (!sink.take(y, first, values, count)) return Status::write_failed;
        }
    }
    return Status::ok;
}

const ReaderKind kJpegReader = {
    "JPEG",
    Format::jpeg,
    Format::pbm,
    claims_jpeg,
    [](PartRoom& room, Buffers& buffers) -> Reader* { return build_in<JpegReader>(room, buffers.read.jpeg); },
    may_begin_jpeg,
    true,  // decodes
};

const char* jpeg_library() {
    // jconfig.h's number is MAJOR * 1000000 + MINOR * 1000 + PATCH.
    static char text[40];
    static const int made =
        std::snprintf(text, sizeof text, "libjpeg-turbo %d.%d.%d", LIBJPEG_TURBO_VERSION_NUMBER / 1000000,
                      LIBJPEG_TURBO_VERSION_NUMBER / 1000 % 1000, LIBJPEG_TURBO_VERSION_NUMBER % 1000);
    (void)made;
    return text;
}

}  // namespace qpbm

// The PGM, PPM and PAM reader: the header, then the raster, plain or raw.
#include "read/pnm.hpp"

#include <sys/types.h>

#include <algorithm>
#include <cstring>

#include "convert/buffers.hpp"
#include "formats/pbm.hpp"
#include "read/netpbm_input.hpp"
#include "read/values.hpp"

namespace qpbm {

namespace {

constexpr unsigned depth_of(PnmSamples s) {
    return s == PnmSamples::grey ? 1 : s == PnmSamples::grey_alpha ? 2 : s == PnmSamples::rgb ? 3 : 4;
}
constexpr bool has_alpha(PnmSamples s) { return s == PnmSamples::grey_alpha || s == PnmSamples::rgb_alpha; }
constexpr bool is_colour(PnmSamples s) { return s == PnmSamples::rgb || s == PnmSamples::rgb_alpha; }
constexpr unsigned sample_bytes(std::uint32_t maxval) { return maxval > kPnmOneByteMaxval ? 2 : 1; }

void name_fact(Facts& facts, const char* name, std::size_t length) {
    length = std::min(length, sizeof facts.name - 1);
    std::memcpy(facts.name, name, length);
    facts.name[length] = '\0';
}

// The shared grammar's refusals, in this family's terms.
Status pnm_status(Status status) {
    switch (status) {
        case Status::pbm_header_truncated: return Status::pnm_header_truncated;
        case Status::pbm_number_too_large: return Status::pnm_too_large;
        case Status::pbm_bad_header_char:
        case Status::pbm_signed_number:
        case Status::pbm_header_too_long: return Status::pnm_bad_header;
        default: return status;
    }
}

Status check_maxval(std::int64_t maxval, Facts& facts) {
    facts.maxval = static_cast<std::uint32_t>(std::min<std::int64_t>(maxval, kPbmDimensionMax));
    return maxval >= 1 && maxval <= kPnmMaxvalMax ? Status::ok : Status::pnm_bad_maxval;
}

// ---- PGM and PPM ------------------------------------------------------------

Status read_pnm_header(HeaderReader& h, bool raw, PnmSource& source, Facts& facts) {
    std::int64_t numbers[3] = {};
    for (int i = 0; i < 3; ++i) {
        const Status status = read_field(h, numbers[i]);
        if (i == 2 && status == Status::pbm_number_too_large) return check_maxval(kPbmDimensionMax, facts);
        if (status != Status::ok) return pnm_status(status);
        if (i == 0) facts.width = numbers[0];
        if (i == 1) facts.height = numbers[1];
    }
    if (const Status status = check_maxval(numbers[2], facts); status != Status::ok) return status;
    // Raw samples start after exactly one white-space byte.
    if (raw) {
        const int c = peek(h);
        if (c == kInputEnd && h.input.failed) return Status::read_failed;
        if (c != kInputEnd && (!is_pbm_space(c) || !take(h))) return Status::pnm_bad_header;
    }
    source.width = static_cast<std::int32_t>(numbers[0]);
    source.height = static_cast<std::int32_t>(numbers[1]);
    source.maxval = static_cast<std::uint32_t>(numbers[2]);
    return Status::ok;
}

// ---- PAM --------------------------------------------------------------------

struct TupleType {
    const char* name;
    PnmSamples samples;
    bool bilevel;  // maxval 1 only
};

constexpr TupleType kTupleTypes[] = {
    {"BLACKANDWHITE", PnmSamples::grey, true},          {"GRAYSCALE", PnmSamples::grey, false},
    {"GRAYSCALE_ALPHA", PnmSamples::grey_alpha, false}, {"RGB", PnmSamples::rgb, false},
    {"RGB_ALPHA", PnmSamples::rgb_alpha, false},
};

// One header line without its line feed.
Status read_line(HeaderReader& h, char (&line)[kPamLineMax], std::size_t& length) {
    length = 0;
    for (;;) {
        const int c = peek(h);
        if (c == kInputEnd) return h.input.failed ? Status::read_failed : Status::pnm_header_truncated;
        if (!take(h)) return Status::pnm_bad_header;
        if (c == '\n') return Status::ok;
        if (length == kPamLineMax) return Status::pnm_bad_header;
        line[length++] = static_cast<char>(c);
    }
}

bool parse_number(const char* p, const char* end, std::int64_t& value) {
    if (p == end) return false;
    value = 0;
    for (; p != end; ++p) {
        if (!is_digit(*p)) return false;
        value = value * 10 + (*p - '0');
        if (value > kPbmDimensionMax) return false;
    }
    return true;
}

bool is_keyword(const char* p, std::size_t length, const char* keyword) {
    return std::strlen(keyword) == length && std::memcmp(p, keyword, length) == 0;
}

// The lines after "P7" up to ENDHDR; leaves the input at the raster.
Status read_pam_header(HeaderReader& h, PnmSource& source, Facts& facts) {
    enum Field { kWidth, kHeight, kDepth, kMaxval, kFields };
    static constexpr const char* kNames[kFields] = {"WIDTH", "HEIGHT", "DEPTH", "MAXVAL"};
    std::int64_t fields[kFields] = {-1, -1, -1, -1};
    char tuple_type[kPamLineMax];
    std::size_t tuple_length = 0;

    char line[kPamLineMax];
    for (;;) {
        std::size_t length = 0;
        if (const Status status = read_line(h, line, length); status != Status::ok) return status;
        const char* p = line;
        const char* end = line + length;
        while (p != end && is_pbm_space(*p)) ++p;
        while (end != p && is_pbm_space(end[-1])) --end;
        if (p == end || *p == kPbmCommentStart) continue;
        const char* key_end = p;
        while (key_end != end && !is_pbm_space(*key_end)) ++key_end;
        const std::size_t key_length = static_cast<std::size_t>(key_end - p);
        const char* value = key_end;
        while (value != end && is_pbm_space(*value)) ++value;

        if (is_keyword(p, key_length, "ENDHDR")) break;
        if (is_keyword(p, key_length, "TUPLTYPE")) {
            // Several lines make one type, joined by a space.
            const std::size_t n = static_cast<std::size_t>(end - value);
            if (tuple_length != 0 && tuple_length < sizeof tuple_type) tuple_type[tuple_length++] = ' ';
            const std::size_t room = sizeof tuple_type - tuple_length;
            std::memcpy(tuple_type + tuple_length, value, std::min(n, room));
            tuple_length += std::min(n, room);
            continue;
        }
        int field = 0;
        while (field < kFields && !is_keyword(p, key_length, kNames[field])) ++field;
        name_fact(facts, p, key_length);
        if (field == kFields) return Status::pam_bad_line;
        std::int64_t number = 0;
        if (!parse_number(value, end, number)) {
            if (field == kMaxval) return check_maxval(kPbmDimensionMax, facts);
            return field == kDepth ? Status::pam_bad_depth : Status::pnm_too_large;
        }
        fields[field] = number;
        if (field == kWidth) facts.width = number;
        if (field == kHeight) facts.height = number;
    }

    for (int field = 0; field < kFields; ++field)
        if (fields[field] < 0) {
            name_fact(facts, kNames[field], std::strlen(kNames[field]));
            return Status::pam_missing_field;
        }
    if (const Status status = check_maxval(fields[kMaxval], facts); status != Status::ok) return status;
    facts.depth = static_cast<std::uint32_t>(fields[kDepth]);
    name_fact(facts, tuple_type, tuple_length);

    const TupleType* type = nullptr;
    if (tuple_length == 0) {
        // No type: the depth says which one (netpbm's own readers do the same).
        for (const TupleType& t : kTupleTypes)
            if (!t.bilevel && depth_of(t.samples) == fields[kDepth]) type = &t;
        if (type == nullptr) return Status::pam_bad_depth;
    } else {
        for (const TupleType& t : kTupleTypes)
            if (is_keyword(tuple_type, tuple_length, t.name)) type = &t;
        if (type == nullptr) return Status::pam_bad_tuple_type;
        if (depth_of(type->samples) != fields[kDepth]) return Status::pam_bad_depth;
        if (type->bilevel && fields[kMaxval] != 1) return Status::pnm_bad_maxval;
    }
    source.samples = type->samples;
    source.width = static_cast<std::int32_t>(fields[kWidth]);
    source.height = static_cast<std::int32_t>(fields[kHeight]);
    source.maxval = static_cast<std::uint32_t>(fields[kMaxval]);
    return Status::ok;
}

Status read_header(NetpbmInput& input, PnmSource& source, Facts& facts) {
    HeaderReader h{input};
    int c = peek(h);
    if (c != kPbmMagicStart || !take(h))
        return c == kInputEnd && input.failed ? Status::read_failed : Status::pnm_bad_header;
    c = peek(h);
    if (c == kInputEnd || !take(h)) return input.failed ? Status::read_failed : Status::pnm_header_truncated;
    Status status = Status::pnm_bad_header;
    switch (c) {
        case kPlainPgmKind:
        case kRawPgmKind:
        case kPlainPpmKind:
        case kRawPpmKind: {
            const bool grey = c == kPlainPgmKind || c == kRawPgmKind;
            source.plain = c == kPlainPgmKind || c == kPlainPpmKind;
            source.samples = grey ? PnmSamples::grey : PnmSamples::rgb;
            facts.format =
                grey ? (source.plain ? "PGM, plain" : "PGM, raw") : (source.plain ? "PPM, plain" : "PPM, raw");
            status = read_pnm_header(h, !source.plain, source, facts);
            break;
        }
        case kPamKind: {
            facts.format = "PAM";
            bool separated = false;
            if (!is_pbm_space(peek(h)))
                return peek(h) == kInputEnd ? pnm_status(end_status(h)) : Status::pnm_bad_header;
            status = skip_separators(h, separated);
            if (status == Status::ok) status = read_pam_header(h, source, facts);
            break;
        }
    }
    source.header_size = h.used;
    return pnm_status(status);
}

// ---- The raster -------------------------------------------------------------

// Byte `offset` of the picture is input.block[input.begin].
struct Raster {
    NetpbmInput input;
    std::uint64_t offset = 0;
    bool in_comment = false;
};

// Puts one pixel's 8-bit samples in `out` as grey or red, green and blue,
// its alpha (if any) laid over white.
inline void put_pixel(const std::uint8_t* c, PnmSamples samples, std::uint8_t* out) {
    switch (samples) {
        case PnmSamples::grey: out[0] = c[0]; break;
        case PnmSamples::grey_alpha: out[0] = over_white(c[0], c[1]); break;
        case PnmSamples::rgb: out[0] = c[0], out[1] = c[1], out[2] = c[2]; break;
        case PnmSamples::rgb_alpha:
            for (int k = 0; k < 3; ++k) out[k] = over_white(c[k], c[3]);
            break;
    }
}

// The next sample of a plain raster, whatever its size (capped past 65535).
Status plain_sample(Raster& r, std::uint32_t& value, std::uint64_t& at) {
    NetpbmInput& input = r.input;
    auto next = [&input]() -> int {
        if (input.begin == input.end && !input.ended) refill(input, input.capacity);
        return input.begin < input.end ? static_cast<unsigned char>(input.block[input.begin]) : kInputEnd;
    };
    int c;
    for (; (c = next()) != kInputEnd; ++input.begin, ++r.offset) {
        if (r.in_comment)
            r.in_comment = !ends_pbm_comment(c);
        else if (c == kPbmCommentStart)
            r.in_comment = true;
        else if (!is_pbm_space(c))
            break;
    }
    at = r.offset;
    if (c == kInputEnd) return input.failed ? Status::read_failed : Status::pnm_pixels_truncated;
    if (!is_digit(c)) return Status::pnm_bad_sample;
    value = 0;
    for (; is_digit(c); ++input.begin, ++r.offset, c = next())
        value = std::min<std::uint32_t>(value * 10 + static_cast<std::uint32_t>(c - '0'), kPnmMaxvalMax + 1);
    return c == kInputEnd && input.failed ? Status::read_failed : Status::ok;
}

// `count` pixels of a plain raster as 8-bit samples.
Status plain_pixels(Raster& r, const PnmSource& s, const std::uint8_t* scale, std::size_t count, std::uint8_t* out,
                    Facts& facts) {
    const unsigned depth = depth_of(s.samples);
    const unsigned channels = is_colour(s.samples) ? 3 : 1;
    for (std::size_t x = 0; x < count; ++x) {
        std::uint8_t c[kPnmDepthMax];
        for (unsigned k = 0; k < depth; ++k) {
            std::uint32_t v = 0;
            std::uint64_t at = 0;
            const Status status = plain_sample(r, v, at);
            facts.at_byte = at;
            if (status != Status::ok) return status;
            if (v > s.maxval) {
                facts.sample = v;
                return Status::pnm_sample_over_maxval;
            }
            c[k] = scale[v];
        }
        put_pixel(c, s.samples, out + x * channels);
    }
    return Status::ok;
}

// `count` pixels of a raw raster, `Bytes` a sample, as 8-bit samples.
template <unsigned Bytes>
Status raw_pixels(const unsigned char* in, std::uint64_t offset, const PnmSource& s, const std::uint8_t* scale,
                  std::size_t count, std::uint8_t* out, Facts& facts) {
    const unsigned depth = depth_of(s.samples);
    const unsigned channels = is_colour(s.samples) ? 3 : 1;
    for (std::size_t x = 0; x < count; ++x) {
        std::uint8_t c[kPnmDepthMax];
        for (unsigned k = 0; k < depth; ++k) {
            const std::size_t i = x * depth + k;
            const std::uint32_t v = Bytes == 1 ? in[i] : static_cast<std::uint32_t>(in[2 * i] << 8 | in[2 * i + 1]);
            if (v > s.maxval) {
                facts.sample = v;
                facts.at_byte = offset + i * Bytes;
                return Status::pnm_damaged_sample;
            }
            c[k] = scale[v];
        }
        put_pixel(c, s.samples, out + x * channels);
    }
    return Status::ok;
}

// Makes `bytes` raw bytes whole at input.block + input.begin.
Status raw_bytes(NetpbmInput& input, std::size_t bytes) {
    if (input.end - input.begin < bytes && !input.ended) refill(input, input.capacity);
    if (input.end - input.begin >= bytes) return Status::ok;
    return input.failed ? Status::read_failed : Status::pnm_pixels_truncated;
}

bool claims_pnm(const unsigned char* first, std::size_t length) {
    if (length < 2 || first[0] != kPbmMagicStart) return false;
    const char kind = static_cast<char>(first[1]);
    return kind == kPlainPgmKind || kind == kPlainPpmKind || kind == kRawPgmKind || kind == kRawPpmKind ||
           kind == kPamKind;
}

// The bytes of a raw raster; 0 when they would pass 2^64.
std::uint64_t raster_size(const PnmSource& s) {
    const std::uint64_t row = static_cast<std::uint64_t>(s.width) * depth_of(s.samples) * sample_bytes(s.maxval);
    const std::uint64_t height = static_cast<std::uint64_t>(s.height);
    if (row != 0 && height > UINT64_MAX / row) return 0;
    return row * height;
}

}  // namespace

Status PnmReader::check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) {
    std::setvbuf(in, nullptr, _IONBF, 0);
    source_ = PnmSource{};
    facts_ = &facts;
    const off_t start = ftello(in);
    NetpbmInput input{in, b_.input, kPnmBlockSize};
    Status status = read_header(input, source_, facts);
    if (status != Status::ok) return status;
    source_.buffered_begin = static_cast<std::uint32_t>(input.begin);
    source_.buffered_end = static_cast<std::uint32_t>(input.end);
    source_.input_ended = input.ended;
    if (start >= 0) source_.raster_start = start + static_cast<off_t>(source_.header_size);
    picture = {source_.width, source_.height, RowForm::values};
    status = check_size_for(*request.options, source_.width, source_.height, facts);
    if (status != Status::ok) return status;

    // A raw raster's size is known: a file too short for it is refused now,
    // before anything is written.
    const off_t here = ftello(in);
    if (!source_.plain && source_.raster_start >= 0 && here >= 0 && fseeko(in, 0, SEEK_END) == 0) {
        const off_t end = ftello(in);
        if (fseeko(in, here, SEEK_SET) != 0) return Status::read_failed;
        const std::uint64_t needed = raster_size(source_);
        const std::uint64_t held = static_cast<std::uint64_t>(std::max<off_t>(end - source_.raster_start, 0));
        if (end >= 0 && (needed == 0 ? source_.width > 0 && source_.height > 0 : held < needed)) {
            facts.file_size = static_cast<std::uint64_t>(end);
            facts.needed_size = needed == 0 ? UINT64_MAX : needed;  // 0: past 2^64
            return Status::pnm_pixels_truncated;
        }
    }
    for (std::uint32_t v = 0; v <= source_.maxval; ++v) b_.scale[v] = scale_sample(v, source_.maxval);
    return Status::ok;
}

Status PnmReader::read(std::FILE* in, const ReadRequest& request, RowSink& sink) {
    Raster r{NetpbmInput{in, b_.input, kPnmBlockSize, source_.buffered_begin, source_.buffered_end, source_.input_ended,
                         false},
             source_.header_size};
    if (source_.read_before) {
        // Read again from the first row (Otsu looks at the picture twice).
        if (source_.raster_start < 0 || fseeko(in, source_.raster_start, SEEK_SET) != 0) return Status::read_failed;
        r.input.begin = r.input.end = 0;
        r.input.ended = false;
    }
    source_.read_before = true;

    Facts spare;
    Facts& facts = facts_ != nullptr ? *facts_ : spare;
    const PnmSamples samples = source_.samples;
    const unsigned depth = depth_of(samples);
    const unsigned bytes = sample_bytes(source_.maxval);
    const bool direct = bytes == 1 && source_.maxval == kPnmOneByteMaxval && !has_alpha(samples);
    const ValueRule rule = value_rule(*request.options);
    const std::size_t width = static_cast<std::size_t>(source_.width);
    const std::size_t height = static_cast<std::size_t>(source_.height);

    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t first = 0; first < width; first += kPnmPiecePixels) {
            const std::size_t count = std::min(kPnmPiecePixels, width - first);
            const std::uint8_t* pixels = b_.samples;
            Status status = Status::ok;
            if (source_.plain) {
                status = plain_pixels(r, source_, b_.scale, count, b_.samples, facts);
            } else {
                const std::size_t n = count * depth * bytes;
                status = raw_bytes(r.input, n);
                const auto* raw = reinterpret_cast<const unsigned char*>(r.input.block + r.input.begin);
                if (status == Status::ok && direct)
                    pixels = raw;
                else if (status == Status::ok)
                    status = bytes == 1 ? raw_pixels<1>(raw, r.offset, source_, b_.scale, count, b_.samples, facts)
                                        : raw_pixels<2>(raw, r.offset, source_, b_.scale, count, b_.samples, facts);
                if (status == Status::pnm_pixels_truncated) facts.at_byte = r.offset + (r.input.end - r.input.begin);
                if (status != Status::ok) return status;
                r.input.begin += n;
                r.offset += n;
            }
            if (status != Status::ok) return status;
            std::uint8_t* values = request.whole_rows ? request.row + first : b_.values;
            if (is_colour(samples))
                rgb_values(pixels, count, values, rule);
            else
                grey_values(pixels, count, values, rule);
            if (!sink.take(y, first, values, count)) return Status::write_failed;
        }
    return Status::ok;
}

std::uint64_t PnmReader::input_bound() const {
    const PnmSource& s = source_;
    const std::uint64_t samples = static_cast<std::uint64_t>(s.width) * static_cast<std::uint64_t>(s.height);
    const std::uint64_t depth = depth_of(s.samples);
    std::uint64_t raster = s.plain ? samples * depth : raster_size(s);  // samples < 2^62, depth <= 4
    if (s.plain) raster = raster > UINT64_MAX / kPnmPlainSampleSpan ? UINT64_MAX : raster * kPnmPlainSampleSpan;
    if (!s.plain && raster == 0 && samples != 0) raster = UINT64_MAX;  // past 2^64
    return raster > UINT64_MAX - s.header_size ? UINT64_MAX : s.header_size + raster;
}

const ReaderKind kPnmReader = {
    "PNM",
    Format::pnm,
    Format::pbm,
    claims_pnm,
    [](PartRoom& room, Buffers& buffers) -> Reader* { return build_in<PnmReader>(room, buffers.read.pnm); },
    may_begin_netpbm,
};

}  // namespace qpbm

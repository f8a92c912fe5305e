// The PNG reader: libspng parses and inflates, this file turns its rows of
// stored samples into values by the library's sample rules.
#include "read/png.hpp"

#include <spng.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/buffers.hpp"
#include "core/limits.hpp"
#include "core/pnm_format.hpp"
#include "read/exif.hpp"
#include "read/values.hpp"

namespace qpbm {

namespace {

// ---- libspng's memory, counted --------------------------------------------
//
// Each block carries its size and the count it was charged to in front, so
// that a free gives it back to that count in whatever thread it runs: with
// the reader thread, a context is made in one thread, decodes in another
// and is freed in the first. libspng's allocator has no user pointer, so an
// allocation is charged to the count of the PngMemoryScope around the call.

struct BlockHead {
    std::size_t size;
    PngMemory* memory;
};
constexpr std::size_t kBlockHeader = alignof(std::max_align_t);
static_assert(sizeof(BlockHead) <= kBlockHeader);
thread_local PngMemory* charged = nullptr;

void* counted_malloc(std::size_t size) {
    PngMemory* memory = charged;
    if (memory == nullptr || size > kPngLibraryMemory - memory->in_use) return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(size + kBlockHeader));
    if (block == nullptr) return nullptr;
    const BlockHead head{size, memory};
    std::memcpy(block, &head, sizeof head);
    memory->in_use += size;
    return block + kBlockHeader;
}

void counted_free(void* p) {
    if (p == nullptr) return;
    auto* block = static_cast<unsigned char*>(p) - kBlockHeader;
    BlockHead head;
    std::memcpy(&head, block, sizeof head);
    head.memory->in_use -= head.size;
    std::free(block);
}

void* counted_calloc(std::size_t count, std::size_t size) {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    void* p = counted_malloc(count * size);
    if (p != nullptr) std::memset(p, 0, count * size);
    return p;
}

void* counted_realloc(void* p, std::size_t size) {
    if (p == nullptr) return counted_malloc(size);
    BlockHead head;
    std::memcpy(&head, static_cast<unsigned char*>(p) - kBlockHeader, sizeof head);
    const std::size_t old = head.size;
    void* fresh = counted_malloc(size);
    if (fresh == nullptr) return nullptr;
    std::memcpy(fresh, p, std::min(old, size));
    counted_free(p);
    return fresh;
}

spng_alloc kCountedAlloc = {counted_malloc, counted_realloc, counted_calloc, counted_free};

// ---- the input ----------------------------------------------------------------

int read_input(spng_ctx*, void* user, void* dest, std::size_t length) {
    auto* input = static_cast<PngInput*>(user);
    return input->chunks.read(input->file, static_cast<unsigned char*>(dest), length, input->error);
}

Status refused(int error, const PngInput& input, Facts& facts) {
    if (input.error != 0) {
        facts.os_error = input.error;
        return Status::read_failed;
    }
    const char* text = spng_strerror(error);
    if (error == SPNG_EMEM)  // our count refused it: say which limit
        std::snprintf(facts.library_text, sizeof facts.library_text,
                      "it needs more memory than the %zu MiB this reader gives libspng", kPngLibraryMemory >> 20);
    else
        std::snprintf(facts.library_text, sizeof facts.library_text, "%s", text != nullptr ? text : "unknown error");
    return Status::png_refused;
}

const char* format_name(unsigned colour_type) {
    switch (colour_type) {
        case png_colour::grey: return "PNG, grey";
        case png_colour::rgb: return "PNG, RGB";
        case png_colour::palette: return "PNG, palette";
        case png_colour::grey_alpha: return "PNG, grey and alpha";
        case png_colour::rgba: return "PNG, RGBA";
    }
    return "PNG";
}

// Sample i of a stored row.
inline unsigned sample_at(const std::uint8_t* row, std::size_t i, unsigned depth) {
    switch (depth) {
        case 8: return row[i];
        case 16: {
            std::uint16_t v;  // libspng hands 16-bit samples over in host order
            std::memcpy(&v, row + 2 * i, sizeof v);
            return v;
        }
        default: {
            const std::size_t bit = i * depth;
            const unsigned shift = 8 - depth - static_cast<unsigned>(bit % 8);
            return (row[bit / 8] >> shift) & ((1u << depth) - 1);
        }
    }
}

bool claims_png(const unsigned char* first, std::size_t length) {
    return length >= sizeof kPngSignature && std::memcmp(first, kPngSignature, sizeof kPngSignature) == 0;
}

// The signature so far.
bool may_begin_png(const unsigned char* first, std::size_t length) {
    return length < sizeof kPngSignature && std::memcmp(first, kPngSignature, length) == 0;
}

void name_fact(Facts& facts, const char* name) { std::snprintf(facts.name, sizeof facts.name, "%s", name); }

}  // namespace

PngReader::~PngReader() { close(); }

void PngReader::close() {
    if (ctx_ != nullptr) spng_ctx_free(ctx_);
    ctx_ = nullptr;
    std::free(memory_);
    memory_ = nullptr;
}

PngMemoryScope::PngMemoryScope(PngMemory& memory) : saved_(charged) { charged = &memory; }
PngMemoryScope::~PngMemoryScope() { charged = saved_; }

spng_ctx* new_png_context(int flags) { return spng_ctx_new2(&kCountedAlloc, flags); }

// A decoder on `in` with its limits set, before it reads a byte.
Status PngReader::open(std::FILE* in, Facts& facts) {
    ctx_ = new_png_context(0);
    if (ctx_ == nullptr) return refused(SPNG_EMEM, input_, facts);
    input_ = PngInput{};
    input_.file = in;
    constexpr std::uint32_t kSide = 0x7FFFFFFF;  // PNG's own limit: the writer of the output has its own
    int error = spng_set_png_stream(ctx_, read_input, &input_);
    if (error == 0) error = spng_set_image_limits(ctx_, kSide, kSide);
    if (error == 0) error = spng_set_chunk_limits(ctx_, kPngMaxChunkSize, kPngMaxChunkCache);
    return error == 0 ? Status::ok : refused(error, input_, facts);
}

Status PngReader::check(std::FILE* in, const ReadRequest& request, Picture& picture, Facts& facts) {
    const PngMemoryScope scope(library_memory_);
    close();
    source_ = PngSource{};
    bound_ = UINT64_MAX;
    facts_ = &facts;
    facts.format = "PNG";
    read_before_ = false;
    source_.start = ftello(in);
    if (const Status status = open(in, facts); status != Status::ok) return status;

    spng_ihdr ihdr{};
    if (const int error = spng_get_ihdr(ctx_, &ihdr); error != 0) return refused(error, input_, facts);
    source_.width = ihdr.width;
    source_.height = ihdr.height;
    source_.depth = ihdr.bit_depth;
    source_.colour_type = ihdr.color_type;
    source_.interlaced = ihdr.interlace_method != 0;
    facts.format = format_name(ihdr.color_type);
    facts.bit_count = ihdr.bit_depth;
    facts.width = ihdr.width;
    facts.height = ihdr.height;
    picture = {static_cast<std::int32_t>(ihdr.width), static_cast<std::int32_t>(ihdr.height), RowForm::values};
    if (const Status status = check_size_for(*request.options, ihdr.width, ihdr.height, facts); status != Status::ok)
        return status;
    // No product here passes 2^64: the width is below 2^31, a pixel 64 bits.
    source_.row_bytes = (std::uint64_t{ihdr.width} * png_channels(ihdr.color_type) * ihdr.bit_depth + 7) / 8;
    if (source_.row_bytes > kPngMaxRowBytes) {
        name_fact(facts, "a row");
        facts.needed_size = source_.row_bytes;
        facts.limit = kPngMaxRowBytes;
        return Status::png_too_large;
    }
    if (source_.interlaced && source_.row_bytes * ihdr.height > kPngMaxInterlacedBytes) {
        name_fact(facts, "the interlaced picture");
        facts.needed_size = source_.row_bytes * ihdr.height;
        facts.limit = kPngMaxInterlacedBytes;
        return Status::png_too_large;
    }

    // PLTE and tRNS come before the first IDAT, which these read up to.
    if (ihdr.color_type == png_colour::palette) {
        spng_plte plte{};
        if (const int error = spng_get_plte(ctx_, &plte); error != 0) return refused(error, input_, facts);
        source_.palette_size = plte.n_entries;
        spng_trns trns{};
        const int error = spng_get_trns(ctx_, &trns);
        if (error != 0 && error != SPNG_ECHUNKAVAIL) return refused(error, input_, facts);
        const std::uint32_t alphas = error == 0 ? trns.n_type3_entries : 0;
        for (std::uint32_t i = 0; i < plte.n_entries; ++i) {
            const unsigned alpha = i < alphas ? trns.type3_alpha[i] : 255;
            b_.palette[3 * i] = over_white(plte.entries[i].red, alpha);
            b_.palette[3 * i + 1] = over_white(plte.entries[i].green, alpha);
            b_.palette[3 * i + 2] = over_white(plte.entries[i].blue, alpha);
        }
    } else if (ihdr.color_type == png_colour::grey || ihdr.color_type == png_colour::rgb) {
        spng_trns trns{};
        const int error = spng_get_trns(ctx_, &trns);
        if (error != 0 && error != SPNG_ECHUNKAVAIL) return refused(error, input_, facts);
        source_.has_key = error == 0;
        source_.key[0] = ihdr.color_type == png_colour::grey ? trns.gray : trns.red;
        source_.key[1] = trns.green;
        source_.key[2] = trns.blue;
    } else {
        // Chunks up to the first IDAT, so that a damaged one is refused here.
        spng_trns trns{};
        const int error = spng_get_trns(ctx_, &trns);
        if (error != 0 && error != SPNG_ECHUNKAVAIL) return refused(error, input_, facts);
    }
    // pHYs comes before the first IDAT too. Unit 1 is the metre; 0 gives
    // only the aspect ratio, which is no resolution.
    spng_phys phys{};
    if (spng_get_phys(ctx_, &phys) == 0 && phys.unit_specifier == 1 && phys.ppu_x > 0 && phys.ppu_y > 0)
        picture.resolution = {ResolutionUnit::metre, static_cast<double>(phys.ppu_x), static_cast<double>(phys.ppu_y)};
    // eXIf before the first IDAT, as browsers take it: its Orientation,
    // and its resolution where pHYs gave none.
    spng_exif exif{};
    if (spng_get_exif(ctx_, &exif) == 0) {
        const ExifLayout layout = parse_exif(reinterpret_cast<const std::uint8_t*>(exif.data), exif.length);
        if (layout.orientation != 0) picture.orientation = static_cast<std::uint8_t>(layout.orientation);
        if (picture.resolution.unit == ResolutionUnit::none) picture.resolution = layout.resolution;
    }
    const std::uint32_t maxval = (1u << ihdr.bit_depth) - 1;
    if (ihdr.color_type != png_colour::palette)
        for (std::uint32_t v = 0; v <= maxval; ++v) b_.scale[v] = scale_sample(v, maxval);
    bound_ = codec_input_bound(ihdr.width, ihdr.height, png_channels(ihdr.color_type), ihdr.bit_depth == 16 ? 2 : 1);
    return Status::ok;
}

// One stored row, in pieces, as values.
Status PngReader::rows(const std::uint8_t* row, std::size_t y, const ReadRequest& request, RowSink& sink) {
    const PngSource& s = source_;
    const ValueRule rule = value_rule(*request.options);
    const std::size_t width = s.width;
    const bool colour =
        s.colour_type == png_colour::rgb || s.colour_type == png_colour::rgba || s.colour_type == png_colour::palette;
    // 8-bit grey or RGB without a key are the samples already, as the value
    // rules take them: no copy.
    const bool as_stored =
        s.depth == 8 && !s.has_key && (s.colour_type == png_colour::grey || s.colour_type == png_colour::rgb);
    for (std::size_t first = 0; first < width; first += kPngPiecePixels) {
        const std::size_t count = std::min(kPngPiecePixels, width - first);
        std::uint8_t* values = request.whole_rows ? request.row + first : b_.values;
        if (as_stored) {
            if (colour)
                rgb_values(row + 3 * first, count, values, rule);
            else
                grey_values(row + first, count, values, rule);
            if (!sink.take(y, first, values, count)) return Status::write_failed;
            continue;
        }
        std::uint8_t* out = b_.samples;
        for (std::size_t x = first; x < first + count; ++x) {
            switch (s.colour_type) {
                case png_colour::grey: {
                    const unsigned g = sample_at(row, x, s.depth);
                    *out++ = s.has_key && g == s.key[0] ? 255 : b_.scale[g];
                    break;
                }
                case png_colour::grey_alpha:
                    *out++ = over_white(b_.scale[sample_at(row, 2 * x, s.depth)],
                                        b_.scale[sample_at(row, 2 * x + 1, s.depth)]);
                    break;
                case png_colour::rgb: {
                    const unsigned r = sample_at(row, 3 * x, s.depth), g = sample_at(row, 3 * x + 1, s.depth),
                                   b = sample_at(row, 3 * x + 2, s.depth);
                    const bool clear = s.has_key && r == s.key[0] && g == s.key[1] && b == s.key[2];
                    out[0] = clear ? 255 : b_.scale[r];
                    out[1] = clear ? 255 : b_.scale[g];
                    out[2] = clear ? 255 : b_.scale[b];
                    out += 3;
                    break;
                }
                case png_colour::rgba: {
                    const unsigned a = b_.scale[sample_at(row, 4 * x + 3, s.depth)];
                    for (unsigned k = 0; k < 3; ++k)
                        *out++ = over_white(b_.scale[sample_at(row, 4 * x + k, s.depth)], a);
                    break;
                }
                case png_colour::palette: {
                    const unsigned i = sample_at(row, x, s.depth);
                    if (i >= s.palette_size) return Status::png_bad_palette_index;
                    std::memcpy(out, b_.palette + 3 * i, 3);
                    out += 3;
                    break;
                }
            }
        }
        if (colour)
            rgb_values(b_.samples, count, values, rule);
        else
            grey_values(b_.samples, count, values, rule);
        if (!sink.take(y, first, values, count)) return Status::write_failed;
    }
    return Status::ok;
}

Status PngReader::read(std::FILE* in, const ReadRequest& request, RowSink& sink) {
    const PngMemoryScope scope(library_memory_);
    Facts spare;
    Facts& facts = facts_ != nullptr ? *facts_ : spare;
    if (read_before_ || ctx_ == nullptr) {
        // Again from the signature (Otsu looks at the picture twice).
        close();
        if (source_.start < 0 || fseeko(in, source_.start, SEEK_SET) != 0) return Status::read_failed;
        if (const Status status = open(in, facts); status != Status::ok) return status;
    }
    read_before_ = true;
    const std::size_t height = source_.height;
    const auto row_bytes = static_cast<std::size_t>(source_.row_bytes);

    if (!source_.interlaced) {
        int error = spng_decode_image(ctx_, nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE);
        if (error != 0) return refused(error, input_, facts);
        memory_ = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(row_bytes, 1)));
        if (memory_ == nullptr) return refused(SPNG_EMEM, input_, facts);
        for (std::size_t y = 0; y < height; ++y) {
            error = spng_decode_row(ctx_, memory_, row_bytes);
            if (error != 0 && !(error == SPNG_EOI && y + 1 == height)) return refused(error, input_, facts);
            if (const Status status = rows(memory_, y, request, sink); status != Status::ok) return status;
        }
        return Status::ok;
    }

    std::size_t size = 0;
    if (const int error = spng_decoded_image_size(ctx_, SPNG_FMT_PNG, &size); error != 0)
        return refused(error, input_, facts);
    if (size > kPngMaxInterlacedBytes || size / height < row_bytes) return refused(SPNG_EOVERFLOW, input_, facts);
    // Zeroed: libspng ORs the pixels of sub-byte depths into place.
    memory_ = static_cast<std::uint8_t*>(std::calloc(size, 1));
    if (memory_ == nullptr) return refused(SPNG_EMEM, input_, facts);
    if (const int error = spng_decode_image(ctx_, memory_, size, SPNG_FMT_PNG, 0); error != 0)
        return refused(error, input_, facts);
    const std::size_t stride = size / height;
    for (std::size_t y = 0; y < height; ++y)
        if (const Status status = rows(memory_ + y * stride, y, request, sink); status != Status::ok) return status;
    return Status::ok;
}

const ReaderKind kPngReader = {
    "PNG",
    Format::png,
    Format::pbm,
    claims_png,
    [](PartRoom& room, Buffers& buffers) -> Reader* { return build_in<PngReader>(room, buffers.read.png); },
    may_begin_png,
    true,  // decodes
};

const char* png_library() {
    static char text[40];
    static const int made = std::snprintf(text, sizeof text, "libspng %s", spng_version_string());
    (void)made;
    return text;
}

}  // namespace qpbm

#include "read/tiff_extent.hpp"

#include <sys/types.h>

#include <algorithm>
#include <cstddef>

#include "formats/limits.hpp"
#include "read/reader.hpp"

namespace qpbm {

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;

// How many pixels' samples a piped TIFF may put before a directory when
// --max-pixels gives none (it gives its own): a gigapixel page, far past any scan (libtiff
// writes a page's directory after its strips), and a bound on the spool
// all the same.
constexpr std::uint64_t kPipedPagePixels = std::uint64_t{1} << 30;

std::uint64_t sum(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }

// Bytes a value of a field type takes; 0 for a type libtiff skips.
unsigned type_size(unsigned type) {
    switch (type) {
        case 1:
        case 2:
        case 6:
        case 7: return 1;  // BYTE, ASCII, SBYTE, UNDEFINED
        case 3:
        case 8: return 2;  // SHORT, SSHORT
        case 4:
        case 9:
        case 11:
        case 13: return 4;  // LONG, SLONG, FLOAT, IFD
        case 5:
        case 10:
        case 12:
        case 16:
        case 17:
        case 18: return 8;  // RATIONAL, SRATIONAL, DOUBLE, LONG8, SLONG8, IFD8
        default: return 0;
    }
}

// A field of an IFD entry: its type, count and value (or the value's offset).
struct Field {
    unsigned type = 0;
    std::uint64_t count = 0;
    unsigned char value[8] = {};
};

class Walk {
public:
    Walk(std::FILE* in, std::uint64_t length) : in_(in), length_(length) {}

    bool read(std::uint64_t at, void* to, std::size_t n) {
        if (at > length_ || n > length_ - at || at > static_cast<std::uint64_t>(INT64_MAX)) return false;
        return fseeko(in_, static_cast<off_t>(at), SEEK_SET) == 0 && std::fread(to, 1, n, in_) == n;
    }
    std::uint64_t number(const unsigned char* p, unsigned bytes) const {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < bytes; ++i) v |= std::uint64_t{p[little_ ? i : bytes - 1 - i]} << (8 * i);
        return v;
    }
    // An entry's value i, of a SHORT, LONG or LONG8 array held in the entry
    // or out of line; false when the bytes are not in.
    bool element(const Field& f, std::uint64_t i, std::uint64_t& v) {
        const unsigned size = type_size(f.type);
        if (f.count * size <= offset_bytes()) {
            v = number(f.value + i * size, size);
            return true;
        }
        unsigned char b[8];
        if (!read(number(f.value, offset_bytes()) + i * size, b, size)) return false;
        v = number(b, size);
        return true;
    }
    unsigned offset_bytes() const { return big_ ? 8 : 4; }

    std::FILE* in_;
    std::uint64_t length_;
    bool little_ = true;
    bool big_ = false;
};

bool is_offsets(unsigned type) { return type == 3 || type == 4 || type == 16; }

}  // namespace

Status tiff_extent(std::FILE* in, std::uint64_t length, const Options& options, TiffExtent& extent, Facts& facts) {
    extent = {};
    Walk w(in, length);
    unsigned char head[16];
    if (!w.read(0, head, 8)) {
        extent.wanted = 8;
        return Status::ok;
    }
    w.little_ = head[0] == 'I';
    w.big_ = w.number(head + 2, 2) == 43;
    const unsigned header = w.big_ ? 16 : 8;
    if (w.big_ && !w.read(0, head, 16)) {
        extent.wanted = 16;
        return Status::ok;
    }
    const unsigned ob = w.offset_bytes();
    const unsigned count_bytes = w.big_ ? 8 : 2;
    const unsigned entry_bytes = w.big_ ? 20 : 12;
    std::uint64_t ifd = w.number(head + (w.big_ ? 8 : 4), ob);
    std::uint64_t end = header;  // the farthest byte needed so far
    const std::uint64_t allowed = options.max_pixels != 0 ? options.max_pixels : kPipedPagePixels;
    const std::uint64_t between_ifds = codec_input_bound(allowed, 1, 4, 2);
    std::uint64_t ifd_end = header;
    Field width, height, samples, offsets, counts;
    for (std::uint32_t page = 0;; ++page) {
        if (ifd < header) {
            extent.end = end;  // no such page, or a damaged chain
            return Status::ok;
        }
        if (ifd > sum(ifd_end, between_ifds)) {
            facts.format = "TIFF";
            facts.limit = sum(ifd_end, between_ifds);
            return Status::input_too_long;
        }
        unsigned char b[20];
        if (!w.read(ifd, b, count_bytes)) {
            extent.wanted = ifd + count_bytes;
            return Status::ok;
        }
        const std::uint64_t entries = w.number(b, count_bytes);
        if (entries == 0 || entries > 65535) {
            extent.end = sum(ifd, count_bytes);
            return Status::ok;
        }
        ifd_end = ifd + count_bytes + entries * entry_bytes + ob;
        if (ifd_end > length) {
            extent.wanted = ifd_end;
            return Status::ok;
        }
        end = std::max(end, ifd_end);
        const bool chosen = page == options.page;
        const std::uint64_t reach_before = sum(ifd_end, between_ifds);
        std::uint64_t values_end = 0;
        for (std::uint64_t e = 0; e < entries; ++e) {
            w.read(ifd + count_bytes + e * entry_bytes, b, entry_bytes);
            Field f;
            const unsigned tag = static_cast<unsigned>(w.number(b, 2));
            f.type = static_cast<unsigned>(w.number(b + 2, 2));
            f.count = w.number(b + 4, w.big_ ? 8 : 4);
            std::copy(b + entry_bytes - ob, b + entry_bytes, f.value);
            const unsigned size = type_size(f.type);
            if (size == 0) continue;
            if (f.count > kMax / size) {
                extent.end = end;
                return Status::ok;
            }
            if (f.count * size > ob) values_end = std::max(values_end, sum(w.number(f.value, ob), f.count * size));
            if (!chosen) continue;
            if (tag == 256) width = f;
            if (tag == 257) height = f;
            if (tag == 277) samples = f;
            if (tag == 273 || tag == 324) offsets = f;
            if (tag == 279 || tag == 325) counts = f;
        }
        if (!chosen) {
            if (values_end > reach_before) {
                facts.format = "TIFF";
                facts.limit = reach_before;
                return Status::input_too_long;
            }
            end = std::max(end, values_end);
            w.read(ifd_end - ob, b, ob);
            ifd = w.number(b, ob);
            continue;
        }

        // The page: its size first, then where its bytes go.
        std::uint64_t wide = 0, tall = 0, per_pixel = 1;
        if (!is_offsets(width.type) || !is_offsets(height.type) || !w.element(width, 0, wide) ||
            !w.element(height, 0, tall) || !is_offsets(offsets.type) || !is_offsets(counts.type)) {
            extent.end = std::max(end, values_end);
            return Status::ok;
        }
        if (samples.type == 3) w.element(samples, 0, per_pixel);
        facts.format = "TIFF";
        facts.width = static_cast<std::int64_t>(std::min<std::uint64_t>(wide, INT64_MAX));
        facts.height = static_cast<std::int64_t>(std::min<std::uint64_t>(tall, INT64_MAX));
        if (const Status status = check_size_for(options, facts.width, facts.height, facts); status != Status::ok)
            return status;
        const std::uint64_t reach = sum(
            ifd_end, codec_input_bound(wide, tall, static_cast<unsigned>(std::max<std::uint64_t>(per_pixel, 1)), 2));
        if (values_end > reach) {
            facts.limit = reach;
            return Status::input_too_long;
        }
        end = std::max(end, values_end);
        if (values_end > length) {
            extent.wanted = values_end;  // the strips' offsets and counts
            return Status::ok;
        }
        const std::uint64_t pieces = std::min(offsets.count, counts.count);
        for (std::uint64_t i = 0; i < pieces; ++i) {
            std::uint64_t at = 0, bytes = 0;
            if (!w.element(offsets, i, at) || !w.element(counts, i, bytes)) break;
            if (bytes == 0) continue;
            const std::uint64_t piece_end = sum(at, bytes);
            if (piece_end > reach) {
                facts.limit = reach;
                return Status::input_too_long;
            }
            end = std::max(end, piece_end);
        }
        extent.end = end;
        return Status::ok;
    }
}

}  // namespace qpbm

// The header checks of a spooled input, a format at a time, and the bound
// each gives the spool:
//
//   BMP, uncompressed  bfOffBits + stride x (height - 1) + the last row
//   BMP, RLE           bfOffBits + 4 bytes a pixel + 4 a row + 2, more than
//                      a stream in which every code moves on can take
//   BMP, no pixels     the headers
//   PBM, raw           the header + ceil(width / 8) x height
//   PBM, plain         the header, then the pixels without the white space
//                      and comments between them: width x height bytes
//   PGM, PPM, PAM      as far as its reader's check says the read goes
//                      (Reader::input_bound)
//   PNG, JPEG          up to codec_input_bound of the picture (twice its
//                      samples, a little a row, 64 MiB for metadata), and
//                      refused past it: their pictures end where the codec
//                      says, not at a size the header gives, so a longer
//                      input cannot be cut without perhaps cutting a picture.
//                      Before the header passes, kCodecMetadataAllowance:
//                      what the metadata before it may take
//   TIFF               as far as the page's IFDs, their values and its
//                      strips or tiles go (read/tiff_extent.hpp), the
//                      IFDs read as they arrive
#include "library/spool_plan.hpp"

#include <algorithm>
#include <mutex>

#include "library/phases.hpp"
#include "read/tiff_extent.hpp"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace qpbm {

#if !defined(_WIN32)

namespace {

std::uint64_t saturated_sum(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
std::uint64_t saturated_product(std::uint64_t a, std::uint64_t b) {
    return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

// The last row's padding, which the check does not count as needed.
constexpr std::uint64_t kMaxRowPadding = 3;

// Checks the BMP spooled so far (`spooled` bytes). A refusal that more bytes
// cannot undo is returned; a header not yet whole asks for the bytes it
// needs.
Status check_bmp(std::FILE* spool, std::uint64_t spooled, Workspace& work, const Options& options, Plan& plan,
                 Facts& facts) {
    Facts seen;
    BmpSource bmp;
    Status status = Status::read_failed;
    if (std::fseek(spool, 0, SEEK_SET) == 0) status = read_bmp_source(spool, true, bmp, work.bmp2pbm, seen, options);
    std::clearerr(spool);
    switch (status) {
        case Status::ok:
        case Status::bmp_pixels_truncated: {
            plan.decided = true;
            const std::uint64_t width = static_cast<std::uint64_t>(bmp.width);
            const std::uint64_t height = static_cast<std::uint64_t>(bmp.height);
            if (width == 0 || height == 0) {
                plan.bound = spooled;  // nothing past the headers is read
            } else if (bmp.pixels == BmpPixels::rle) {
                const std::uint64_t codes =
                    saturated_sum(saturated_product(4, saturated_product(width, height)), saturated_product(4, height));
                plan.bound = saturated_sum(bmp.pixel_offset, saturated_sum(codes, 2));
            } else {
                plan.bound = saturated_sum(seen.needed_size, kMaxRowPadding);
            }
            return Status::ok;
        }
        case Status::bmp_header_truncated:
        case Status::bmp_palette_truncated:
            plan.recheck = seen.needed_size > spooled ? seen.needed_size : spooled + 1;
            return Status::ok;
        case Status::read_failed: return failed_read(facts);
        default: facts = seen; return status;
    }
}

// The same for a PBM, whose header is read in small growing reads: checked
// again with every new byte until it is whole (at most 64 KiB). A height
// that reaches the end of what is in may go on in the next bytes.
Status check_pbm(std::FILE* spool, std::uint64_t spooled, bool ended, Workspace& work, const Options& options,
                 Plan& plan, Facts& facts) {
    Facts seen;
    PbmSource pbm;
    Status status = Status::read_failed;
    if (std::fseek(spool, 0, SEEK_SET) == 0) status = read_pbm_source(spool, true, pbm, work.pbm2bmp, seen, options);
    const off_t read_to = lseek(fileno(spool), 0, SEEK_CUR);
    std::clearerr(spool);
    switch (status) {
        case Status::ok: {
            if (read_to < 0) return failed_read(facts);
            const std::uint64_t raster = static_cast<std::uint64_t>(read_to) - (pbm.buffered_end - pbm.buffered_begin);
            if (raster >= spooled && !ended) {
                plan.recheck = spooled + 1;
                return Status::ok;
            }
            plan.decided = true;
            const std::uint64_t width = static_cast<std::uint64_t>(pbm.width);
            const std::uint64_t height = static_cast<std::uint64_t>(pbm.height);
            if (pbm.raw) {
                plan.bound = raster + (width + 7) / 8 * height;
            } else {
                plan.compact = true;
                plan.raster = raster;
                plan.pixels = width * height;
            }
            return Status::ok;
        }
        case Status::pbm_header_truncated: plan.recheck = spooled + 1; return Status::ok;
        case Status::read_failed: return failed_read(facts);
        default: facts = seen; return status;
    }
}

// The same for a format without a rule of its own here: its reader's check,
// and as far as the reader says its read goes. A header not yet whole is
// checked again once the spool has doubled. The codec libraries do not say
// whether a file is short or damaged: a refusal of theirs that read to the
// spool's end waits for the spool to double too, one that did not (and one
// of ours: the pixel budget, the size) is final.
Status check_other(const ReaderKind& kind, std::FILE* spool, std::uint64_t spooled, bool ended, Workspace& work,
                   const Options& options, Plan& plan, Facts& facts) {
    const bool codec = kind.format == Format::png || kind.format == Format::jpeg;
    Facts seen;
    PartRoom room;
    Reader* reader = kind.build(room, work.buffers);
    ReadRequest request;
    request.options = &options;
    Picture picture;
    Status status = Status::read_failed;
    if (std::fseek(spool, 0, SEEK_SET) == 0) status = reader->check(spool, request, picture, seen);
    const std::uint64_t bound = reader->input_bound();
    reader->~Reader();
    const bool short_spool = std::feof(spool) != 0;  // the check wanted bytes past those in
    std::clearerr(spool);
    switch (status) {
        case Status::ok:
        case Status::pnm_pixels_truncated:  // the rest may still come
            plan.decided = true;
            plan.bound = bound;
            plan.refuse_past = codec;
            plan.picture = seen;
            return Status::ok;
        case Status::pnm_header_truncated:
            if (ended) break;
            plan.recheck = spooled < kPbmHeaderMax ? spooled * 2 + 1 : spooled + kPbmHeaderMax;
            return Status::ok;
        case Status::png_refused:
        case Status::jpeg_refused:
            if (ended || !codec || !short_spool) break;
            if (spooled >= kCodecMetadataAllowance) {
                // No header in the bytes the metadata before one may take.
                facts = seen;
                facts.width = facts.height = 0;
                facts.limit = kCodecMetadataAllowance;
                return Status::input_too_long;
            }
            plan.recheck = std::min(spooled * 2 + 1, kCodecMetadataAllowance);
            return Status::ok;
        case Status::read_failed: return failed_read(facts);
        default: break;
    }
    facts = seen;
    return status;
}

// The same for a TIFF: as far as its page goes, looked at again as its IFDs
// and the strips' offsets come in.
Status check_tiff(std::FILE* spool, std::uint64_t spooled, bool ended, const Options& options, Plan& plan,
                  Facts& facts) {
    TiffExtent extent;
    Facts seen;
    const Status status = tiff_extent(spool, spooled, options, extent, seen);
    std::clearerr(spool);
    if (status != Status::ok) {
        facts = seen;
        return status;
    }
    if (extent.wanted > spooled && !ended) {
        plan.recheck = extent.wanted;
        return Status::ok;
    }
    plan.decided = true;
    plan.bound = extent.wanted != 0 ? spooled : extent.end;
    return Status::ok;
}

// The workspace of the header checks of calls that have none of their own:
// held only while a check reads the spool, a regular file, never while a
// pipe is waited for.
struct CheckSpace {
    std::mutex lock;
    Workspace work;
};

CheckSpace& check_space() {
    static CheckSpace space;
    return space;
}

}  // namespace

Status check_spooled(const ReaderKind& kind, std::FILE* spool, std::uint64_t spooled, bool ended, Workspace* work,
                     const Options& options, Plan& plan, Facts& facts) {
    auto check = [&](Workspace& w) {
        if (&kind == &kBmpReader) return check_bmp(spool, spooled, w, options, plan, facts);
        if (&kind == &kPbmReader) return check_pbm(spool, spooled, ended, w, options, plan, facts);
        if (kind.format == Format::tiff) return check_tiff(spool, spooled, ended, options, plan, facts);
        return check_other(kind, spool, spooled, ended, w, options, plan, facts);
    };
    Status status;
    if (work != nullptr) {
        status = check(*work);
    } else {
        CheckSpace& space = check_space();
        const std::lock_guard<std::mutex> hold(space.lock);
        status = check(space.work);
    }
    if (status == Status::ok && lseek(fileno(spool), static_cast<off_t>(spooled), SEEK_SET) < 0)
        return failed_read(facts);
    return status;
}

#endif

}  // namespace qpbm

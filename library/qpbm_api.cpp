// The qpbm C API: a status for every call, over the same core as the
// exports. Each call runs in the caller's work block, or takes its turn at
// the library's static one.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "convert/codecs.hpp"
#include "core/pages.hpp"
#include "library/api_support.hpp"
#include "library/document.hpp"
#include "library/file_convert.hpp"
#include "library/memory_convert.hpp"
#include "library/output_file.hpp"
#include "library/public_status.hpp"
#include "library/qpbm.h"

#if !defined(_WIN32)
#include <pthread.h>

#include <csignal>
#include <ctime>
#endif

using namespace qpbm::api;

namespace {

using qpbm::Direction;
using qpbm::Status;

static_assert(alignof(qpbm::Workspace) <= alignof(std::max_align_t), "a malloc'd block holds a workspace");
static_assert(QPBM_MAX_ROW_METHOD_WIDTH == qpbm::kMaxRowMethodWidth, "qpbm.h states the widest row of a method");

// The codec readers and writers this build has, in the joiner's lists
// before any call.
[[maybe_unused]] const bool codecs_added = qpbm::add_codecs();
static_assert(QPBM_THRESHOLD_DEFAULT < 0, "no threshold is negative");

// The longest options struct taken: room for fields of later versions, but
// a size like SIZE_MAX is a caller's mistake, not a struct.
constexpr std::size_t kMaxOptionsSize = 4096;
static_assert(sizeof(qpbm_options) <= kMaxOptionsSize, "today's options fit the bound");

#if defined(_WIN32)
class SigpipeBlock {
public:
    explicit SigpipeBlock(bool) {}
};
#else
// Blocks SIGPIPE in this thread for the call. A SIGPIPE raised meanwhile is
// taken from the thread's pending set before the old mask comes back, so it
// never arrives; the failed write has already reported EPIPE.
class SigpipeBlock {
public:
    explicit SigpipeBlock(bool active) : active_(active) {
        if (!active_) return;
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        // One already pending for the thread was not ours to take.
        was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
    }
    ~SigpipeBlock() {
        if (!active_) return;
        sigset_t pending;
        sigemptyset(&pending);
        if (!was_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec now{0, 0};
            sigtimedwait(&pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    bool active_;
    bool was_pending_ = false;
    sigset_t old_{};
};
#endif

}  // namespace

namespace qpbm::api {

bool take_options(const qpbm_options* given, qpbm::Options& o, unsigned& flags) {
    qpbm_options c;
    qpbm_options_init(&c);
    if (given != nullptr) {
        if (given->size < offsetof(qpbm_options, flags) + sizeof c.flags || given->size > kMaxOptionsSize) return false;
        std::memcpy(&c, given, std::min(given->size, sizeof c));
        const unsigned char* extra = reinterpret_cast<const unsigned char*>(given) + sizeof c;
        for (std::size_t i = sizeof c; i < given->size; ++i)
            if (extra[i - sizeof c] != 0) return false;
    }
    flags = c.flags;
    o.reader_thread = (c.flags & QPBM_FLAG_THREAD) != 0;
    o.raw = c.raw != 0;
    o.invert = c.invert != 0;
    if (c.permissions > 07777) return false;
    o.permissions = c.permissions;
    o.max_pixels = c.max_pixels;
    o.page = c.page > 0 ? c.page - 1 : 0;
    qpbm::PageSelection selection;
    if (c.pages != nullptr && !qpbm::parse_pages(c.pages, selection)) return false;
    o.pages = c.pages;
    o.cancel = c.cancel;
    o.progress = c.progress;
    o.progress_context = c.progress_context;
    // One field for both outputs: each takes its own values, the other its
    // default.
    const int compression = stored_int(c.compression);
    switch (compression) {
        case QPBM_COMPRESSION_DEFAULT:
        case QPBM_COMPRESSION_G4: o.tiff_compression = qpbm::TiffCompression::g4; break;
        case QPBM_COMPRESSION_PACKBITS: o.tiff_compression = qpbm::TiffCompression::packbits; break;
        case QPBM_COMPRESSION_NONE: o.tiff_compression = qpbm::TiffCompression::none; break;
        case QPBM_COMPRESSION_DEFLATE: o.tiff_compression = qpbm::TiffCompression::deflate; break;
        case QPBM_COMPRESSION_AUTO: o.tiff_compression = qpbm::TiffCompression::automatic; break;
        default:
            if (compression < QPBM_COMPRESSION_ZLIB_0 || compression > QPBM_COMPRESSION_ZLIB_9) return false;
            o.png_level = static_cast<unsigned>(compression - QPBM_COMPRESSION_ZLIB_0);
    }
    if (c.bmp_bits != 24 && c.bmp_bits != 1) return false;
    switch (stored_int(c.to)) {
        case QPBM_FORMAT_AUTO: o.to = qpbm::Format::automatic; break;
        case QPBM_FORMAT_PBM: o.to = qpbm::Format::pbm; break;
        case QPBM_FORMAT_BMP: o.to = qpbm::Format::bmp; break;
        case QPBM_FORMAT_PNG: o.to = qpbm::Format::png; break;
        case QPBM_FORMAT_TIFF: o.to = qpbm::Format::tiff; break;
        case QPBM_FORMAT_ESCPOS: o.to = qpbm::Format::escpos; break;
        case QPBM_FORMAT_ZPL: o.to = qpbm::Format::zpl; break;
        case QPBM_FORMAT_XBM: o.to = qpbm::Format::xbm; break;
        case QPBM_FORMAT_PDF: o.to = qpbm::Format::pdf; break;
        default: return false;
    }
    o.bmp_bits = static_cast<unsigned>(c.bmp_bits);
    switch (stored_int(c.method)) {
        case QPBM_METHOD_CHANNELS: o.method = qpbm::Method::channels; break;
        case QPBM_METHOD_LUMA: o.method = qpbm::Method::luma; break;
        case QPBM_METHOD_OTSU: o.method = qpbm::Method::otsu; break;
        case QPBM_METHOD_FLOYD_STEINBERG: o.method = qpbm::Method::floyd_steinberg; break;
        case QPBM_METHOD_ATKINSON: o.method = qpbm::Method::atkinson; break;
        case QPBM_METHOD_JARVIS: o.method = qpbm::Method::jarvis; break;
        case QPBM_METHOD_STUCKI: o.method = qpbm::Method::stucki; break;
        case QPBM_METHOD_BURKES: o.method = qpbm::Method::burkes; break;
        case QPBM_METHOD_SIERRA: o.method = qpbm::Method::sierra; break;
        case QPBM_METHOD_SIERRA2: o.method = qpbm::Method::sierra2; break;
        case QPBM_METHOD_SIERRA_LITE: o.method = qpbm::Method::sierra_lite; break;
        case QPBM_METHOD_BAYER: o.method = qpbm::Method::bayer; break;
        case QPBM_METHOD_SAUVOLA: o.method = qpbm::Method::sauvola; break;
        case QPBM_METHOD_AUTO: o.method = qpbm::Method::automatic; break;
        case QPBM_METHOD_DEFAULT: o.method = qpbm::Method::by_input; break;
        default: return false;
    }
    const bool thresholded = o.method == qpbm::Method::channels || o.method == qpbm::Method::luma;
    const int most = o.method == qpbm::Method::channels ? static_cast<int>(qpbm::kMaxChannelThreshold)
                                                        : static_cast<int>(qpbm::kMaxLumaThreshold);
    if (c.threshold == QPBM_THRESHOLD_DEFAULT)
        o.threshold = o.method == qpbm::Method::luma ? qpbm::kDefaultLumaThreshold : qpbm::kDefaultChannelThreshold;
    else if (thresholded && c.threshold >= 0 && c.threshold <= most)
        o.threshold = static_cast<unsigned>(c.threshold);
    else
        return false;
    o.auto_orient = c.no_auto_orient == 0;
    if (c.rotate != 0 && c.rotate != 90 && c.rotate != 180 && c.rotate != 270) return false;
    o.rotate = static_cast<unsigned>(c.rotate);
    o.flip = c.flip != 0;
    o.mirror = c.mirror != 0;
    const unsigned dpi_y = c.dpi_y != 0 ? c.dpi_y : c.dpi_x;
    if ((c.dpi_x == 0 && c.dpi_y != 0) || c.dpi_x > qpbm::kMaxDpi || dpi_y > qpbm::kMaxDpi) return false;
    o.dpi_x = c.dpi_x;
    o.dpi_y = dpi_y;
    if (c.width > INT32_MAX || c.height > INT32_MAX || (c.fit != 0 && (c.width == 0 || c.height == 0))) return false;
    o.resize = {c.width, c.height, c.fit != 0};
    if (c.window == 0)
        o.window = qpbm::kDefaultWindow;
    else if (o.method == qpbm::Method::sauvola && c.window % 2 == 1 && c.window >= static_cast<int>(qpbm::kMinWindow) &&
             c.window <= static_cast<int>(qpbm::kMaxWindow))
        o.window = static_cast<unsigned>(c.window);
    else
        return false;
    return true;
}

}  // namespace qpbm::api

namespace {

// The arguments every conversion takes, as the library takes them; false
// when one is invalid.
bool take_call(qpbm_direction direction, const qpbm_options* options, const void* work, std::size_t work_size,
               Direction& internal, qpbm::Options& internal_options, unsigned& flags) {
    switch (direction) {
        case QPBM_DETECT: internal = Direction::detect; break;
        case QPBM_BMP_TO_PBM: internal = Direction::bmp_to_pbm; break;
        case QPBM_PBM_TO_BMP: internal = Direction::pbm_to_bmp; break;
        default: return false;
    }
    return take_options(options, internal_options, flags) && (flags & ~kKnownFlags) == 0 &&
           (work == nullptr || (work_size >= sizeof(qpbm::Workspace) &&
                                reinterpret_cast<std::uintptr_t>(work) % alignof(qpbm::Workspace) == 0));
}

}  // namespace

qpbm_status qpbm::api::report(bool valid, qpbm::Status status, qpbm::Direction direction, const qpbm::Facts& facts,
                              qpbm_result* result) {
    const qpbm_status code = valid ? public_status(status) : QPBM_EINVALID_ARGUMENT;
    if (result != nullptr) {
        result->status = code;
        result->direction = direction == Direction::bmp_to_pbm   ? QPBM_BMP_TO_PBM
                            : direction == Direction::pbm_to_bmp ? QPBM_PBM_TO_BMP
                                                                 : QPBM_DETECT;
        result->width = facts.width;
        result->height = facts.height;
        result->format = facts.format != nullptr ? facts.format : "";
        result->os_error = facts.os_error;
        if (valid && status == Status::ok && facts.decision[0] != '\0')
            std::snprintf(result->message, sizeof result->message, "%s", facts.decision);
        else if (valid)
            qpbm::describe_status(status, facts, result->message, sizeof result->message);
        else
            std::snprintf(result->message, sizeof result->message, "%s", qpbm_status_message(code));
    }
    return code;
}

namespace {

// A conversion on UTF-8 paths that takes pages: a TIFF or PDF output (every
// page by default), a PBM output given a selection, or a one-picture output
// given a selection, which must name one page. True when it was done here,
// with its status; false for the one-picture conversion, `o.page` set.
bool convert_pages(const char* input, const char* output, qpbm::Options& o, Status& status, qpbm::Facts& facts,
                   Direction& direction) {
    using qpbm::Format;
    qpbm::PageSelection selection;
    const bool selected = o.pages != nullptr && qpbm::parse_pages(o.pages, selection);
    const bool document = o.to == Format::tiff || o.to == Format::pdf || (o.to == Format::pbm && selected);
    if (!document) {
        if (!selected) return false;
        std::uint64_t named = selection.size(0);
        std::uint32_t pages = 1;
        if (selection.all) {
            auto* counting = new (std::nothrow) qpbm::Workspace;
            if (counting == nullptr) {
                status = Status::write_failed;
                facts.os_error = ENOMEM;
                return true;
            }
            status = qpbm::count_pages(input, pages, *counting, facts);
            delete counting;
            // A pipe is not read twice: it is taken as one picture.
            if (status == Status::undetectable_input) {
                status = Status::ok;
                facts = qpbm::Facts{};
            }
            if (status != Status::ok) return true;
            named = pages;
        }
        if (named == 1) {
            o.page = selection.all ? 0 : selection.ranges[0].first - 1;
            o.pages = nullptr;
            return false;
        }
        const qpbm::WriterKind* kind = qpbm::writer_for(o.to);
        facts.limit = named;
        facts.format = kind != nullptr ? kind->name : nullptr;
        status = Status::one_picture_output;
        return true;
    }
    if (!selected && o.page > 0) {
        selection.all = false;
        selection.count = 1;
        selection.ranges[0] = {o.page + 1, o.page + 1};
    }
    const std::unique_ptr<qpbm::Document> held(new (std::nothrow) qpbm::Document);
    if (held == nullptr) {
        status = Status::write_failed;
        facts.os_error = ENOMEM;
        return true;
    }
    qpbm::Document& d = *held;
    status = qpbm::open_document(d, output, o.to, o, facts);
    if (status == Status::ok) status = qpbm::add_document_file(d, input, selection, facts);
    direction = d.direction;
    if (d.open) {
        qpbm::Facts closing = facts;
        const Status closed = qpbm::close_document(d, closing);
        if (status == Status::ok) {
            status = closed;
            facts = closing;
        }
    }
    return true;
}

// The format an output's name calls for, as the tool reads it: `to` set
// when its extension names a format written, `unwritten` its name when it
// names one never written (a JPEG, a GIF, ...), neither for any other name.
template <class Char>
void format_of_output(const Char* path, qpbm::Format& to, const char*& unwritten) {
    struct Named {
        const char* extension;
        qpbm::Format format;  // automatic: never written
        const char* unwritten;
    };
    static const Named kNamed[] = {
        {"pbm", qpbm::Format::pbm, nullptr},         {"bmp", qpbm::Format::bmp, nullptr},
        {"dib", qpbm::Format::bmp, nullptr},         {"png", qpbm::Format::png, nullptr},
        {"tif", qpbm::Format::tiff, nullptr},        {"tiff", qpbm::Format::tiff, nullptr},
        {"pdf", qpbm::Format::pdf, nullptr},         {"xbm", qpbm::Format::xbm, nullptr},
        {"zpl", qpbm::Format::zpl, nullptr},         {"escpos", qpbm::Format::escpos, nullptr},
        {"jpg", qpbm::Format::automatic, "a JPEG"},  {"jpeg", qpbm::Format::automatic, "a JPEG"},
        {"gif", qpbm::Format::automatic, "a GIF"},   {"webp", qpbm::Format::automatic, "a WebP"},
        {"heic", qpbm::Format::automatic, "a HEIC"}, {"avif", qpbm::Format::automatic, "an AVIF"},
    };
    unwritten = nullptr;
    if (path == nullptr) return;
    const Char* dot = nullptr;
    for (const Char* c = path; *c != 0; ++c) {
        if (*c == '/' || *c == '\\') dot = nullptr;
        if (*c == '.') dot = c;
    }
    if (dot == nullptr) return;
    char ext[8] = {};
    std::size_t n = 0;
    for (const Char* c = dot + 1; *c != 0; ++c, ++n) {
        if (n + 1 == sizeof ext || *c > 127) return;
        ext[n] = static_cast<char>(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
    }
    for (const Named& named : kNamed) {
        if (std::strcmp(ext, named.extension) != 0) continue;
        if (named.unwritten != nullptr)
            unwritten = named.unwritten;
        else
            to = named.format;
        return;
    }
}

// A UTF-16 path as UTF-8, three bytes at most for each unit; null for a
// null path, an unpaired surrogate, or no memory.
std::unique_ptr<char[]> utf8_copy(const char16_t* path) {
    if (path == nullptr) return nullptr;
    std::size_t units = 0;
    while (path[units] != 0) ++units;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[3 * units + 1]);
    if (copy != nullptr && !qpbm::utf16_to_utf8(path, copy.get(), 3 * units + 1)) copy.reset();
    return copy;
}

template <class Char>
qpbm_status convert(const Char* input, const Char* output, qpbm_direction direction, const qpbm_options* options,
                    void* work, std::size_t work_size, qpbm_result* result) {
    const int saved_errno = errno;  // the status tells; errno is the caller's
    qpbm::Facts facts;
    qpbm::Options internal_options;
    unsigned flags = 0;
    Status status = Status::ok;
    Direction internal = Direction::detect;
    const bool valid = take_call(direction, options, work, work_size, internal, internal_options, flags);
    if (valid) {
        const SigpipeBlock block((flags & QPBM_FLAG_NO_SIGPIPE) != 0);
        const qpbm::SyncOutputs sync((flags & QPBM_FLAG_FSYNC) != 0);
        bool done = false;
        // Detected, a picture becomes the format its output's name says.
        const char* unwritten = nullptr;
        if (internal == Direction::detect && internal_options.to == qpbm::Format::automatic)
            format_of_output(output, internal_options.to, unwritten);
        if (unwritten != nullptr) {
            std::snprintf(facts.name, sizeof facts.name, "%s", unwritten);
            status = Status::unwritten_output;
            done = true;
        }
        if (!done && internal == Direction::detect) {
            if constexpr (std::is_same_v<Char, char>) {
                done = convert_pages(input, output, internal_options, status, facts, internal);
            } else {
                // Documents take UTF-8 paths; a path that does not convert
                // is refused below as the one-picture call refuses it.
                const std::unique_ptr<char[]> input_utf8 = utf8_copy(input);
                const std::unique_ptr<char[]> output_utf8 = utf8_copy(output);
                if (input_utf8 != nullptr && output_utf8 != nullptr)
                    done =
                        convert_pages(input_utf8.get(), output_utf8.get(), internal_options, status, facts, internal);
            }
        }
        if (!done)
            status = work != nullptr
                         ? qpbm::convert_with(internal, input, output, *static_cast<qpbm::Workspace*>(work), facts,
                                              internal_options)
                         : qpbm::convert_shared(internal, input, output, qpbm::static_workspace(Direction::detect),
                                                facts, internal_options);
    }
    const qpbm_status code = report(valid, status, internal, facts, result);
    errno = saved_errno;
    return code;
}

// A conversion in memory, or with no output only its size. Flags do not
// apply: there is no pipe to raise SIGPIPE.
qpbm_status convert_in_memory(const void* input, std::size_t input_size, std::uint8_t* output, std::size_t capacity,
                              std::uint64_t* output_size, bool measure, qpbm_direction direction,
                              const qpbm_options* options, void* work, std::size_t work_size, qpbm_result* result) {
    const int saved_errno = errno;  // the status tells; errno is the caller's
    qpbm::Facts facts;
    qpbm::Options internal_options;
    unsigned flags = 0;
    Status status = Status::ok;
    Direction internal = Direction::detect;
    std::uint64_t size = 0;
    const bool valid = take_call(direction, options, work, work_size, internal, internal_options, flags) &&
                       (input != nullptr || input_size == 0) && (output != nullptr || capacity == 0);
    if (valid) {
        const auto* bytes = static_cast<const std::uint8_t*>(input);
        auto run = [&](qpbm::Workspace& w) {
            return measure ? qpbm::measure_memory(internal, bytes, input_size, size, w, facts, internal_options)
                           : qpbm::convert_memory(internal, bytes, input_size, output, capacity, size, w, facts,
                                                  internal_options);
        };
        if (work != nullptr) {
            status = run(*static_cast<qpbm::Workspace*>(work));
        } else {
            qpbm::SharedWorkspace& shared = qpbm::static_workspace(Direction::detect);
            const std::lock_guard<std::mutex> hold(shared.lock);
            status = run(shared.work);
        }
    }
    if (output_size != nullptr) *output_size = size;
    const qpbm_status code = report(valid, status, internal, facts, result);
    errno = saved_errno;
    return code;
}

// The older calls: flags alone, every option at its default.
template <class Char>
qpbm_status convert_flags(const Char* input, const Char* output, qpbm_direction direction, unsigned flags, void* work,
                          std::size_t work_size, qpbm_result* result) {
    qpbm_options options;
    qpbm_options_init(&options);
    options.flags = flags;
    return convert(input, output, direction, &options, work, work_size, result);
}

}  // namespace

bool qpbm::api::take_pixels(const qpbm_pixels* given, qpbm::PixelSource& source) {
    if (given == nullptr) return false;
    switch (stored_int(given->layout)) {
        case QPBM_LAYOUT_GRAY8: source.layout = qpbm::PixelLayout::gray8; break;
        case QPBM_LAYOUT_GRAYA8: source.layout = qpbm::PixelLayout::graya8; break;
        case QPBM_LAYOUT_RGB8: source.layout = qpbm::PixelLayout::rgb8; break;
        case QPBM_LAYOUT_RGBA8: source.layout = qpbm::PixelLayout::rgba8; break;
        case QPBM_LAYOUT_BGR8: source.layout = qpbm::PixelLayout::bgr8; break;
        case QPBM_LAYOUT_BGRA8: source.layout = qpbm::PixelLayout::bgra8; break;
        default: return false;
    }
    source.data = static_cast<const std::uint8_t*>(given->data);
    source.width = given->width;
    source.height = given->height;
    source.stride = given->stride;
    return true;
}

namespace {

// A pixel conversion in the caller's work block, or the static one under its lock.
template <class Run>
qpbm_status convert_pixels(const qpbm_pixels* pixels, const qpbm_options* options, void* work, std::size_t work_size,
                           bool valid_output, qpbm_result* result, Run run) {
    const int saved_errno = errno;  // the status tells; errno is the caller's
    qpbm::Facts facts;
    qpbm::Options internal_options;
    qpbm::PixelSource source;
    unsigned flags = 0;
    Status status = Status::ok;
    Direction internal = Direction::detect;
    const bool valid = valid_output && take_pixels(pixels, source) &&
                       take_call(QPBM_DETECT, options, work, work_size, internal, internal_options, flags);
    if (valid) {
        const SigpipeBlock block((flags & QPBM_FLAG_NO_SIGPIPE) != 0);
        const qpbm::SyncOutputs sync((flags & QPBM_FLAG_FSYNC) != 0);
        if (work != nullptr) {
            status = run(source, *static_cast<qpbm::Workspace*>(work), facts, internal_options);
        } else {
            qpbm::SharedWorkspace& shared = qpbm::static_workspace(Direction::detect);
            const std::lock_guard<std::mutex> hold(shared.lock);
            status = run(source, shared.work, facts, internal_options);
        }
    }
    const qpbm_status code = report(valid, status, internal, facts, result);
    errno = saved_errno;
    return code;
}

}  // namespace

extern "C" {

size_t qpbm_work_size(void) { return sizeof(qpbm::Workspace); }

qpbm_status qpbm_convert(const char* input, const char* output, qpbm_direction direction, unsigned flags, void* work,
                         size_t work_size, qpbm_result* result) {
    return convert_flags(input, output, direction, flags, work, work_size, result);
}

qpbm_status qpbm_convert_utf16(const uint16_t* input, const uint16_t* output, qpbm_direction direction, unsigned flags,
                               void* work, size_t work_size, qpbm_result* result) {
    static_assert(sizeof(char16_t) == sizeof(uint16_t));
    return convert_flags(reinterpret_cast<const char16_t*>(input), reinterpret_cast<const char16_t*>(output), direction,
                         flags, work, work_size, result);
}

void qpbm_options_init(qpbm_options* options) {
    if (options == nullptr) return;
    std::memset(options, 0, sizeof *options);
    options->size = sizeof *options;
    options->bmp_bits = 24;
    options->method = QPBM_METHOD_CHANNELS;
    options->threshold = QPBM_THRESHOLD_DEFAULT;
    options->permissions = 07777;
}

qpbm_status qpbm_convert_ex(const char* input, const char* output, qpbm_direction direction,
                            const qpbm_options* options, void* work, size_t work_size, qpbm_result* result) {
    return convert(input, output, direction, options, work, work_size, result);
}

qpbm_status qpbm_convert_utf16_ex(const uint16_t* input, const uint16_t* output, qpbm_direction direction,
                                  const qpbm_options* options, void* work, size_t work_size, qpbm_result* result) {
    return convert(reinterpret_cast<const char16_t*>(input), reinterpret_cast<const char16_t*>(output), direction,
                   options, work, work_size, result);
}

qpbm_status qpbm_output_size(const void* input, size_t input_size, qpbm_direction direction,
                             const qpbm_options* options, void* work, size_t work_size, uint64_t* output_size,
                             qpbm_result* result) {
    return convert_in_memory(input, input_size, nullptr, 0, output_size, true, direction, options, work, work_size,
                             result);
}

qpbm_status qpbm_convert_memory(const void* input, size_t input_size, void* output, size_t output_capacity,
                                uint64_t* output_size, qpbm_direction direction, const qpbm_options* options,
                                void* work, size_t work_size, qpbm_result* result) {
    return convert_in_memory(input, input_size, static_cast<std::uint8_t*>(output), output_capacity, output_size, false,
                             direction, options, work, work_size, result);
}

qpbm_format qpbm_detect_format(const void* first, size_t length, int* more) {
    const auto* bytes = static_cast<const unsigned char*>(first);
    if (bytes == nullptr) length = 0;
    const qpbm::ReaderKind* kind = qpbm::reader_for(bytes, length);
    if (more != nullptr) *more = kind == nullptr && qpbm::any_reader_may_begin(bytes, length) ? 1 : 0;
    if (kind == nullptr) return QPBM_FORMAT_AUTO;
    switch (kind->format) {
        case qpbm::Format::bmp: return QPBM_FORMAT_BMP;
        case qpbm::Format::pbm: return QPBM_FORMAT_PBM;
        case qpbm::Format::pnm: return QPBM_FORMAT_PNM;
        case qpbm::Format::png: return QPBM_FORMAT_PNG;
        case qpbm::Format::tiff: return QPBM_FORMAT_TIFF;
        case qpbm::Format::jpeg: return QPBM_FORMAT_JPEG;
        default: return QPBM_FORMAT_AUTO;
    }
}

qpbm_status qpbm_convert_pixels(const qpbm_pixels* pixels, void* output, size_t output_capacity, uint64_t* output_size,
                                const qpbm_options* options, void* work, size_t work_size, qpbm_result* result) {
    std::uint64_t size = 0;
    const qpbm_status code = convert_pixels(
        pixels, options, work, work_size, output != nullptr || output_capacity == 0, result,
        [&](const qpbm::PixelSource& source, qpbm::Workspace& w, qpbm::Facts& facts, const qpbm::Options& o) {
            return qpbm::convert_pixels_memory(source, static_cast<std::uint8_t*>(output), output_capacity, size, w,
                                               facts, o);
        });
    if (output_size != nullptr) *output_size = size;
    return code;
}

qpbm_status qpbm_convert_pixels_file(const qpbm_pixels* pixels, const char* output, const qpbm_options* options,
                                     void* work, size_t work_size, qpbm_result* result) {
    return convert_pixels(
        pixels, options, work, work_size, true, result,
        [&](const qpbm::PixelSource& source, qpbm::Workspace& w, qpbm::Facts& facts, const qpbm::Options& o) {
            return qpbm::convert_pixels_file(source, output, w, facts, o);
        });
}

const char* qpbm_version(void) { return QPBM_VERSION_STRING; }

unsigned qpbm_version_number(void) { return QPBM_VERSION_NUMBER; }

const char* qpbm_codecs(void) { return qpbm::codec_versions(); }

}  // extern "C"

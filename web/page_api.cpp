// The page's calls into the library: one conversion at a time through
// qpbm_output_size and qpbm_convert_memory (a file's bytes) or
// qpbm_convert_pixels (pixels the browser decoded), or one document in
// memory of many files, with flat arguments so that the script needs no
// struct layouts. The last output stays until the next call or
// page_release().
#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "library/qpbm.h"

// Tells the worker how far a conversion has gone: it posts the page a
// progress message while the conversion goes on.
EM_JS(void, page_told, (double done, double total), {
    if (Module.onProgress) Module.onProgress(done, total);
});

namespace {

void told(void*, std::uint64_t done, std::uint64_t total) {
    page_told(static_cast<double>(done), static_cast<double>(total));
}

void* work = nullptr;
qpbm_document* document = nullptr;
std::uint8_t* output = nullptr;  // malloc'd here or by the library, which shares the page's heap
std::uint64_t output_size = 0;
qpbm_result result{};
bool too_large = false;

// The size, orientation and resolution for the next call only (page_layout).
struct Layout {
    unsigned width = 0, height = 0;
    int fit = 0, rotate = 0, flip = 0, mirror = 0, no_auto_orient = 0;
    unsigned dpi = 0;
};
Layout next_layout;

void release() {
    std::free(output);
    output = nullptr;
    output_size = 0;
}

// A new call: the last output freed, the options as the page gives them.
qpbm_options start(int raw, int bpp, int method, int threshold, int window, int invert, int to) {
    release();
    too_large = false;
    result = qpbm_result{};
    if (work == nullptr) work = std::malloc(qpbm_work_size());
    qpbm_options options;
    qpbm_options_init(&options);
    options.raw = raw;
    options.bmp_bits = bpp;
    options.method = static_cast<qpbm_method>(method);
    options.threshold = threshold;
    options.window = window;
    options.invert = invert;
    options.to = static_cast<qpbm_format>(to);
    options.width = next_layout.width;
    options.height = next_layout.height;
    options.fit = next_layout.fit;
    options.rotate = next_layout.rotate;
    options.flip = next_layout.flip;
    options.mirror = next_layout.mirror;
    options.no_auto_orient = next_layout.no_auto_orient;
    options.dpi_x = next_layout.dpi;
    options.progress = told;
    next_layout = Layout{};
    return options;
}

// width x height RGBA pixels at `rgba`, rows packed, as the browser's
// getImageData gives them; false for sizes that describe no memory.
bool rgba_pixels(const void* rgba, int width, int height, qpbm_pixels& pixels) {
    const std::uint64_t stride = 4 * static_cast<std::uint64_t>(width < 0 ? 0 : width);
    if (width < 0 || height < 0 || stride > SIZE_MAX) return false;
    pixels = qpbm_pixels{rgba, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                         static_cast<std::size_t>(stride), QPBM_LAYOUT_RGBA8};
    return true;
}

// Allocates output_size bytes for the output, or says that they do not fit.
bool take_output() {
    // A wasm32 heap holds at most 4 GiB.
    if (output_size >= SIZE_MAX || (output = static_cast<std::uint8_t*>(std::malloc(output_size + 1))) == nullptr) {
        std::snprintf(result.message, sizeof result.message,
                      "the output (%llu bytes) does not fit in the page's memory",
                      static_cast<unsigned long long>(output_size));
        output_size = 0;
        too_large = true;
        result.status = QPBM_EOUTPUT_TOO_SMALL;
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void page_release(void) { release(); }

// The output's size (0: as it is; fit nonzero: inside width x height),
// turn (degrees clockwise), flip, mirror, whether to keep the stored
// orientation, and resolution (0: the input's), as the tool's --width,
// --height, --fit, --rotate, --flip, --mirror, --no-auto-orient and --dpi.
// For the next page_convert or page_convert_pixels only.
EMSCRIPTEN_KEEPALIVE void page_layout(int width, int height, int fit, int rotate, int flip, int mirror,
                                      int no_auto_orient, int dpi) {
    next_layout = Layout{static_cast<unsigned>(width < 0 ? 0 : width),
                         static_cast<unsigned>(height < 0 ? 0 : height),
                         fit,
                         rotate,
                         flip,
                         mirror,
                         no_auto_orient,
                         static_cast<unsigned>(dpi < 0 ? 0 : dpi)};
}

// Converts `size` bytes at `input`. threshold -1 and window 0 take the
// method's defaults; `to` is a qpbm_format (0: the other format than the
// input's). Returns a qpbm_status.
EMSCRIPTEN_KEEPALIVE int page_convert(const void* input, std::size_t size, int direction, int raw, int bpp, int method,
                                      int threshold, int window, int invert, int to) {
    const qpbm_options options = start(raw, bpp, method, threshold, window, invert, to);
    const auto how = static_cast<qpbm_direction>(direction);
    qpbm_status status = qpbm_output_size(input, size, how, &options, work, qpbm_work_size(), &output_size, &result);
    if (status != QPBM_OK) return status;
    if (!take_output()) return result.status;
    status = qpbm_convert_memory(input, size, output, static_cast<std::size_t>(output_size), &output_size, how,
                                 &options, work, qpbm_work_size(), &result);
    if (status != QPBM_OK) page_release();
    return status;
}

// Converts width x height RGBA pixels at `rgba`, rows packed, as the browser's
// getImageData gives them; the options as for page_convert.
EMSCRIPTEN_KEEPALIVE int page_convert_pixels(const void* rgba, int width, int height, int raw, int bpp, int method,
                                             int threshold, int window, int invert, int to) {
    const qpbm_options options = start(raw, bpp, method, threshold, window, invert, to);
    qpbm_pixels pixels;
    if (!rgba_pixels(rgba, width, height, pixels)) {
        std::snprintf(result.message, sizeof result.message, "%s", qpbm_status_message(QPBM_EINVALID_ARGUMENT));
        return result.status = QPBM_EINVALID_ARGUMENT;
    }
    // The first call only measures.
    qpbm_status status =
        qpbm_convert_pixels(&pixels, nullptr, 0, &output_size, &options, work, qpbm_work_size(), &result);
    if (status != QPBM_EOUTPUT_TOO_SMALL) return status;
    if (!take_output()) return result.status;
    status = qpbm_convert_pixels(&pixels, output, static_cast<std::size_t>(output_size), &output_size, &options, work,
                                 qpbm_work_size(), &result);
    if (status != QPBM_OK) page_release();
    return status;
}

// A document of `to` (QPBM_FORMAT_PDF or _TIFF) in memory, replacing any
// left open; its pages come from page_document_add and
// page_document_add_pixels, which take the options as page_convert does
// (the output's format is the document's), and page_document_close makes
// it the output.
EMSCRIPTEN_KEEPALIVE int page_document_open(int to) {
    qpbm_document_discard(document);
    document = nullptr;
    const qpbm_options options = start(0, 1, QPBM_METHOD_DEFAULT, -1, 0, 0, to);
    return qpbm_document_open_memory(options.to, &options, &document, &result);
}

// Every page of the picture in `size` bytes at `input`.
EMSCRIPTEN_KEEPALIVE int page_document_add(const void* input, std::size_t size, int raw, int bpp, int method,
                                           int threshold, int window, int invert) {
    const qpbm_options options = start(raw, bpp, method, threshold, window, invert, 0);
    return qpbm_document_add_memory(document, input, size, nullptr, &options, &result);
}

// width x height RGBA pixels, as page_convert_pixels takes them.
EMSCRIPTEN_KEEPALIVE int page_document_add_pixels(const void* rgba, int width, int height, int raw, int bpp, int method,
                                                  int threshold, int window, int invert) {
    const qpbm_options options = start(raw, bpp, method, threshold, window, invert, 0);
    qpbm_pixels pixels;
    return qpbm_document_add_pixels_ex(document, rgba_pixels(rgba, width, height, pixels) ? &pixels : nullptr, &options,
                                       &result);
}

EMSCRIPTEN_KEEPALIVE void page_document_discard(void) {
    qpbm_document_discard(document);
    document = nullptr;
}

EMSCRIPTEN_KEEPALIVE int page_document_close(void) {
    release();
    void* bytes = nullptr;
    const qpbm_status status = qpbm_document_close_memory(document, &bytes, &output_size, &result);
    document = nullptr;
    output = static_cast<std::uint8_t*>(bytes);
    return status;
}

// The preview of a black-and-white picture: `raster` holds its rows, as a
// raw PBM's (ceil(width / 8) bytes each, 1 for black, first pixel in the
// high bit), and each RGBA pixel of `rgba` (ceil(width / factor) x
// ceil(height / factor)) becomes the grey of the share of white among the
// factor x factor pixels it covers, rounded half up. Returns 0, or -1 when
// the arguments describe no picture or memory runs out.
EMSCRIPTEN_KEEPALIVE int page_preview(const std::uint8_t* raster, int width, int height, int factor,
                                      std::uint32_t* rgba) {
    if (width <= 0 || height <= 0 || factor < 1) return -1;
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t f = static_cast<std::size_t>(factor);
    const std::size_t stride = (w + 7) / 8;
    const std::size_t columns = (w + f - 1) / f;
    auto* white = static_cast<std::uint32_t*>(std::calloc(columns, sizeof(std::uint32_t)));
    if (white == nullptr) return -1;
    for (std::size_t top = 0; top < static_cast<std::size_t>(height); top += f) {
        const std::size_t rows = std::min(f, static_cast<std::size_t>(height) - top);
        std::fill(white, white + columns, 0u);
        for (std::size_t y = top; y < top + rows; ++y) {
            const std::uint8_t* row = raster + y * stride;
            for (std::size_t x = 0, column = 0, left = f; x < w; ++x) {
                white[column] += 1u - ((row[x >> 3] >> (7 - (x & 7))) & 1u);
                if (--left == 0) {
                    ++column;
                    left = f;
                }
            }
        }
        std::uint32_t* out = rgba + top / f * columns;
        for (std::size_t c = 0; c < columns; ++c) {
            const auto count = static_cast<std::uint32_t>(rows * std::min(f, w - c * f));
            const std::uint32_t grey = (2 * 255 * white[c] + count) / (2 * count);
            out[c] = 0xff000000u | grey << 16 | grey << 8 | grey;
        }
    }
    std::free(white);
    return 0;
}

EMSCRIPTEN_KEEPALIVE std::uint8_t* page_output(void) { return output; }
EMSCRIPTEN_KEEPALIVE double page_output_size(void) { return static_cast<double>(output_size); }
EMSCRIPTEN_KEEPALIVE const char* page_message(void) { return result.message; }
EMSCRIPTEN_KEEPALIVE const char* page_format(void) { return result.format != nullptr ? result.format : ""; }
EMSCRIPTEN_KEEPALIVE int page_direction(void) { return result.direction; }
// Whether the last call failed for want of memory for the output.
EMSCRIPTEN_KEEPALIVE int page_too_large(void) { return too_large ? 1 : 0; }
EMSCRIPTEN_KEEPALIVE double page_width(void) { return static_cast<double>(result.width); }
EMSCRIPTEN_KEEPALIVE double page_height(void) { return static_cast<double>(result.height); }

}  // extern "C"

// The page's calls into the library: one conversion at a time through
// qpbm_output_size and qpbm_convert_memory, with flat arguments so that the
// script needs no struct layouts. The last output stays until the next call
// or page_release().
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "library/qpbm.h"

namespace {

void* work = nullptr;
std::uint8_t* output = nullptr;
std::uint64_t output_size = 0;
qpbm_result result{};
bool too_large = false;

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void page_release(void) {
    std::free(output);
    output = nullptr;
    output_size = 0;
}

// Converts `size` bytes at `input`. threshold -1 and window 0 take the
// method's defaults; `to` is a qpbm_format (0: the other format than the
// input's). Returns a qpbm_status.
EMSCRIPTEN_KEEPALIVE int page_convert(const void* input, std::size_t size, int direction, int raw, int bpp, int method,
                                      int threshold, int window, int invert, int to) {
    page_release();
    too_large = false;
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
    const auto how = static_cast<qpbm_direction>(direction);
    qpbm_status status = qpbm_output_size(input, size, how, &options, work, qpbm_work_size(), &output_size, &result);
    if (status != QPBM_OK) return status;
    // A wasm32 heap holds at most 4 GiB.
    if (output_size >= SIZE_MAX || (output = static_cast<std::uint8_t*>(std::malloc(output_size + 1))) == nullptr) {
        std::snprintf(result.message, sizeof result.message,
                      "the output (%llu bytes) does not fit in the page's memory",
                      static_cast<unsigned long long>(output_size));
        output_size = 0;
        too_large = true;
        return result.status = QPBM_EOUTPUT_TOO_SMALL;
    }
    status = qpbm_convert_memory(input, size, output, static_cast<std::size_t>(output_size), &output_size, how,
                                 &options, work, qpbm_work_size(), &result);
    if (status != QPBM_OK) page_release();
    return status;
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

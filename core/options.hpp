// How a conversion decides and what it writes. The defaults are the legacy
// conversion, byte for byte: the per-channel rule at 100, plain PBM, 24-bit
// BMP, no pixel limit.
#pragma once

#include <cstdint>

namespace qpbm {

// How a colour pixel becomes black or white. Every method but `channels`
// looks at the luma Y = (299 R + 587 G + 114 B) div 1000.
enum class Method : std::uint8_t {
    channels,         // white when blue, green and red each reach the threshold
    luma,             // white when Y reaches the threshold
    otsu,             // a global luma threshold chosen from the histogram
    floyd_steinberg,  // error diffusion, serpentine rows
    atkinson,         // error diffusion that drops a quarter of the error
    bayer,            // 8 x 8 ordered dither
    sauvola,          // a local threshold from the mean and deviation of a window
    // Error diffusion over wider kernels, serpentine rows (decide/diffusion.cpp):
    jarvis,       // Jarvis, Judice and Ninke: 12 pixels over three rows, in 48ths
    stucki,       // Stucki: the same reach, in 42nds, sharper
    burkes,       // Burkes: Stucki's first two rows, in 32nds
    sierra,       // Sierra: 10 pixels over three rows, in 32nds
    sierra2,      // two-row Sierra: 7 pixels over two rows, in 16ths
    sierra_lite,  // Sierra Lite: 3 pixels, in quarters
    automatic,    // `auto`: a first look at the picture, then floyd_steinberg for a photo, sauvola
                  // for a document (decide/auto.hpp)
    by_input,     // automatic for a PNG, JPEG or TIFF input, channels for any other (BMP, netpbm,
                  // pixels), whose users rely on the legacy rule
};

// The kernels above, in their order.
inline bool is_kernel_diffusion(Method m) { return m >= Method::jarvis && m <= Method::sierra_lite; }

inline constexpr unsigned kDefaultChannelThreshold = 100;
inline constexpr unsigned kMaxChannelThreshold = 255;
inline constexpr unsigned kDefaultLumaThreshold = 128;
inline constexpr unsigned kMaxLumaThreshold = 256;  // 256: every pixel black
inline constexpr unsigned kDefaultWindow = 15;
inline constexpr unsigned kMinWindow = 3;
inline constexpr unsigned kMaxWindow = 255;

// What a conversion writes. `automatic` is the other format than the
// input's: a BMP becomes a PBM and a PBM a BMP.
// `escpos`, `zpl` and `xbm` are the devices' own: receipt and label printers,
// and bitmaps compiled into a panel's program. TIFF, PBM and PDF hold
// documents of several pages.
enum class Format : std::uint8_t { automatic, pbm, bmp, pnm, pixels, png, jpeg, tiff, escpos, zpl, xbm, pdf };

// How a TIFF output's bits are compressed. `deflate` is Adobe Deflate;
// `automatic` chooses G4 or Deflate for each page, whichever its estimate
// finds smaller (write/page_code.hpp).
enum class TiffCompression : std::uint8_t { g4, packbits, none, deflate, automatic };

// A PNG output's zlib level: 0 stores the rows as they are, 9 is the
// smallest and slowest.
inline constexpr unsigned kDefaultPngLevel = 6;
inline constexpr unsigned kMaxPngLevel = 9;

// The finest resolution an output is given: BMP and PNG store dots per
// metre in 31 bits.
inline constexpr std::uint32_t kMaxDpi = 1000000;

// The size a picture is to come out at (read/resize.hpp): 0 leaves a side
// to follow the other's aspect ratio; both set, the exact size, or with
// `fit` a box that the largest size of the same aspect ratio fits in.
struct Resize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool fit = false;
};

struct Options {
    bool raw = false;              // PBM output: raw "P4" instead of plain "P1"
    unsigned bmp_bits = 24;        // BMP output: 24 or 1 bits per pixel
    std::uint64_t max_pixels = 0;  // refuse pictures of more pixels; 0: no limit
    Method method = Method::channels;
    unsigned threshold = kDefaultChannelThreshold;  // channels and luma
    unsigned window = kDefaultWindow;               // sauvola
    bool invert = false;                            // swap black and white after the method (any input)
    unsigned permissions = 07777;                   // the most access the output file may give
    Format to = Format::automatic;                  // the output format
    std::uint32_t page = 0;                         // the page of a multi-page input (TIFF), from 0
    const char* pages = nullptr;                    // a selection of pages (core/pages.hpp); null: `page` alone
    TiffCompression tiff_compression = TiffCompression::g4;
    unsigned png_level = kDefaultPngLevel;  // 0 to kMaxPngLevel
    bool reader_thread = false;             // a decoding reader (ReaderKind::decodes) may run in a thread of its own
    const int* cancel = nullptr;            // the caller's flag: nonzero stops the conversion between rows
    // The caller's function, told how many of the rows read have been
    // decided (`done` of `total`), about a hundred times a conversion.
    void (*progress)(void* context, std::uint64_t done, std::uint64_t total) = nullptr;
    void* progress_context = nullptr;
    // The output's layout (convert/orient.hpp): upright by the input's
    // orientation, then turned clockwise (0, 90, 180 or 270 degrees), then
    // flipped top to bottom and mirrored left to right.
    bool auto_orient = true;
    unsigned rotate = 0;
    bool flip = false;
    bool mirror = false;
    // The output's resolution in dots per inch, across and down, 1 to
    // kMaxDpi; 0: the input's.
    std::uint32_t dpi_x = 0;
    std::uint32_t dpi_y = 0;
    Resize resize;  // the output's size; none asked by default
};

inline constexpr Options kDefaultOptions{};

// Tells the caller's progress function that `done` of `total` rows are
// decided, at every hundredth of them and at the end.
inline void tell_progress(const Options& o, std::uint64_t done, std::uint64_t total) {
    if (o.progress == nullptr || total == 0) return;
    const std::uint64_t step = (total + 99) / 100;  // at most a hundred steps
    if (done % step == 0 || done == total) o.progress(o.progress_context, done, total);
}

// Whether the caller has set its cancel flag. Another thread or a signal
// handler of the caller's sets it while the rows run: read atomically.
inline bool cancel_requested(const Options& o) {
    if (o.cancel == nullptr) return false;
#if defined(_MSC_VER)
    return *static_cast<const volatile int*>(o.cancel) != 0;  // MSVC's volatile reads are atomic
#else
    return __atomic_load_n(o.cancel, __ATOMIC_RELAXED) != 0;
#endif
}

// Whether a BMP to plain PBM conversion is the legacy one, which has a path
// of its own (the token tables and the vectorised rule).
inline bool plain_channels(const Options& o) { return o.method == Method::channels && !o.raw && !o.invert; }

// Methods that decide a pixel from whole rows around it, so that a row must
// be held whole.
inline bool needs_whole_rows(Method m) {
    return m == Method::floyd_steinberg || m == Method::atkinson || m == Method::sauvola || is_kernel_diffusion(m) ||
           m == Method::automatic;
}

}  // namespace qpbm

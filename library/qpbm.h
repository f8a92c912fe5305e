/* qpbm: the QuorvelPBM converter with a status for every call.
 *
 * Converts pictures between BMP (1, 2, 4, 8, 16, 24 and 32 bits, palettes,
 * bit fields, RLE) and PBM (plain "P1" and raw "P4"): a BMP becomes a plain
 * PBM, a PBM becomes a 24-bit BMP of pure black and white, unless
 * qpbm_options.to names the output format (any input to any output). Options
 * (see qpbm_options) choose a raw PBM or a 1-bit BMP, how colours become black
 * or white, and a limit on the pixels of an untrusted picture. The output path is
 * replaced only by a complete file: a refused input or a failed write leaves
 * whatever was there before.
 *
 * qpbm_convert_memory converts bytes in memory into a buffer of the caller's,
 * and qpbm_output_size tells in advance how large that buffer must be.
 * qpbm_convert_pixels and qpbm_convert_pixels_file take pixels in memory (a
 * camera frame, a rendered label) instead of a file's bytes.
 *
 * Every call returns a qpbm_status; QPBM_OK (0) means converted, and
 * qpbm_status_message() names every other value. A qpbm_result, when given,
 * also receives the picture's size, the format read and the details.
 *
 * Threads: a call needs working memory of qpbm_work_size() bytes. Pass a
 * block of your own (from malloc, suitably aligned for any type; a block at
 * an address malloc would not give is refused with QPBM_EINVALID_ARGUMENT)
 * and calls on different blocks run at the same time in different threads without
 * waiting for each other; a block serves one call at a time. Pass NULL and
 * the call uses the library's one static block, so such calls take turns.
 * The library allocates no memory during a conversion either way.
 *
 * Pipes: an input path that is a pipe, FIFO or socket may be given. Its
 * bytes are kept in an unlinked temporary file in $TMPDIR (else /tmp) while a
 * BMP is read from it, since a BMP stores its rows bottom first.
 *
 * Descriptors: the paths "/dev/stdin", "/dev/stdout", "/dev/stderr",
 * "/dev/fd/N" and "/proc/self/fd/N" name this process's descriptors, as the
 * shell's redirections read them: the descriptor is used as it is, from its
 * offset (appending where it appends), and never looked up by path.
 *
 * Signals: the library never changes signal handling. Writing to a pipe
 * whose reader has gone raises SIGPIPE, which kills a process that does not
 * handle it; QPBM_FLAG_NO_SIGPIPE blocks SIGPIPE in the calling thread for
 * the call, so that such a write fails with EPIPE instead. A file size limit
 * (RLIMIT_FSIZE) raises SIGXFSZ in the same way; ignore it to get EFBIG.
 *
 * This header compiles as C99 and as C++. The older QuorvelPBM library, with
 * its two exports BMP2PBM and PBM2BMP that always return 999, is unchanged
 * beside it.
 */
#ifndef QPBM_H
#define QPBM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(QPBM_BUILDING)
#define QPBM_API __declspec(dllexport)
#elif defined(QPBM_STATIC)
#define QPBM_API
#else
#define QPBM_API __declspec(dllimport)
#endif
#else
#define QPBM_API __attribute__((visibility("default")))
#endif

#define QPBM_VERSION_MAJOR 1
#define QPBM_VERSION_MINOR 0
#define QPBM_VERSION_PATCH 0
#define QPBM_VERSION_STRING "1.0.0"
/* MAJOR * 10000 + MINOR * 100 + PATCH, as qpbm_version_number() returns. */
#define QPBM_VERSION_NUMBER (QPBM_VERSION_MAJOR * 10000 + QPBM_VERSION_MINOR * 100 + QPBM_VERSION_PATCH)

/* What happened. Values never change meaning; new ones are added at the end. */
typedef enum qpbm_status {
    QPBM_OK = 0, /* converted */
    /* The call and the files. */
    QPBM_EINVALID_PATH = 1,      /* null, not valid UTF-8/UTF-16, or too long */
    QPBM_EOPEN_INPUT = 2,        /* the input could not be opened (see os_error) */
    QPBM_ESAME_FILE = 3,         /* the output names the input file */
    QPBM_EOPEN_OUTPUT = 4,       /* the output could not be created (see os_error) */
    QPBM_EREAD = 5,              /* an I/O error while reading the input */
    QPBM_EWRITE = 6,             /* an I/O error while writing the output */
    QPBM_EINPUT_SHRANK = 7,      /* the input became shorter while it was read */
    QPBM_ECLEANUP = 8,           /* a write failed and the partial output could not be removed */
    QPBM_ENO_READER = 9,         /* the output is a FIFO that no process is reading */
    QPBM_EUNKNOWN_FORMAT = 10,   /* no format's signature (direction QPBM_DETECT) */
    QPBM_EUNDETECTABLE = 11,     /* a device input with direction QPBM_DETECT */
    QPBM_EINVALID_ARGUMENT = 12, /* a bad direction, flag, option or options.size; work too small or misaligned */
    QPBM_ETOO_MANY_PIXELS = 13,  /* more pixels than qpbm_options.max_pixels allows */
    QPBM_ETOO_WIDE = 14,         /* a row wider than the method can hold (see QPBM_MAX_ROW_METHOD_WIDTH) */
    QPBM_EOUTPUT_TOO_SMALL = 15, /* the output buffer is smaller than the output (qpbm_convert_memory) */
    QPBM_EINPUT_TOO_LONG = 16,   /* a piped PNG, JPEG or TIFF goes on past the most its picture can take */
    QPBM_ECANCELLED = 17,        /* qpbm_options.cancel was set; no output was left */
    QPBM_ENO_SUCH_PAGE = 18,     /* a page asked for is past the input's last (result.message says how many) */
    QPBM_EDOCUMENT = 19,         /* several pages asked of a one-picture output (PNG, BMP, ...), a document
                                  * closed with no page, or a PDF past 10 GB */
    /* BMP input. */
    QPBM_EBMP_TRUNCATED_HEADER = 20, /* the file ends in its headers, masks or palette */
    QPBM_EBMP_NOT_BMP = 21,          /* no "BM" signature */
    QPBM_EBMP_UNSUPPORTED = 22,      /* a kind of BMP that is not read (JPEG, PNG, 64-bit, top-down RLE) */
    QPBM_EBMP_BAD_HEADER = 23,       /* a header field out of range */
    QPBM_EBMP_TRUNCATED = 24,        /* the file ends before its pixels do */
    QPBM_EBMP_TOO_LARGE = 25,        /* an RLE picture too large for a pipe, or for a method but channels */
    /* PBM input. */
    QPBM_EPBM_BAD_MAGIC = 40,  /* not "P1" or "P4" */
    QPBM_EPBM_BAD_HEADER = 41, /* a malformed header: a sign, another character, over 64 KiB */
    QPBM_EPBM_TOO_LARGE = 42,  /* a number over 2^31 - 1, a BMP over 4 GiB, or over 1000 x 1000 for a pipe */
    QPBM_EPBM_TRUNCATED = 43,  /* the file ends within its header */
    /* PGM, PPM and PAM input */
    QPBM_EPNM_BAD_HEADER = 60,  /* a malformed header, a maxval not 1..65535, a PAM field missing */
    QPBM_EPNM_UNSUPPORTED = 61, /* a PAM tuple type that is not read, or a depth it cannot have */
    QPBM_EPNM_DAMAGED = 62,     /* a sample over the maxval, or not a number (see result.message) */
    QPBM_EPNM_TRUNCATED = 63,   /* the file ends within its header or before its last sample */
    QPBM_EPNM_TOO_LARGE = 64,   /* a width or height over 2^31 - 1 */
    /* PNG input and output (libspng's own text in result.message) */
    QPBM_EPNG_DAMAGED = 80,   /* damaged, truncated or refused by libspng, or a palette index past the palette */
    QPBM_EPNG_TOO_LARGE = 81, /* a row or interlaced picture over its memory, or a PNG output of no pixels */
    /* JPEG input (libjpeg's own text in result.message) */
    QPBM_EJPEG_DAMAGED = 90,        /* damaged, truncated, unsupported or over libjpeg's memory */
    QPBM_EJPEG_TOO_MANY_SCANS = 91, /* more than 500 scans, more than an encoder writes */
    /* TIFF input (libtiff's own text in result.message) */
    QPBM_ETIFF_DAMAGED = 100,     /* damaged or truncated, refused by libtiff */
    QPBM_ETIFF_UNSUPPORTED = 101, /* a photometric, depth, layout or compression not read */
    QPBM_ETIFF_TOO_LARGE = 102,   /* a row or row of tiles over the memory it may take */
    QPBM_ETIFF_OUTPUT = 103,      /* a TIFF output to a pipe (libtiff must seek), or of no pixels */
    /* ESC/POS, ZPL and XBM output */
    QPBM_EDEVICE_OUTPUT = 110, /* a picture of no pixels, or rows wider than the format holds */
    /* Names */
    QPBM_EOUTPUT_FORMAT = 120, /* detected, to QPBM_FORMAT_AUTO: the output is named for a format never written
                                * (.jpg, .gif, .webp, .heic, .avif) */
    /* Builds */
    QPBM_ECODEC_MISSING = 130 /* a PNG, JPEG or TIFF input, and this build lacks its codec (qpbm_codecs) */
} qpbm_status;

typedef enum qpbm_direction {
    QPBM_DETECT = 0,     /* from the input's first bytes: "BM" or "P1"/"P4" */
    QPBM_BMP_TO_PBM = 1, /* BMP in, plain PBM out */
    QPBM_PBM_TO_BMP = 2  /* PBM in, 24-bit BMP out */
} qpbm_direction;

/* Block SIGPIPE in the calling thread for the call: a vanished reader gives
 * QPBM_EWRITE with os_error EPIPE instead of killing the process. */
#define QPBM_FLAG_NO_SIGPIPE 0x1u
/* Sync the output to its disk before reporting success: the file, and its
 * directory after the rename that installs it. Without it a power loss soon
 * after a call may leave an empty or an old file on some file systems. */
#define QPBM_FLAG_FSYNC 0x2u
/* Let the call start one thread of its own for a PNG, JPEG or TIFF input: it
 * decodes there while the calling thread decides and writes the rows it has
 * decoded, handed over through a ring of about 1 MiB. The output is the same,
 * byte for byte; a call on a machine with two cores takes about the longer
 * of the two halves instead of their sum. Without it (the default) a call
 * starts no thread. The thread ends before the call returns; the output is
 * written in the calling thread. */
#define QPBM_FLAG_THREAD 0x4u

/* How a colour pixel becomes black or white. All but QPBM_METHOD_CHANNELS
 * look at the luma Y = (299 R + 587 G + 114 B) div 1000, 0..255. The same
 * input gives the same bits on every platform. */
typedef enum qpbm_method {
    /* White when blue, green and red each reach the threshold (0..255,
     * default 100): the legacy rule, for line art and clean scans. */
    QPBM_METHOD_CHANNELS = 0,
    /* White when Y reaches the threshold (0..256, default 128): documents,
     * coloured text on white. */
    QPBM_METHOD_LUMA = 1,
    /* A global Y threshold chosen from the picture's histogram (Otsu):
     * documents and scans of unknown exposure. Reads the input twice. */
    QPBM_METHOD_OTSU = 2,
    /* Floyd-Steinberg error diffusion, serpentine rows: photos. */
    QPBM_METHOD_FLOYD_STEINBERG = 3,
    /* Atkinson error diffusion, which drops a quarter of the error: photos
     * with more contrast, crisp line art. */
    QPBM_METHOD_ATKINSON = 4,
    /* 8 x 8 ordered (Bayer) dither: photos and gradients, fast, stable. */
    QPBM_METHOD_BAYER = 5,
    /* A local threshold from the mean and deviation of a window around each
     * pixel (Sauvola; window odd, 3..255, default 15): unevenly lit pages. */
    QPBM_METHOD_SAUVOLA = 6,
    /* A first look at the picture, then FLOYD_STEINBERG for a photo and
     * SAUVOLA (window 15) for a document: text, line art, a scanned page,
     * lit evenly or not. Reads the input twice; a JPEG's first read is of
     * its DC terms only. qpbm_result.message names the choice and why. */
    QPBM_METHOD_AUTO = 7,
    /* AUTO for a PNG, JPEG or TIFF input, CHANNELS for any other (BMP,
     * netpbm, pixels) and for rows wider than AUTO's methods take (131072
     * pixels): the tool's and the Python module's default. */
    QPBM_METHOD_DEFAULT = 8,
    /* Error diffusion over wider kernels (serpentine rows, as Floyd-Steinberg):
     * smoother tones for printers, each a little different in texture. */
    QPBM_METHOD_JARVIS = 9,      /* Jarvis, Judice and Ninke: 12 neighbours over three rows */
    QPBM_METHOD_STUCKI = 10,     /* Stucki: the same reach, sharper */
    QPBM_METHOD_BURKES = 11,     /* Burkes: two rows, 7 neighbours */
    QPBM_METHOD_SIERRA = 12,     /* Sierra: 10 neighbours over three rows */
    QPBM_METHOD_SIERRA2 = 13,    /* two-row Sierra: 7 neighbours */
    QPBM_METHOD_SIERRA_LITE = 14 /* Sierra Lite: 3 neighbours, the fastest */
} qpbm_method;

/* The widest row the methods that hold whole rows take (Floyd-Steinberg,
 * Atkinson, Sauvola); Sauvola also keeps at most 4 MiB of window rows, so a
 * window W takes rows up to min(this, 4194304 / W) pixels. */
#define QPBM_MAX_ROW_METHOD_WIDTH 131072

/* threshold: the method's default. */
#define QPBM_THRESHOLD_DEFAULT (-1)

/* What a conversion writes. Any input becomes any of them: a BMP may become
 * a 1-bit BMP under a method, a plain PBM a raw one. */
typedef enum qpbm_format {
    QPBM_FORMAT_AUTO = 0, /* a BMP becomes a PBM, a PBM a BMP */
    QPBM_FORMAT_PBM = 1,  /* PBM, plain or raw (qpbm_options.raw) */
    QPBM_FORMAT_BMP = 2,  /* BMP, 24 or 1 bits per pixel (qpbm_options.bmp_bits) */
    QPBM_FORMAT_PNM = 3,  /* input only: PGM, PPM or PAM */
    QPBM_FORMAT_PNG = 4,  /* PNG, grey, 1 bit per pixel (where built with libspng) */
    QPBM_FORMAT_TIFF = 5, /* TIFF, a page a directory, 1 bit, MinIsWhite, to a file (where built with libtiff) */
    QPBM_FORMAT_JPEG = 6, /* input only (where built with libjpeg-turbo) */
    /* The devices' own formats, bits as they are decided: */
    QPBM_FORMAT_ESCPOS = 7, /* ESC/POS raster (GS v 0) for receipt printers, bands of 255 rows */
    QPBM_FORMAT_ZPL = 8,    /* a ZPL label of one graphic field (^GFA, compressed hex) for label printers */
    QPBM_FORMAT_XBM = 9,    /* X bitmap, which is also C source */
    /* PDF, a page a picture, each an image of its bits coded in CCITT G4 or
     * Flate, whichever is smaller; sized by the picture's resolution, else
     * 300 dpi. Written as it goes, so also to a pipe (where built with
     * libtiff, whose G4 codec it uses). */
    QPBM_FORMAT_PDF = 10
} qpbm_format;

/* The format a picture's first bytes (at most 16 are looked at) are the
 * signature of; QPBM_FORMAT_AUTO for none. Then `more`, when not NULL, is set
 * nonzero if more bytes may still complete a signature, zero if none can. */
QPBM_API qpbm_format qpbm_detect_format(const void* first, size_t length, int* more);

/* How the output is compressed: a TIFF output by one of the TIFF values, a
 * PNG output by a zlib level. A value of the other format is ignored, as
 * any option of another format is, and that output takes its default. */
typedef enum qpbm_compression {
    QPBM_COMPRESSION_DEFAULT = 0, /* TIFF: CCITT Group 4; PNG: zlib level 6 */
    /* TIFF */
    QPBM_COMPRESSION_G4 = 1,
    QPBM_COMPRESSION_PACKBITS = 2,
    QPBM_COMPRESSION_NONE = 3,
    QPBM_COMPRESSION_DEFLATE = 4, /* Adobe Deflate */
    QPBM_COMPRESSION_AUTO = 5,    /* each page G4 or Deflate, whichever an estimate finds smaller */
    /* PNG: zlib level n is QPBM_COMPRESSION_ZLIB_0 + n. 0 stores the rows
     * uncompressed; 9 is the smallest and slowest. */
    QPBM_COMPRESSION_ZLIB_0 = 16,
    QPBM_COMPRESSION_ZLIB_1 = 17,
    QPBM_COMPRESSION_ZLIB_2 = 18,
    QPBM_COMPRESSION_ZLIB_3 = 19,
    QPBM_COMPRESSION_ZLIB_4 = 20,
    QPBM_COMPRESSION_ZLIB_5 = 21,
    QPBM_COMPRESSION_ZLIB_6 = 22,
    QPBM_COMPRESSION_ZLIB_7 = 23,
    QPBM_COMPRESSION_ZLIB_8 = 24,
    QPBM_COMPRESSION_ZLIB_9 = 25
} qpbm_compression;

/* Conversion options. Fill with qpbm_options_init(), then set fields.
 * The struct may grow at its end in later versions: `size` tells the library
 * which fields the caller knows, and later fields take their defaults. */
typedef struct qpbm_options {
    size_t size;         /* sizeof(qpbm_options), set by qpbm_options_init; at most 4096 */
    unsigned flags;      /* QPBM_FLAG_* */
    uint64_t max_pixels; /* refuse a picture of more pixels, before the output is touched; 0: no limit */
    int raw;             /* PBM output: nonzero writes raw "P4" instead of plain "P1" */
    int bmp_bits;        /* BMP output: 24 (default) or 1 bits per pixel */
    qpbm_method method;  /* default QPBM_METHOD_CHANNELS, as before AUTO came; a PBM is black and white already */
    int threshold;       /* CHANNELS 0..255, LUMA 0..256; QPBM_THRESHOLD_DEFAULT otherwise */
    int window;          /* SAUVOLA: odd, 3..255, or 0 for 15; 0 otherwise */
    int invert;          /* nonzero swaps black and white after the method (or of a PBM's pixels) */
    /* The most access the output file may give: a file written through a
     * temporary one keeps only these of the permission bits it would have had
     * (a new file's 0666 less the umask, or the replaced file's own). 0 to
     * 07777; default 07777. */
    unsigned permissions;
    /* The output format. QPBM_FORMAT_AUTO (0): with QPBM_DETECT, the one the
     * output's name calls for (.pbm, .bmp, .png, .tif, .tiff, .pdf, .xbm,
     * .zpl, .escpos, as the tool reads them; a name for a format never
     * written, .jpg, .gif, .webp, .heic or .avif, is QPBM_EOUTPUT_FORMAT),
     * else the other one than the input's. */
    qpbm_format to;
    unsigned page; /* a multi-page input (TIFF): the page to convert, from 1; 0 (default): the first */
    /* TIFF: G4, PACKBITS, NONE, DEFLATE or AUTO; PNG: ZLIB_0..ZLIB_9; DEFAULT (0): G4, level 6 */
    qpbm_compression compression;
    /* NULL (default), or a flag of the caller's that the call reads between
     * rows: once it is nonzero the call stops with QPBM_ECANCELLED, and
     * leaves the output path as it was. Set it from another thread or a
     * signal handler with an atomic store (__atomic_store_n, or
     * InterlockedExchange on Windows). A picture's header, and what a
     * decoder does before its first row, run without looking at it. */
    const int* cancel;
    /* The output's layout. The orientation the input records (JPEG EXIF,
     * TIFF tag 274, PNG eXIf) is undone, so that the output is upright, as a
     * browser shows it; then the picture is turned `rotate` degrees
     * clockwise (0, 90, 180 or 270), then flipped top to bottom and mirrored
     * left to right. A turn swaps the output's width and height and its
     * resolution's axes. The bits are decided on the rows as stored: the
     * threshold methods give the bits of the upright picture, the dithers
     * spread along the stored rows. Anything but no change holds the
     * output's bits, one bit a pixel, up to 2^31 pixels (else
     * QPBM_ETOO_MANY_PIXELS); a mirror alone holds a row. */
    int no_auto_orient; /* nonzero: keep the rows as stored, whatever the input records */
    int rotate;         /* 0, 90, 180 or 270 */
    int flip;           /* nonzero: top to bottom, after the turn */
    int mirror;         /* nonzero: left to right, after the turn */
    /* The output's resolution in dots per inch, across and down as the
     * output lies (BMP, PNG, TIFF; the other outputs hold none), 1 to
     * 1000000; dpi_y 0 takes dpi_x. Both 0 (default): the input's resolution,
     * where it has one. */
    unsigned dpi_x;
    unsigned dpi_y;
    /* The output's size in pixels, 1 to 2^31 - 1, or 0 (default): not asked.
     * The picture is resized before the method decides it, so a photo is
     * dithered at the size it is printed at. width alone or height alone:
     * the other side keeps the aspect ratio, rounded to the nearest and at
     * least 1. Both: exactly width x height (the aspect ratio may change).
     * Both with fit nonzero: the largest size of the picture's aspect ratio
     * inside width x height; fit needs both. Shrinking averages areas,
     * enlarging interpolates bilinearly, and the resolution written scales
     * so that the physical size stays. An output of more than max_pixels
     * pixels is refused (QPBM_ETOO_MANY_PIXELS), as is one wider than
     * QPBM_MAX_ROW_METHOD_WIDTH (QPBM_ETOO_WIDE). */
    uint32_t width;
    uint32_t height;
    int fit;
    /* NULL (default), or the pages of a multi-page input (TIFF) to take, as
     * text: "all", or numbers counted from 1 and ranges, separated by commas
     * ("2", "1-3", "1,4,6-9"). A TIFF or PDF output holds the pages named,
     * and by default every page; a PBM output holds them one after another
     * (netpbm's convention); an output that holds one picture (PNG, BMP,
     * ...) takes a selection of one page, else QPBM_EDOCUMENT. A page past
     * the last: QPBM_ENO_SUCH_PAGE. Overrides `page`. Taken by the calls on
     * UTF-8 paths. */
    const char* pages;
    /* NULL (default), or a function the call calls as it decides the rows:
     * `done` of `total` rows read (of the picture as stored, or of the page),
     * about a hundred times, the last with done == total; with
     * `progress_context`. With QPBM_FLAG_THREAD it may be called from the
     * library's reader thread. It must not call the library. */
    void (*progress)(void* context, uint64_t done, uint64_t total);
    void* progress_context;
} qpbm_options;

/* What a call learned, filled in whatever the status. */
typedef struct qpbm_result {
    qpbm_status status;
    qpbm_direction direction; /* the direction taken (QPBM_DETECT: not known) */
    int64_t width;            /* the picture's size, once read; else 0 */
    int64_t height;
    const char* format; /* what the input is, e.g. "BMP, 8-bit palette" or "PBM, raw"; "" if unknown */
    int os_error;       /* errno of a failed open, read or write; else 0 */
    char message[256];  /* the status message with its details, e.g. sizes or the OS error; after a
                         * success under QPBM_METHOD_AUTO (or DEFAULT, where it meant AUTO), "auto
                         * chose " the method, ": " and why */
} qpbm_result;

/* The bytes of working memory one call needs. */
QPBM_API size_t qpbm_work_size(void);

/* Converts the file at `input` into the file at `output`, paths in UTF-8 (on
 * POSIX systems the bytes go to the system as they are, so names that are
 * not UTF-8 work too).
 * `work` is NULL or a block of at least qpbm_work_size() bytes; `flags` is 0
 * or QPBM_FLAG_NO_SIGPIPE and QPBM_FLAG_FSYNC joined with |; `result` may be
 * NULL. errno is left as it was. */
QPBM_API qpbm_status qpbm_convert(const char* input, const char* output, qpbm_direction direction, unsigned flags,
                                  void* work, size_t work_size, qpbm_result* result);

/* The same with NUL-terminated UTF-16 paths. */
QPBM_API qpbm_status qpbm_convert_utf16(const uint16_t* input, const uint16_t* output, qpbm_direction direction,
                                        unsigned flags, void* work, size_t work_size, qpbm_result* result);

/* Sets every option to its default: plain PBM, 24-bit BMP, the channels
 * rule at 100, no pixel limit. */
QPBM_API void qpbm_options_init(qpbm_options* options);

/* qpbm_convert with options (NULL: the defaults). The direction names the
 * input's format (and, without qpbm_options.to, the output's). An option of
 * another format (raw for a BMP output, a method for a PBM input) is
 * ignored; an option value out of range, or a threshold or
 * window for a method that takes none, gives QPBM_EINVALID_ARGUMENT before
 * any file is touched. */
QPBM_API qpbm_status qpbm_convert_ex(const char* input, const char* output, qpbm_direction direction,
                                     const qpbm_options* options, void* work, size_t work_size, qpbm_result* result);
QPBM_API qpbm_status qpbm_convert_utf16_ex(const uint16_t* input, const uint16_t* output, qpbm_direction direction,
                                           const qpbm_options* options, void* work, size_t work_size,
                                           qpbm_result* result);

/* Conversions in memory: the same conversions, options and statuses as
 * qpbm_convert_ex, from the `input_size` bytes at `input` into the caller's
 * buffer `output` of `output_capacity` bytes, with no path and no file of the
 * caller's. Of the statuses about paths and files only QPBM_EREAD,
 * QPBM_EOPEN_OUTPUT and QPBM_EWRITE occur, when the system cannot give a
 * stream: on Windows the bytes pass through temporary files in the temporary
 * directory; elsewhere the library reads and writes the caller's memory
 * directly, and they do not occur. QPBM_FLAG_NO_SIGPIPE has no effect.
 *
 * The output's size follows from the picture's header:
 *   plain PBM  len("P1\n# Created by Quorvel\n<w> <h>\n") + 2 w h + (w h) div 30
 *   raw PBM    the same header with "P4" + ceil(w / 8) h
 *   24-bit BMP 54 + (ceil(3 w / 4) 4) h
 *   1-bit BMP  62 + (ceil(w / 32) 4) h
 * A plain PBM's line feeds are "\n" on every platform (the file calls write
 * "\r\n" on Windows); otherwise the bytes are those the file calls write. */

/* The bytes the conversion of `input` writes, from its header, in
 * *output_size (0 unless QPBM_OK); the input is checked as the conversion
 * checks it, and nothing is written. `work`, `work_size` and `result` as for
 * qpbm_convert_ex. */
QPBM_API qpbm_status qpbm_output_size(const void* input, size_t input_size, qpbm_direction direction,
                                      const qpbm_options* options, void* work, size_t work_size, uint64_t* output_size,
                                      qpbm_result* result);

/* Converts `input` into `output`. On QPBM_OK, *output_size is the number of
 * bytes written. When the buffer is too small the status is
 * QPBM_EOUTPUT_TOO_SMALL, nothing is written, and *output_size is the size
 * needed. On any other status *output_size is 0 and the buffer's contents
 * are unspecified. `output` may be NULL when output_capacity is 0;
 * `output_size` may be NULL. The input and the output must not overlap. */
QPBM_API qpbm_status qpbm_convert_memory(const void* input, size_t input_size, void* output, size_t output_capacity,
                                         uint64_t* output_size, qpbm_direction direction, const qpbm_options* options,
                                         void* work, size_t work_size, qpbm_result* result);

/* Pixels in memory: rows of 8-bit samples, top row first, in one of these
 * layouts. Alpha is laid over white, c = (c * a + 255 * (255 - a) + 127) /
 * 255, so the pixels decided are those of a PAM of the same samples. */
typedef enum qpbm_layout {
    QPBM_LAYOUT_GRAY8 = 1,  /* grey */
    QPBM_LAYOUT_GRAYA8 = 2, /* grey, alpha */
    QPBM_LAYOUT_RGB8 = 3,   /* red, green, blue */
    QPBM_LAYOUT_RGBA8 = 4,  /* red, green, blue, alpha */
    QPBM_LAYOUT_BGR8 = 5,   /* blue, green, red */
    QPBM_LAYOUT_BGRA8 = 6   /* blue, green, red, alpha */
} qpbm_layout;

typedef struct qpbm_pixels {
    const void* data;   /* row y starts at data + y * stride; may be NULL for a picture of no pixels */
    uint32_t width;     /* at most 2^31 - 1 */
    uint32_t height;    /* at most 2^31 - 1 */
    size_t stride;      /* bytes from a row to the next, at least a row's; 0 repeats the first row */
    qpbm_layout layout; /* QPBM_LAYOUT_* */
} qpbm_pixels;

/* Converts pixels into the caller's buffer, as qpbm_convert_memory converts
 * bytes: the same options, statuses and result (format "pixels"), and
 * QPBM_EOUTPUT_TOO_SMALL with *output_size the size needed when the buffer
 * is too small (so a first call with output_capacity 0 measures). A layout,
 * size or stride that does not describe memory is QPBM_EINVALID_ARGUMENT. */
QPBM_API qpbm_status qpbm_convert_pixels(const qpbm_pixels* pixels, void* output, size_t output_capacity,
                                         uint64_t* output_size, const qpbm_options* options, void* work,
                                         size_t work_size, qpbm_result* result);

/* Converts pixels into the file at `output` (UTF-8), with the file handling
 * of qpbm_convert_ex: a complete file or none, flags QPBM_FLAG_NO_SIGPIPE and
 * QPBM_FLAG_FSYNC. */
QPBM_API qpbm_status qpbm_convert_pixels_file(const qpbm_pixels* pixels, const char* output,
                                              const qpbm_options* options, void* work, size_t work_size,
                                              qpbm_result* result);

/* A short fixed text for every status, e.g. "not a BMP file". Never NULL. */
/* A document: several pictures as the pages of one TIFF, PDF or PBM file.
 * Open it on the output path, add pages from files (all of a multi-page
 * file's pages, or a selection) or from pixels, and close it: the file is put
 * in place whole only then, as any output is. A refused input, a failed
 * write or qpbm_document_discard leave the output path as it was; after a
 * failure the other calls refuse with that status and close discards. A
 * pipe or device output (a PDF or PBM; a TIFF needs a file) is written as
 * the pages come. A handle serves one thread at a time; it holds its own
 * working memory (about qpbm_work_size() bytes). `options` are taken at open
 * and apply to every page; `format` is QPBM_FORMAT_TIFF, _PDF or _PBM. */
typedef struct qpbm_document qpbm_document;
QPBM_API qpbm_status qpbm_document_open(const char* output, qpbm_format format, const qpbm_options* options,
                                        qpbm_document** document, qpbm_result* result);
/* pages: NULL for every page, or a selection as qpbm_options.pages. */
QPBM_API qpbm_status qpbm_document_add_file(qpbm_document* document, const char* input, const char* pages,
                                            qpbm_result* result);
/* The same, the input's pages decided by `options` (NULL: the document's);
 * the output's format and compression stay the document's. */
QPBM_API qpbm_status qpbm_document_add_file_ex(qpbm_document* document, const char* input, const char* pages,
                                               const qpbm_options* options, qpbm_result* result);
QPBM_API qpbm_status qpbm_document_add_pixels(qpbm_document* document, const qpbm_pixels* pixels, qpbm_result* result);
/* The same, the pixels decided by `options` (NULL: the document's). */
QPBM_API qpbm_status qpbm_document_add_pixels_ex(qpbm_document* document, const qpbm_pixels* pixels,
                                                 const qpbm_options* options, qpbm_result* result);
/* Pages added so far. */
QPBM_API unsigned qpbm_document_pages(const qpbm_document* document);
/* Ends and installs the document (QPBM_EDOCUMENT with no page), or after a
 * failure discards it; frees the handle either way. */
QPBM_API qpbm_status qpbm_document_close(qpbm_document* document, qpbm_result* result);
/* Discards the document, leaving the output path as it was (or making no
 * bytes), and frees the handle. */
QPBM_API void qpbm_document_discard(qpbm_document* document);

/* A document in memory: the same calls, but the output grows in memory the
 * library allocates, and qpbm_document_close_memory (not _close, which
 * refuses such a handle with QPBM_EINVALID_ARGUMENT and leaves it open)
 * hands it over whole: *output, *output_size bytes, to free with qpbm_free.
 * After a failure, or with no page, *output is NULL and *output_size 0. The
 * pages of a file in memory are added by qpbm_document_add_memory (also to a
 * file document), `pages` and `options` as for qpbm_document_add_file_ex. */
QPBM_API qpbm_status qpbm_document_open_memory(qpbm_format format, const qpbm_options* options,
                                               qpbm_document** document, qpbm_result* result);
QPBM_API qpbm_status qpbm_document_add_memory(qpbm_document* document, const void* input, size_t input_size,
                                              const char* pages, const qpbm_options* options, qpbm_result* result);
QPBM_API qpbm_status qpbm_document_close_memory(qpbm_document* document, void** output, uint64_t* output_size,
                                                qpbm_result* result);
/* Frees what qpbm_document_close_memory handed over; NULL is ignored. */
QPBM_API void qpbm_free(void* output);

/* How many pages the file at `input` holds: a TIFF's directories, 1 for
 * any other picture. */
QPBM_API qpbm_status qpbm_input_pages(const char* input, unsigned* pages, qpbm_result* result);

QPBM_API const char* qpbm_status_message(qpbm_status status);

/* The library's version, e.g. "1.0.0", and as QPBM_VERSION_NUMBER gives it. */
QPBM_API const char* qpbm_version(void);
QPBM_API unsigned qpbm_version_number(void);
/* The codec libraries built in, a line each as "FORMAT LIBRARY VERSION\n"
 * ("PNG libspng 0.7.3", "JPEG libjpeg-turbo 2.1.5", "TIFF libtiff 4.5.0",
 * "PDF zlib 1.2.13"); a format whose library is not built in is absent, and
 * its files are QPBM_ECODEC_MISSING. A static string. */
QPBM_API const char* qpbm_codecs(void);

#ifdef __cplusplus
}
#endif

#endif /* QPBM_H */

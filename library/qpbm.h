/* qpbm: the QuorvelPBM converter with a status for every call.
 *
 * Converts pictures between BMP (1, 2, 4, 8, 16, 24 and 32 bits, palettes,
 * bit fields, RLE) and PBM (plain "P1" and raw "P4"): a BMP becomes a plain
 * PBM, a PBM becomes a 24-bit BMP of pure black and white. The output path is
 * replaced only by a complete file: a refused input or a failed write leaves
 * whatever was there before.
 *
 * Every call returns a qpbm_status; QPBM_OK (0) means converted, and
 * qpbm_status_message() names every other value. A qpbm_result, when given,
 * also receives the picture's size, the format read and the details.
 *
 * Threads: a call needs working memory of qpbm_work_size() bytes. Pass a
 * block of your own (from malloc, suitably aligned for any type) and calls on
 * different blocks run at the same time in different threads without
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
    QPBM_EUNKNOWN_FORMAT = 10,   /* neither "BM" nor "P1"/"P4" (direction QPBM_DETECT) */
    QPBM_EUNDETECTABLE = 11,     /* a device input with direction QPBM_DETECT */
    QPBM_EINVALID_ARGUMENT = 12, /* an unknown direction or flag, or work too small */
    /* BMP input. */
    QPBM_EBMP_TRUNCATED_HEADER = 20, /* the file ends in its headers, masks or palette */
    QPBM_EBMP_NOT_BMP = 21,          /* no "BM" signature */
    QPBM_EBMP_UNSUPPORTED = 22,      /* a kind of BMP that is not read (JPEG, PNG, 64-bit, top-down RLE) */
    QPBM_EBMP_BAD_HEADER = 23,       /* a header field out of range */
    QPBM_EBMP_TRUNCATED = 24,        /* the file ends before its pixels do */
    QPBM_EBMP_TOO_LARGE = 25,        /* an RLE picture too large for an output that cannot seek */
    /* PBM input. */
    QPBM_EPBM_BAD_MAGIC = 40,  /* not "P1" or "P4" */
    QPBM_EPBM_BAD_HEADER = 41, /* a malformed header: a sign, another character, over 64 KiB */
    QPBM_EPBM_TOO_LARGE = 42,  /* a number over 2^31 - 1, a BMP over 4 GiB, or over 1000 x 1000 for a pipe */
    QPBM_EPBM_TRUNCATED = 43   /* the file ends within its header */
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

/* What a call learned, filled in whatever the status. */
typedef struct qpbm_result {
    qpbm_status status;
    qpbm_direction direction; /* the direction taken (QPBM_DETECT: not known) */
    int64_t width;            /* the picture's size, once read; else 0 */
    int64_t height;
    const char* format; /* what the input is, e.g. "BMP, 8-bit palette" or "PBM, raw"; "" if unknown */
    int os_error;       /* errno of a failed open, read or write; else 0 */
    char message[256];  /* the status message with its details, e.g. sizes or the OS error */
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

/* A short fixed text for every status, e.g. "not a BMP file". Never NULL. */
QPBM_API const char* qpbm_status_message(qpbm_status status);

/* The library's version, e.g. "1.0.0", and as QPBM_VERSION_NUMBER gives it. */
QPBM_API const char* qpbm_version(void);
QPBM_API unsigned qpbm_version_number(void);

#ifdef __cplusplus
}
#endif

#endif /* QPBM_H */

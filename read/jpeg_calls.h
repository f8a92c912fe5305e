/* The libjpeg calls of the JPEG reader, each behind a setjmp of its own.
 *
 * libjpeg reports an error by calling error_exit, which must not return: here
 * it longjmps back to the C function below that made the call, which returns
 * -1 with libjpeg's text in `message`. The jump never crosses a C++ frame:
 * the reader calls these functions and only sees their results. Warnings
 * (damaged or truncated data, which libjpeg would paper over with grey) are
 * refusals too, but for bytes between the last scan and EOI. A progress
 * monitor counts the scans read and refuses one past `max_scans`. */
#ifndef QPBM_JPEG_CALLS_H
#define QPBM_JPEG_CALLS_H

/* jpeglib.h needs size_t and FILE declared before it. */
/* clang-format off */
#include <setjmp.h>
#include <stddef.h>
#include <stdio.h>
#include <jpeglib.h>
/* clang-format on */

#ifdef __cplusplus
extern "C" {
#endif

struct qpbm_jpeg {
    struct jpeg_decompress_struct d;
    struct jpeg_error_mgr err;
    struct jpeg_progress_mgr progress;
    jmp_buf jump;
    int created;
    JSAMPROW row; /* one output row, in libjpeg's image pool */
    int max_scans;
    int too_many_scans; /* set when a refusal is the scans' count */
    char message[JMSG_LENGTH_MAX];
};

/* Reads the header from `in`, libjpeg's memory capped at max_memory bytes
 * and the scans read at max_scans. */
int qpbm_jpeg_open(struct qpbm_jpeg* s, FILE* in, long max_memory, int max_scans);
/* Starts decompressing into `space` (JCS_GRAYSCALE, JCS_RGB or JCS_CMYK)
 * with libjpeg's defaults: accurate integer DCT, fancy upsampling; at
 * 1/`shrink` of the size (1, 2, 4 or 8) through libjpeg's scaled DCT. A
 * progressive picture is read whole into its coefficients here. */
int qpbm_jpeg_start(struct qpbm_jpeg* s, J_COLOR_SPACE space, unsigned shrink);
/* The next row into s->row. */
int qpbm_jpeg_read_row(struct qpbm_jpeg* s);
/* Frees everything libjpeg holds; safe after any failure. */
void qpbm_jpeg_close(struct qpbm_jpeg* s);

#ifdef __cplusplus
}
#endif

#endif

#include "read/jpeg_calls.h"

#include <jerror.h>

static void refuse(j_common_ptr info) {
    struct qpbm_jpeg* s = (struct qpbm_jpeg*)info->client_data;
    (*info->err->format_message)(info, s->message);
    longjmp(s->jump, 1);
}

/* Level -1 is a warning: corrupt or missing data. Trace messages are not.
 * Bytes between the last scan and EOI are skipped, as libjpeg itself does:
 * a progressive read passes them on its way to EOI, a baseline read stops
 * at its last row and never sees them, and both pictures are whole. */
static void warn(j_common_ptr info, int level) {
    if (level >= 0) return;
    if (info->err->msg_code == JWRN_EXTRANEOUS_DATA && info->err->msg_parm.i[1] == JPEG_EOI) return;
    refuse(info);
}

/* Called as libjpeg reads: a scan past the most is refused before libjpeg
 * decodes it, as libjpeg-turbo's own tools do. */
static void count_scans(j_common_ptr info) {
    struct qpbm_jpeg* s = (struct qpbm_jpeg*)info->client_data;
    if (((j_decompress_ptr)info)->input_scan_number <= s->max_scans) return;
    s->too_many_scans = 1;
    snprintf(s->message, sizeof s->message, "more than %d scans", s->max_scans);
    longjmp(s->jump, 1);
}

int qpbm_jpeg_open(struct qpbm_jpeg* s, FILE* in, long max_memory, int max_scans) {
    s->created = 0;
    s->row = NULL;
    s->message[0] = '\0';
    s->max_scans = max_scans;
    s->too_many_scans = 0;
    s->d.err = jpeg_std_error(&s->err);
    s->err.error_exit = refuse;
    s->err.emit_message = warn;
    s->d.client_data = s;
    if (setjmp(s->jump)) return -1;
    jpeg_create_decompress(&s->d);
    s->created = 1;
    s->progress.progress_monitor = count_scans;
    s->d.progress = &s->progress;
    s->d.mem->max_memory_to_use = max_memory;
    jpeg_stdio_src(&s->d, in);
    /* APP1 holds EXIF, whose Orientation the reader applies. */
    jpeg_save_markers(&s->d, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&s->d, TRUE);
    return 0;
}

int qpbm_jpeg_start(struct qpbm_jpeg* s, J_COLOR_SPACE space) {
    if (setjmp(s->jump)) return -1;
    s->d.out_color_space = space;
    jpeg_start_decompress(&s->d);
    s->row = (*s->d.mem->alloc_sarray)((j_common_ptr)&s->d, JPOOL_IMAGE,
                                       s->d.output_width * (JDIMENSION)s->d.output_components, 1)[0];
    return 0;
}

int qpbm_jpeg_read_row(struct qpbm_jpeg* s) {
    if (setjmp(s->jump)) return -1;
    return jpeg_read_scanlines(&s->d, &s->row, 1) == 1 ? 0 : -1;
}

void qpbm_jpeg_close(struct qpbm_jpeg* s) {
    if (s->created) jpeg_destroy_decompress(&s->d);
    s->created = 0;
}

/* A program built against the installed qpbm API, as C99: converts a 2 x 2
 * BMP to PBM and back, checks the bytes and the reported facts, and checks
 * that a refusal comes back with its status and message. */
#include <qpbm.h>
#include <stdio.h>
#include <string.h>

/* The header's fields laid out as the file holds them. */
/* clang-format off */
static const unsigned char bmp[] = {
    'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,              /* file header */
    40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, /* info header */
    16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0,                                      /* bottom row: black */
    255, 255, 255, 255, 255, 255, 0, 0};                         /* top row: white */
/* clang-format on */
static const char pbm[] = "P1\n# Created by Quorvel\n2 2\n0 0 1 1 ";

static long read_all(const char* path, unsigned char* buf, long size) {
    FILE* f = fopen(path, "rb");
    long n;
    if (!f) return -1;
    n = (long)fread(buf, 1, (size_t)size, f);
    fclose(f);
    return n;
}

int main(void) {
    unsigned char buf[256];
    qpbm_result result;
    long n;
    FILE* f = fopen("qpbm-in.bmp", "wb");
    if (!f || fwrite(bmp, 1, sizeof bmp, f) != sizeof bmp || fclose(f) != 0) return 3;
    if (qpbm_version_number() / 10000 != QPBM_VERSION_MAJOR) return 4;

    if (qpbm_convert("qpbm-in.bmp", "qpbm.pbm", QPBM_DETECT, 0, NULL, 0, &result) != QPBM_OK) return 5;
    if (result.direction != QPBM_BMP_TO_PBM || result.width != 2 || result.height != 2) return 6;
    n = read_all("qpbm.pbm", buf, sizeof buf);
    if (n != (long)strlen(pbm) || memcmp(buf, pbm, (size_t)n) != 0) return 7;

    if (qpbm_convert("qpbm.pbm", "qpbm-out.bmp", QPBM_PBM_TO_BMP, 0, NULL, 0, NULL) != QPBM_OK) return 8;
    n = read_all("qpbm-out.bmp", buf, sizeof buf);
    if (n != (long)sizeof bmp || memcmp(buf, bmp, sizeof bmp) != 0) return 9;

    if (qpbm_convert("qpbm.pbm", "x.pbm", QPBM_BMP_TO_PBM, 0, NULL, 0, &result) != QPBM_EBMP_NOT_BMP) return 10;
    if (result.message[0] == '\0' || strcmp(qpbm_status_message(QPBM_EBMP_NOT_BMP), "") == 0) return 11;

    printf("consumer: qpbm %s converted as expected\n", qpbm_version());
    return 0;
}

/* A host program built against the installed library: writes a 2 x 2 BMP,
 * converts it to PBM and back through both exports, and checks the results. */
#include <quorvelpbm.h>
#include <stdio.h>
#include <string.h>
#include <uchar.h>

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
    if (!f) return -1;
    long n = (long)fread(buf, 1, (size_t)size, f);
    fclose(f);
    return n;
}

int main(void) {
    FILE* f = fopen("consumer-in.bmp", "wb");
    if (!f || fwrite(bmp, 1, sizeof bmp, f) != sizeof bmp || fclose(f) != 0) return 3;

    unsigned char buf[256];
    if (BMP2PBM(u"consumer-in.bmp", u"consumer.pbm") != QUORVELPBM_RESULT) return 4;
    long n = read_all("consumer.pbm", buf, sizeof buf);
    if (n != (long)strlen(pbm) || memcmp(buf, pbm, (size_t)n) != 0) return 5;

    if (PBM2BMP(u"consumer.pbm", u"consumer-out.bmp") != QUORVELPBM_RESULT) return 6;
    n = read_all("consumer-out.bmp", buf, sizeof buf);
    if (n != (long)sizeof bmp || memcmp(buf, bmp, sizeof bmp) != 0) return 7;

    puts("consumer: both exports converted as expected");
    return 0;
}

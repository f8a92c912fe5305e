/* The memory calls of qpbm.dll under Wine, where the bytes pass through
 * temporary files: each direction in memory against the file call, a buffer
 * too small, and a refusal. Exit 0 when all hold. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "library/qpbm.h"

static int failures = 0;
#define CHECK(c) ((c) ? (void)0 : (void)(fprintf(stderr, "FAIL line %d: %s\n", __LINE__, #c), ++failures))

static size_t read_all(const char* path, unsigned char* bytes, size_t size) {
    FILE* f = fopen(path, "rb");
    size_t n = f ? fread(bytes, 1, size, f) : 0;
    if (f) fclose(f);
    return n;
}

/* `input` in memory, and through files; a PBM's CR LF from the file call
 * counts as LF. */
static void compare(const unsigned char* input, size_t size, const char* name) {
    static unsigned char memory[1 << 16], file[1 << 16];
    uint64_t needed = 0, written = 0;
    CHECK(qpbm_output_size(input, size, QPBM_DETECT, NULL, NULL, 0, &needed, NULL) == QPBM_OK);
    CHECK(qpbm_convert_memory(input, size, memory, needed - 1, &written, QPBM_DETECT, NULL, NULL, 0, NULL) ==
          QPBM_EOUTPUT_TOO_SMALL);
    CHECK(written == needed);
    CHECK(qpbm_convert_memory(input, size, memory, sizeof memory, &written, QPBM_DETECT, NULL, NULL, 0, NULL) ==
          QPBM_OK);
    CHECK(written == needed);
    FILE* f = fopen(name, "wb");
    fwrite(input, 1, size, f);
    fclose(f);
    CHECK(qpbm_convert_ex(name, "memory_host.out", QPBM_DETECT, NULL, NULL, 0, NULL) == QPBM_OK);
    size_t n = read_all("memory_host.out", file, sizeof file), kept = 0;
    for (size_t i = 0; i < n; ++i)
        if (!(file[i] == '\r' && i + 1 < n && file[i + 1] == '\n')) file[kept++] = file[i];
    CHECK(kept == written && memcmp(file, memory, kept) == 0);
    remove(name);
    remove("memory_host.out");
}

int main(void) {
    /* 3 x 2, 24-bit: stride 12, white top row, black bottom row. */
    unsigned char bmp[54 + 24] = {'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  40,
                                  0,   0,   0,  3, 0, 0, 0, 2, 0, 0, 0,  1, 0, 24, 0};
    memset(bmp + 54 + 12, 0xFF, 9);
    const char pbm[] = "P4\n35 2\n\xff\x00\xaa\x55\x0f\xf0\x00\xff\x11\x22";
    compare(bmp, sizeof bmp, "memory_host.bmp");
    compare((const unsigned char*)pbm, sizeof pbm - 1, "memory_host.pbm");
    qpbm_result result;
    CHECK(qpbm_convert_memory("GIF89a", 6, NULL, 0, NULL, QPBM_DETECT, NULL, NULL, 0, &result) == QPBM_EUNKNOWN_FORMAT);
    printf("%s\n", failures ? "memory calls: FAILED" : "memory calls: passed");
    return failures != 0;
}

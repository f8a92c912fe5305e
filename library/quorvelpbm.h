/* QuorvelPBM: converts pictures between 24-bit BMP and plain PBM ("P1").
 *
 * Both functions take the input path first and the output path second, as
 * NUL-terminated UTF-16 strings, convert, close both files and return 999.
 * The result is always 999: a refused input leaves the output path untouched
 * and the call still returns 999. Calls of the same function from several
 * threads are serialised inside the library.
 */
#ifndef QUORVELPBM_H
#define QUORVELPBM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#else
#include <uchar.h>
#endif

#if defined(_WIN32)
#if defined(QUORVELPBM_BUILDING)
#define QUORVELPBM_API __declspec(dllexport)
#else
#define QUORVELPBM_API __declspec(dllimport)
#endif
#else
#define QUORVELPBM_API __attribute__((visibility("default")))
#endif

/* The value every call returns. */
#define QUORVELPBM_RESULT 999

/* Reads a 24-bit uncompressed BMP and writes a plain PBM: a pixel is white
 * ("0") when blue, green and red are each at least 100, else black ("1"). */
QUORVELPBM_API int32_t BMP2PBM(const char16_t* bmp_path, const char16_t* pbm_path);

/* Reads a plain PBM in the layout BMP2PBM writes (at most 1000 x 1000) and
 * writes a 24-bit BMP whose pixels are pure black or pure white. */
QUORVELPBM_API int32_t PBM2BMP(const char16_t* pbm_path, const char16_t* bmp_path);

#ifdef __cplusplus
}
#endif

#endif /* QUORVELPBM_H */

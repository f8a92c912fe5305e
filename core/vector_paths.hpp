// Loops that the compiler vectorises are built twice on x86-64 GNU/Linux: for
// the processors every build supports, and for AVX2, chosen at run time. The
// two share one source, so they cannot disagree on the rule they implement.
#pragma once

#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__)
#define QPBM_HAVE_AVX2_PATH 1
#define QPBM_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define QPBM_HAVE_AVX2_PATH 0
#define QPBM_TARGET_AVX2
#endif

// Marks the one source of a loop built twice, so that it is copied into each build.
#if defined(__GNUC__)
#define QPBM_LOOP_BODY inline __attribute__((always_inline))
#else
#define QPBM_LOOP_BODY inline
#endif

namespace qpbm {

// True when the processor runs the AVX2 builds.
inline bool use_avx2_path() {
#if QPBM_HAVE_AVX2_PATH
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

}  // namespace qpbm

#!/usr/bin/env bash
# The threaded code under ThreadSanitizer: the reader thread's ring and the
# codec conversions that read in a thread of their own (the same bytes as in
# one), and the tool's batch workers with a reader thread each.
set -euo pipefail
build=build-tsan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVELPBM_TSAN=ON \
    -DQUORVELPBM_BUILD_BENCH=OFF -DQUORVELPBM_BUILD_WEB=OFF
targets=(quorvelpbm_read_thread_tests quorvelpbm_codec_tests quorvelpbm_jpeg_tests quorvelpbm_tiff_tests quorvelpbm)
cmake --build "$build" -j2 --target "${targets[@]}"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
for test in read_thread codec jpeg tiff; do
    "$build/tests/quorvelpbm_${test}_tests" --gtest_brief=1
done
/usr/bin/python3 tests/tool/formats_test.py "$build/tools/quorvelpbm" ReaderThreadTest

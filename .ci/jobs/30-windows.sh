#!/usr/bin/env bash
# QuorvelPBM.dll cross-built with MinGW-w64: its export table, imports and
# version block checked with the MinGW binutils, and a host program that loads
# it and converts through it, run under Wine (a prefix in the build directory).
set -euo pipefail
cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DQUORVELPBM_CODECS_FROM_SOURCE=ON
cmake --build build-mingw -j2
status=0
ctest --test-dir build-mingw --output-on-failure --verbose || status=$?
# Wine's server lingers a few seconds after the last program; wait for it.
WINEPREFIX="$PWD/build-mingw/wineprefix" wineserver -w || true
exit $status

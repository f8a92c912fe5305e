#!/usr/bin/env bash
# The library and every unit test cross-built for 32-bit ARM (32-bit long and
# size_t), GoogleTest and the codecs built from Debian's sources, all run under
# qemu-arm.
set -euo pipefail
cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake -DCMAKE_BUILD_TYPE=Release \
    -DQUORVELPBM_GTEST_SOURCE_DIR=/usr/src/googletest -DQUORVELPBM_CODECS_FROM_SOURCE=ON
cmake --build build-arm -j2
# Make sure the tests really are 32-bit ARM programs.
arm-linux-gnueabihf-readelf -h build-arm/tests/quorvelpbm_tests | grep -E '^ *(Class|Machine):'
arm-linux-gnueabihf-readelf -h build-arm/tests/quorvelpbm_tests | grep -q 'Class: *ELF32'
ctest --test-dir build-arm --output-on-failure -j2

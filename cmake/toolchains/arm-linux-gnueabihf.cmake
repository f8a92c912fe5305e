# Cross-build for 32-bit ARM Linux (hard float) with Debian's g++-arm-linux-gnueabihf,
# run under qemu-user with the ARM libraries that come with the cross compiler:
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
# On this target long and size_t are 32 bits wide.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QUORVELPBM_ARM_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${QUORVELPBM_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVELPBM_ARM_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVELPBM_ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs (and GoogleTest's test discovery) run under qemu-arm, which
# finds the ARM dynamic loader and libraries in the cross compiler's tree.
find_program(QUORVELPBM_QEMU_ARM qemu-arm)
if(QUORVELPBM_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVELPBM_QEMU_ARM} -L /usr/${QUORVELPBM_ARM_TRIPLE})
endif()

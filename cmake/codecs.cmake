# The codec libraries built from Debian's source packages for this build's
# target (cmake/codecs/build.sh, cached in ~/.cache/quorvelpbm), static, and
# found through the pkg-config files of their prefix, and nowhere else. The
# wheel, the Windows build and the ARM build take their codecs from here; the
# sources are fetched by the set-up step (cmake/codecs/fetch.sh), never by the
# build.
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(codecs_target mingw-w64-x86_64)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Emscripten")
  set(codecs_target wasm)
elseif(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(codecs_target arm-linux-gnueabihf)
elseif(NOT CMAKE_CROSSCOMPILING)
  set(codecs_target host)
else()
  message(FATAL_ERROR "QUORVELPBM_CODECS_FROM_SOURCE: no codec build for ${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR}")
endif()

message(STATUS "Codecs from Debian's sources for ${codecs_target} (cmake/codecs/build.sh)")
execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/codecs/build.sh ${codecs_target}
  OUTPUT_VARIABLE QUORVELPBM_CODECS_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE codecs_status)
if(NOT codecs_status EQUAL 0)
  message(FATAL_ERROR "Building the codecs for ${codecs_target} failed (see above)")
endif()
message(STATUS "Codecs in ${QUORVELPBM_CODECS_PREFIX}")

set(ENV{PKG_CONFIG_LIBDIR} ${QUORVELPBM_CODECS_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
# The prefix is outside a cross build's root: look for its libraries as named.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
find_package(PkgConfig REQUIRED)

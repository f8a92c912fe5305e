# The packages CPack makes from the install rules (`cmake --build DIR --target
# package`, or the presets `package` and `windows-zip`):
# - on Linux, two Debian packages: quorvelpbm (the Runtime component: the tool,
#   both libraries under their sonames, the manual page, the bash completion)
#   and quorvelpbm-dev (the Development component: headers, link names, the
#   CMake package, the .pc files). Configure with CMAKE_INSTALL_PREFIX=/usr,
#   as the preset does, so that the libraries go to Debian's multiarch
#   directory.
# - on Windows, one zip of everything, with the README and the licence.
# cmake/package_files.cmake adds the files a package needs beyond the install
# rules; cmake/package_deb_scripts.cmake tidies the Debian packages CPack made.
set(CPACK_PACKAGE_NAME quorvelpbm)
set(CPACK_PACKAGE_VENDOR "The QuorvelPBM authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPack's own default summary, which the Debian generator leaves out of the
# Description: each package's synopsis is then the first line of its own.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_files.cmake)
# Read by the script above.
set(CPACK_QUORVELPBM_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_QUORVELPBM_CODECS_PREFIX "${QUORVELPBM_CODECS_PREFIX}")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quorvelpbm-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Runtime Development)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The QuorvelPBM authors <quorvelpbm@users.noreply.github.com>"
    CACHE STRING "The Maintainer field of the Debian packages")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends from what the binaries link (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A shlibs file, so that programs built against the libraries depend on
  # this package, and the ldconfig trigger that Debian asks for (CPack's
  # generated shlibs come without it, and with maintainer scripts that
  # cmake/package_deb_scripts.cmake takes out again).
  get_target_property(legacy_soversion QuorvelPBM SOVERSION)
  get_target_property(qpbm_soversion qpbm SOVERSION)
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/debian/shlibs CONTENT
"libQuorvelPBM ${legacy_soversion} quorvelpbm (>= ${PROJECT_VERSION})
libqpbm ${qpbm_soversion} quorvelpbm (>= ${PROJECT_VERSION})
")
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/debian/triggers CONTENT "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/shlibs ${PROJECT_BINARY_DIR}/debian/triggers)
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_deb_scripts.cmake)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME quorvelpbm)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "turn pictures into black and white
The quorvelpbm tool reads PNG, JPEG, TIFF, BMP and netpbm pictures, decides
every pixel black or white by a threshold, Otsu, dithering or a local
threshold, and writes PBM, 1-bit PNG, 1-bit TIFF (CCITT Group 4) or BMP,
replacing an output only with a complete file.

This package holds the tool and the two shared libraries it is built on:
libqpbm, a C API that reports a status for every call, and libQuorvelPBM,
the legacy BMP2PBM and PBM2BMP exports.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME quorvelpbm-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "quorvelpbm (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "turn pictures into black and white - development files
The headers qpbm.h and quorvelpbm.h, the link names of libqpbm and
libQuorvelPBM, a CMake package (find_package(QuorvelPBM)) and the
pkg-config files qpbm.pc and quorvelpbm.pc.")
endif()

include(CPack)

# The Python wheel (`--target wheel`, or the preset `wheel`): the package and
# this build's qpbm library copied into the build tree and built there,
# offline, with Debian's build, setuptools and wheel, into the build
# directory. The library must stand alone (the preset `wheel` links the codecs
# and the C++ runtime in): cmake/wheel_platform.py checks that, and finds the
# manylinux tag that python/setup.py gives the wheel. The codecs' licences go
# in beside the library.
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  set(QUORVELPBM_WHEEL_PYTHON /usr/bin/python3 CACHE FILEPATH
    "Python with the build, setuptools and wheel modules, which makes the wheel")
  set(stage ${PROJECT_BINARY_DIR}/wheel)
  set(bundled ${stage}/quorvelpbm/$<TARGET_SONAME_FILE_NAME:qpbm>)
  set(strip_bundled)
  if(CMAKE_STRIP AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(strip_bundled COMMAND ${CMAKE_STRIP} --strip-unneeded ${bundled})
  endif()
  set(licenses)
  if(QUORVELPBM_CODECS_PREFIX)
    set(licenses COMMAND ${CMAKE_COMMAND} -E copy_directory ${QUORVELPBM_CODECS_PREFIX}/licenses
      ${stage}/quorvelpbm/licenses)
  endif()
  add_custom_target(wheel
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/python/quorvelpbm ${stage}/quorvelpbm
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/python/pyproject.toml ${PROJECT_SOURCE_DIR}/python/setup.py
            ${PROJECT_SOURCE_DIR}/LICENSE ${stage}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:qpbm> ${bundled}
    ${strip_bundled}
    ${licenses}
    COMMAND ${QUORVELPBM_WHEEL_PYTHON} ${PROJECT_SOURCE_DIR}/cmake/wheel_platform.py ${CMAKE_OBJDUMP} ${bundled}
            ${CMAKE_SYSTEM_PROCESSOR} > ${stage}/platform.txt
    COMMAND ${QUORVELPBM_WHEEL_PYTHON} -m build --no-isolation --wheel --outdir ${PROJECT_BINARY_DIR} ${stage}
    DEPENDS qpbm
    VERBATIM)
endif()

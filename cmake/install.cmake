# What `cmake --install` puts in place: the library with its soname links, the
# public header, the qpbm library and its header, the tool (tools/), a CMake
# package giving QuorvelPBM::QuorvelPBM and QuorvelPBM::qpbm, and a pkg-config
# file for each library. Each rule names its component, which the packages
# follow (cmake/package.cmake): Runtime for what programs need, Development for
# what building against the libraries needs.
include(CMakePackageConfigHelpers)

set(QUORVELPBM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QuorvelPBM)

install(TARGETS QuorvelPBM qpbm EXPORT QuorvelPBMTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(EXPORT QuorvelPBMTargets NAMESPACE QuorvelPBM:: DESTINATION ${QUORVELPBM_CMAKE_DIR} COMPONENT Development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QuorvelPBMConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuorvelPBMConfig.cmake INSTALL_DESTINATION ${QUORVELPBM_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuorvelPBMConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuorvelPBMConfig.cmake ${PROJECT_BINARY_DIR}/QuorvelPBMConfigVersion.cmake
  DESTINATION ${QUORVELPBM_CMAKE_DIR} COMPONENT Development)

# The .pc file finds the prefix from its own place, so that an install with
# `cmake --install --prefix DIR` works wherever DIR is.
file(RELATIVE_PATH QUORVELPBM_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${CMAKE_CURRENT_LIST_DIR}/quorvelpbm.pc.in ${PROJECT_BINARY_DIR}/quorvelpbm.pc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/qpbm.pc.in ${PROJECT_BINARY_DIR}/qpbm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorvelpbm.pc ${PROJECT_BINARY_DIR}/qpbm.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

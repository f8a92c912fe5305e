# Run by CPack on its staging tree, after the install rules and before the
# packages are made: adds what a package needs beyond the install rules.
# - Debian: in each package /usr/share/doc/PACKAGE/copyright (the licence) and
#   changelog.gz, and the manual pages compressed, as Debian's policy asks.
# - Windows zip: the README and the licence beside the bin/ directory, and
#   the codecs' licences in licenses/.
set(source_dir ${CPACK_QUORVELPBM_SOURCE_DIR})

if(CPACK_GENERATOR STREQUAL "DEB")
  # The date of the entry: now, or SOURCE_DATE_EPOCH for a reproducible build.
  string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(root ${CPACK_TEMPORARY_DIRECTORY}/${component})
    if(NOT IS_DIRECTORY ${root})
      continue()
    endif()
    set(doc ${root}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${package})
    file(MAKE_DIRECTORY ${doc})
    configure_file(${source_dir}/LICENSE ${doc}/copyright COPYONLY)
    file(WRITE ${doc}/changelog
      "quorvelpbm (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
      "  * Release ${CPACK_PACKAGE_VERSION}, packaged from the CMake install rules.\n\n"
      " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")
    file(GLOB_RECURSE pages ${root}${CPACK_PACKAGING_INSTALL_PREFIX}/share/man/*.[1-9])
    foreach(file IN LISTS pages ITEMS ${doc}/changelog)
      # -n: no name or time stamp inside, so that the bytes depend on the content only.
      execute_process(COMMAND gzip -9nf ${file} COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endforeach()
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  file(COPY ${source_dir}/README.md ${source_dir}/LICENSE DESTINATION ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
  # The licences of the codecs linked into the tool and qpbm.dll.
  if(CPACK_QUORVELPBM_CODECS_PREFIX)
    file(COPY ${CPACK_QUORVELPBM_CODECS_PREFIX}/licenses DESTINATION ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
  endif()
endif()

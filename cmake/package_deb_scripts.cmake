# Run by CPack on each Debian package it made: takes out the maintainer
# scripts, which CPack adds to any package with a shared library only to run
# ldconfig. The runtime package's ldconfig trigger does that job (see
# cmake/package.cmake), and without scripts `dpkg -r` leaves no trace of the
# package (a postrm would keep it listed until purged).
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/unpacked)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(scripts)
  foreach(script postinst postrm)
    if(EXISTS ${tree}/DEBIAN/${script})
      file(READ ${tree}/DEBIAN/${script} text)
      if(NOT text MATCHES "ldconfig")
        message(FATAL_ERROR "${deb}: a ${script} that does more than run ldconfig")
      endif()
      list(APPEND scripts ${tree}/DEBIAN/${script})
    endif()
  endforeach()
  if(scripts)
    file(REMOVE ${scripts})
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()

# After the tests, why each skipped test was skipped (CTest says only
# "Skipped"), from the JUnit report the test presets write. Before the tests,
# a stamp: a report older than it is an earlier run's. (CTest's own log of
# the run is no clock: it is renamed into place only after the post-test
# command, so that it is missing on a build directory's first run.)
function(quorvelpbm_print_skip_reasons report)
  if(NOT EXISTS /usr/bin/python3)
    return()
  endif()
  set(stamp ${PROJECT_BINARY_DIR}/CMakeFiles/tests_started.stamp)
  set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/skip_reasons.py)
  file(WRITE ${PROJECT_BINARY_DIR}/CTestCustom.cmake
    "set(CTEST_CUSTOM_PRE_TEST \"\\\"${CMAKE_COMMAND}\\\" -E touch \\\"${stamp}\\\"\")\n"
    "set(CTEST_CUSTOM_POST_TEST \"/usr/bin/python3 \\\"${script}\\\" \\\"${report}\\\" \\\"${stamp}\\\"\")\n")
endfunction()

# Run after a GoogleTest binary is built: lists its suites and writes one ctest
# entry per suite (so ctest runs a process per suite, not per case).
#   -DTEST_BIN=<binary> -DOUT=<file to write> -DWORKDIR=<working directory>
#   -DTIMEOUT=<seconds per suite>
execute_process(COMMAND "${TEST_BIN}" --gtest_list_tests
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${TEST_BIN} --gtest_list_tests failed: ${rc}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(content "")
foreach(line IN LISTS lines)
  # Suite lines start in the first column: "Suite." or "Prefix/Suite.  # ...".
  # DISABLED_ suites only run when another test asks for them (as a child process).
  if(line MATCHES "^DISABLED_")
    continue()
  endif()
  if(line MATCHES "^([^ #][^ ]*)\\.")
    set(suite "${CMAKE_MATCH_1}")
    string(APPEND content
      "add_test([=[${suite}]=] [==[${TEST_BIN}]==] [=[--gtest_filter=${suite}.*]=])\n"
      "set_tests_properties([=[${suite}]=] PROPERTIES TIMEOUT ${TIMEOUT} WORKING_DIRECTORY [==[${WORKDIR}]==])\n")
  endif()
endforeach()
file(WRITE "${OUT}" "${content}")

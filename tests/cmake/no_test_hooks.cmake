# Run as: cmake -DNM=<nm> -DPROGRAM=<shipped program> -P no_test_hooks.cmake
# Fails (FATAL_ERROR) when the program's symbols include the tests' window
# read-back, or when they cannot be read at all (a check that sees no
# symbols would pass anything).
execute_process(COMMAND "${NM}" -C "${PROGRAM}" OUTPUT_VARIABLE symbols RESULT_VARIABLE result
  ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR NOT symbols MATCHES "solvane::RunInstall")
  message(FATAL_ERROR "cannot read the symbols of ${PROGRAM}: ${errors}")
endif()
string(REGEX MATCHALL "[^\n]*readback::[^\n]*" hooks "${symbols}")
if(hooks)
  string(REPLACE ";" "\n" hooks "${hooks}")
  message(FATAL_ERROR "${PROGRAM} holds test-only code:\n${hooks}")
endif()
message(STATUS "no test hooks in ${PROGRAM}")

# Run as: cmake -DNAMES=<names> -DPINS=<pins> -P publishers_test.cmake (each
# separated by ','). Succeeds when the publisher check accepts them; fails
# (FATAL_ERROR) when it refuses them.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/Publishers.cmake)
string(REPLACE "," ";" names "${NAMES}")
string(REPLACE "," ";" pins "${PINS}")
solvane_check_publishers("${names}" "${pins}" "publishers")
message(STATUS "accepted: ${NAMES} ${PINS}")

# Run as: cmake -DRELEASE=<keys> -DROOT=<keys> -DTHRESHOLD=<t> -P root_keys_test.cmake
# (keys separated by ','). Succeeds when the root key check accepts the
# combination; fails (FATAL_ERROR) when it refuses it.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/PublicKeys.cmake)
string(REPLACE "," ";" release "${RELEASE}")
string(REPLACE "," ";" root "${ROOT}")
solvane_check_root_keys("${release}" "${root}" "${THRESHOLD}" "root keys")
message(STATUS "accepted: ${THRESHOLD} of ${ROOT}")

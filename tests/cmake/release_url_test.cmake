# Run as: cmake -DURL=<url> [-DALLOW=ON] -P release_url_test.cmake
# Succeeds when the release URL check accepts URL; fails (FATAL_ERROR) when
# it refuses it. CTest registers each case with the expected outcome.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ReleaseUrl.cmake)
if(NOT DEFINED ALLOW)
  set(ALLOW OFF)
endif()
solvane_check_release_url("${URL}" "${ALLOW}")
message(STATUS "accepted: ${URL}")

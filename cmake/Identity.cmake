# The product identity is fixed at build time: a vendor configures the release
# server and the platform key here; the program has no run-time settings.

set(SOLVANE_RELEASE_BASE_URL "https://releases.solvane.invalid/solvane/" CACHE STRING
    "Base URL of the release server (manifest.json is fetched below it); must end in '/'")

option(SOLVANE_ALLOW_PLAIN_HTTP
  "Allow an http:// release base URL to a host that is not loopback" OFF)

include(${CMAKE_CURRENT_LIST_DIR}/ReleaseUrl.cmake)
solvane_check_release_url("${SOLVANE_RELEASE_BASE_URL}" "${SOLVANE_ALLOW_PLAIN_HTTP}")

if(WIN32)
  set(_solvane_default_key "windows-x64")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(_solvane_default_key "linux-arm64")
else()
  set(_solvane_default_key "linux-x64")
endif()
set(SOLVANE_PLATFORM_KEY "${_solvane_default_key}" CACHE STRING
    "Key under which the manifest lists this build's releases")

# Loopback identity of the test build of the program: end-to-end tests serve
# releases on this address.
set(SOLVANE_TEST_PORT 18765 CACHE STRING "Loopback port of the test build's release server")
set(SOLVANE_TEST_BASE_URL "http://127.0.0.1:${SOLVANE_TEST_PORT}/solvane/")

# solvane_add_program(<target> <base url> <platform key>): the entry point
# linked with the core library, for one release identity.
function(solvane_add_program target base_url platform_key)
  solvane_check_release_url("${base_url}" "${SOLVANE_ALLOW_PLAIN_HTTP}")
  add_executable(${target} ${PROJECT_SOURCE_DIR}/app/main.cpp)
  target_compile_definitions(${target} PRIVATE
    SOLVANE_RELEASE_BASE_URL="${base_url}"
    SOLVANE_PLATFORM_KEY="${platform_key}")
  target_link_libraries(${target} PRIVATE solvane_core)
  if(WIN32)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/res/solvane.rc)
  endif()
endfunction()

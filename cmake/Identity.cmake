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

# Release signing: minisign public keys (the base64 line of a .pub file,
# "RW..."), separated by ';'. Empty: manifests are not signed and the program
# takes them as they come. Set: every manifest must carry a valid signature
# by one of these keys. Two keys let a vendor rotate from one to the next.
set(SOLVANE_RELEASE_PUBLIC_KEYS "" CACHE STRING
    "minisign public keys that sign manifest.json, separated by ';' (empty: unsigned releases)")

# solvane_check_public_keys(<keys> <what>): decodes each key and fails the
# configuration unless it is a minisign Ed25519 public key; prints the key ids.
function(solvane_check_public_keys keys what)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  set(hex_digits "0123456789ABCDEF")
  set(seen "")
  foreach(key IN LISTS keys)
    if(key STREQUAL "")
      continue()
    endif()
    string(LENGTH "${key}" length)
    if(NOT length EQUAL 56 OR NOT key MATCHES "^[A-Za-z0-9+/]+$")
      message(FATAL_ERROR "${what}: not a minisign public key (56 base64 characters): '${key}'")
    endif()
    # Base64 to bytes, as two hexadecimal digits each.
    set(bytes "")
    set(bits 0)
    set(count 0)
    foreach(i RANGE 0 55)
      string(SUBSTRING "${key}" ${i} 1 c)
      string(FIND "${alphabet}" "${c}" value)
      math(EXPR bits "((${bits} << 6) | ${value}) & 0xFFFFFF")
      math(EXPR count "${count} + 6")
      if(count GREATER_EQUAL 8)
        math(EXPR count "${count} - 8")
        math(EXPR byte "(${bits} >> ${count}) & 0xFF")
        math(EXPR hi "${byte} >> 4")
        math(EXPR lo "${byte} & 15")
        string(SUBSTRING "${hex_digits}" ${hi} 1 h)
        string(SUBSTRING "${hex_digits}" ${lo} 1 l)
        list(APPEND bytes "${h}${l}")
      endif()
    endforeach()
    list(LENGTH bytes n)
    list(GET bytes 0 b0)
    list(GET bytes 1 b1)
    if(NOT n EQUAL 42 OR NOT b0 STREQUAL "45" OR NOT b1 STREQUAL "64")
      message(FATAL_ERROR "${what}: not an Ed25519 minisign public key: '${key}'")
    endif()
    # The key id as minisign prints it: bytes 2 to 9, little-endian.
    set(id "")
    foreach(i RANGE 9 2 -1)
      list(GET bytes ${i} b)
      string(APPEND id "${b}")
    endforeach()
    if(id IN_LIST seen)
      message(FATAL_ERROR "${what}: key id ${id} appears twice")
    endif()
    list(APPEND seen "${id}")
    message(STATUS "${what}: release key ${id}")
  endforeach()
endfunction()
solvane_check_public_keys("${SOLVANE_RELEASE_PUBLIC_KEYS}" "SOLVANE_RELEASE_PUBLIC_KEYS")

# Loopback identity of the test build of the program: end-to-end tests serve
# releases on this address.
set(SOLVANE_TEST_PORT 18765 CACHE STRING "Loopback port of the test build's release server")
set(SOLVANE_TEST_BASE_URL "http://127.0.0.1:${SOLVANE_TEST_PORT}/solvane/")

# solvane_add_program(<target> <base url> <platform key> [<public keys>]):
# the entry point linked with the core library, for one release identity.
# Without public keys the build takes unsigned manifests. The check's spread
# wait is SOLVANE_CHECK_SPREAD_SECONDS as the caller's scope sees it.
function(solvane_add_program target base_url platform_key)
  solvane_check_release_url("${base_url}" "${SOLVANE_ALLOW_PLAIN_HTTP}")
  set(keys "${ARGN}")
  solvane_check_public_keys("${keys}" "${target}")
  # The keys' ';' separators would split a compile definition, so they reach
  # the entry point through a header of the target's own.
  set(identity_dir "${CMAKE_BINARY_DIR}/identity/${target}")
  file(CONFIGURE OUTPUT "${identity_dir}/release_keys.h"
    CONTENT "#define SOLVANE_RELEASE_PUBLIC_KEYS \"@keys@\"\n" @ONLY)
  add_executable(${target} ${PROJECT_SOURCE_DIR}/app/main.cpp)
  target_include_directories(${target} PRIVATE "${identity_dir}")
  target_compile_definitions(${target} PRIVATE
    SOLVANE_RELEASE_BASE_URL="${base_url}"
    SOLVANE_PLATFORM_KEY="${platform_key}"
    SOLVANE_CHECK_SPREAD_SECONDS=${SOLVANE_CHECK_SPREAD_SECONDS})
  target_link_libraries(${target} PRIVATE solvane_core)
  if(WIN32)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/res/solvane.rc)
  endif()
endfunction()

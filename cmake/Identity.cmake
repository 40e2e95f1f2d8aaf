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

# Key rotation: minisign public keys of offline root keys, separated by ';',
# and how many of them must sign a key set (keys/<N>.json on the release
# server) that replaces the release keys. Empty: the release keys above are
# never replaced. Root keys need release keys and a threshold from 1 to their
# number.
set(SOLVANE_ROOT_PUBLIC_KEYS "" CACHE STRING
    "minisign public keys that sign key sets, separated by ';' (empty: no key rotation)")
set(SOLVANE_ROOT_THRESHOLD "" CACHE STRING
    "how many root keys must sign a key set (1 to their number; empty without root keys)")

include(${CMAKE_CURRENT_LIST_DIR}/PublicKeys.cmake)
solvane_check_public_keys("${SOLVANE_RELEASE_PUBLIC_KEYS}" "SOLVANE_RELEASE_PUBLIC_KEYS")
solvane_check_root_keys("${SOLVANE_RELEASE_PUBLIC_KEYS}" "${SOLVANE_ROOT_PUBLIC_KEYS}"
  "${SOLVANE_ROOT_THRESHOLD}" "SOLVANE_ROOT_PUBLIC_KEYS")

# The installer's own signature (Windows): the exact common names of the
# code-signing certificates whose Authenticode signature an installer must
# carry before it is staged or started, separated by ';' (a renewal under a
# new legal spelling is a second name), and optionally the SHA-256 of their
# public keys (DER SubjectPublicKeyInfo, 64 hex digits). Empty: no check.
set(SOLVANE_PUBLISHER_NAMES "" CACHE STRING
    "exact signer names an installer must be signed by, separated by ';' (empty: no check)")
set(SOLVANE_PUBLISHER_PINS "" CACHE STRING
    "SHA-256 of the signers' public keys (SubjectPublicKeyInfo), separated by ';' (empty: any)")

include(${CMAKE_CURRENT_LIST_DIR}/Publishers.cmake)
solvane_check_publishers("${SOLVANE_PUBLISHER_NAMES}" "${SOLVANE_PUBLISHER_PINS}"
  "SOLVANE_PUBLISHER_NAMES")

# Loopback identity of the test build of the program: end-to-end tests serve
# releases on this address.
set(SOLVANE_TEST_PORT 18765 CACHE STRING "Loopback port of the test build's release server")
set(SOLVANE_TEST_BASE_URL "http://127.0.0.1:${SOLVANE_TEST_PORT}/solvane/")

# solvane_add_program(<target> <base url> <platform key> [<public keys>]
#                     [ROOT_KEYS <root keys> ROOT_THRESHOLD <t>]
#                     [PUBLISHER_NAMES <names>] [PUBLISHER_PINS <pins>]
#                     [POLICY_FILE <path>] [LINK_METERED]):
# the entry point linked with the core library, for one release identity.
# POLICY_FILE is for test builds only: the Linux program reads its policies
# from there instead of the administrator's file; LINK_METERED is a test
# build whose link is always metered, whatever the system says.
# Without public keys the build takes unsigned manifests; without root keys
# it never replaces them; without publisher names it starts installers
# whoever signed them. The check's spread wait is
# SOLVANE_CHECK_SPREAD_SECONDS as the caller's scope sees it.
function(solvane_add_program target base_url platform_key)
  cmake_parse_arguments(PARSE_ARGV 3 arg "LINK_METERED" "ROOT_THRESHOLD;POLICY_FILE"
                        "ROOT_KEYS;PUBLISHER_NAMES;PUBLISHER_PINS")
  solvane_check_release_url("${base_url}" "${SOLVANE_ALLOW_PLAIN_HTTP}")
  set(keys "${arg_UNPARSED_ARGUMENTS}")
  set(root_keys "${arg_ROOT_KEYS}")
  set(threshold "${arg_ROOT_THRESHOLD}")
  solvane_check_public_keys("${keys}" "${target}")
  solvane_check_root_keys("${keys}" "${root_keys}" "${threshold}" "${target}")
  if(threshold STREQUAL "")
    set(threshold 0)
  endif()
  set(publisher_names "${arg_PUBLISHER_NAMES}")
  set(publisher_pins "${arg_PUBLISHER_PINS}")
  solvane_check_publishers("${publisher_names}" "${publisher_pins}" "${target}")
  string(TOLOWER "${publisher_pins}" publisher_pins)
  # As C string literals: a name may hold quotes or backslashes.
  string(REPLACE "\\" "\\\\" publisher_names "${publisher_names}")
  string(REPLACE "\"" "\\\"" publisher_names "${publisher_names}")
  # The keys' ';' separators would split a compile definition, so they reach
  # the entry point through a header of the target's own.
  set(identity_dir "${CMAKE_BINARY_DIR}/identity/${target}")
  file(CONFIGURE OUTPUT "${identity_dir}/release_keys.h"
    CONTENT "#define SOLVANE_RELEASE_PUBLIC_KEYS \"@keys@\"
#define SOLVANE_ROOT_PUBLIC_KEYS \"@root_keys@\"
#define SOLVANE_ROOT_THRESHOLD @threshold@
#define SOLVANE_PUBLISHER_NAMES \"@publisher_names@\"
#define SOLVANE_PUBLISHER_PINS \"@publisher_pins@\"\n" @ONLY)
  add_executable(${target} ${PROJECT_SOURCE_DIR}/app/main.cpp)
  target_include_directories(${target} PRIVATE "${identity_dir}")
  target_compile_definitions(${target} PRIVATE
    SOLVANE_RELEASE_BASE_URL="${base_url}"
    SOLVANE_PLATFORM_KEY="${platform_key}"
    SOLVANE_CHECK_SPREAD_SECONDS=${SOLVANE_CHECK_SPREAD_SECONDS})
  if(arg_POLICY_FILE)
    target_compile_definitions(${target} PRIVATE SOLVANE_POLICY_FILE="${arg_POLICY_FILE}")
  endif()
  if(arg_LINK_METERED)
    target_compile_definitions(${target} PRIVATE SOLVANE_TEST_LINK_METERED)
  endif()
  target_link_libraries(${target} PRIVATE solvane_core)
  if(WIN32)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/res/solvane.rc)
  endif()
endfunction()

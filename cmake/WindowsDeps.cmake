# Libraries of the Windows build. Debian has no MinGW libcurl, so
# scripts/build-curl-mingw.sh builds a static one (Schannel TLS) into a
# per-version prefix that the toolchain file puts on CMAKE_FIND_ROOT_PATH.

find_path(SOLVANE_CURL_INCLUDE_DIR curl/curl.h)
find_library(SOLVANE_CURL_LIBRARY NAMES libcurl.a curl)
if(NOT SOLVANE_CURL_INCLUDE_DIR OR NOT SOLVANE_CURL_LIBRARY)
  message(FATAL_ERROR
    "No static MinGW libcurl found. Run scripts/build-mingw-deps.sh (or "
    "scripts/build-windows.sh) first; it caches one below /var/cache/solvane-mingw.")
endif()
message(STATUS "MinGW libcurl: ${SOLVANE_CURL_LIBRARY}")

add_library(solvane_curl INTERFACE IMPORTED)
set_target_properties(solvane_curl PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${SOLVANE_CURL_INCLUDE_DIR}"
  INTERFACE_COMPILE_DEFINITIONS "CURL_STATICLIB"
  INTERFACE_LINK_LIBRARIES "${SOLVANE_CURL_LIBRARY};ws2_32;crypt32;bcrypt;secur32;advapi32;winmm")

# libsodium likewise: scripts/build-sodium-mingw.sh builds a static, minimal
# one (Ed25519 signatures, BLAKE2b, base64; no scrypt) from Debian's source.
find_path(SOLVANE_SODIUM_INCLUDE_DIR sodium.h)
find_library(SOLVANE_SODIUM_LIBRARY NAMES libsodium.a sodium)
if(NOT SOLVANE_SODIUM_INCLUDE_DIR OR NOT SOLVANE_SODIUM_LIBRARY)
  message(FATAL_ERROR
    "No static MinGW libsodium found. Run scripts/build-mingw-deps.sh (or "
    "scripts/build-windows.sh) first; it caches one below /var/cache/solvane-mingw.")
endif()
message(STATUS "MinGW libsodium: ${SOLVANE_SODIUM_LIBRARY}")

add_library(solvane_sodium INTERFACE IMPORTED)
set_target_properties(solvane_sodium PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${SOLVANE_SODIUM_INCLUDE_DIR}"
  INTERFACE_COMPILE_DEFINITIONS "SODIUM_STATIC"
  INTERFACE_LINK_LIBRARIES "${SOLVANE_SODIUM_LIBRARY};advapi32")

# The Windows headers the platform files need: Vista or later for the
# no-buffer hash objects of bcrypt, and the 8-bit entry points by default.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)

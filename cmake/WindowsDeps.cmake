# Libraries of the Windows build. Debian has no MinGW libcurl, so
# scripts/build-curl-mingw.sh builds a static one (Schannel TLS) into a
# per-version prefix that the toolchain file puts on CMAKE_FIND_ROOT_PATH.

# solvane_mingw_library(<target> <name> <header> <library> <definition> <links>):
# an imported target for a static MinGW library from the cache, or a configure
# error that says how to build it.
function(solvane_mingw_library target name header library definition links)
  find_path(SOLVANE_${name}_INCLUDE_DIR ${header})
  find_library(SOLVANE_${name}_LIBRARY NAMES lib${library}.a ${library})
  if(NOT SOLVANE_${name}_INCLUDE_DIR OR NOT SOLVANE_${name}_LIBRARY)
    message(FATAL_ERROR
      "No static MinGW lib${library} found. Run scripts/build-mingw-deps.sh (or "
      "scripts/build-windows.sh) first; it caches one below /var/cache/solvane-mingw.")
  endif()
  message(STATUS "MinGW lib${library}: ${SOLVANE_${name}_LIBRARY}")
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${SOLVANE_${name}_INCLUDE_DIR}"
    INTERFACE_COMPILE_DEFINITIONS "${definition}"
    INTERFACE_LINK_LIBRARIES "${SOLVANE_${name}_LIBRARY};${links}")
endfunction()

# The manifest may come gzip-encoded, so libcurl must decode it: only a
# library from a curl-zlib-* prefix (built against MinGW's zlib) will do.
solvane_mingw_library(solvane_curl CURL curl/curl.h curl CURL_STATICLIB
  "ws2_32;crypt32;bcrypt;secur32;advapi32;winmm")
if(NOT SOLVANE_CURL_LIBRARY MATCHES "/curl-zlib-[^/]+/")
  message(FATAL_ERROR "${SOLVANE_CURL_LIBRARY} is a MinGW libcurl without zlib. Run "
    "scripts/install-windows-deps.sh and scripts/build-mingw-deps.sh to build one with it.")
endif()
find_library(SOLVANE_ZLIB_LIBRARY NAMES libz.a REQUIRED)
set_property(TARGET solvane_curl APPEND PROPERTY INTERFACE_LINK_LIBRARIES "${SOLVANE_ZLIB_LIBRARY}")

# libsodium likewise: scripts/build-sodium-mingw.sh builds a static, minimal
# one (Ed25519 signatures, BLAKE2b, base64; no scrypt) from Debian's source.
solvane_mingw_library(solvane_sodium SODIUM sodium.h sodium SODIUM_STATIC advapi32)

# libzstd for applying delta patches: scripts/build-zstd-mingw.sh builds the
# decompressor alone, statically, from Debian's source.
solvane_mingw_library(solvane_zstd ZSTD zstd.h zstd "" "")


# The Windows headers the platform files need: Vista or later for the
# no-buffer hash objects of bcrypt, and the 8-bit entry points by default.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)

#!/usr/bin/env bash
# Builds a static libcurl for 64-bit Windows with MinGW-w64 from Debian's own
# curl source package, and caches it outside the clone:
#
#   $SOLVANE_MINGW_CACHE/curl-zlib-<version>/{include,lib}   (default /var/cache/solvane-mingw)
#
# Debian ships no MinGW libcurl. The source package is fetched by
# scripts/fetch-debian-source.sh, which leaves the machine's apt
# configuration alone. The version is the one the machine's
# apt would install for libcurl4, so the cache key follows Debian's updates.
# An existing complete build of that version is reused; pass --force to rebuild.
#
# The library: HTTP(S) only, TLS through Windows' Schannel, gzip and deflate
# decoding through Debian's MinGW zlib (libz-mingw-w64-dev, linked statically;
# the prefix's name says so, so a cache built without it is never reused), no
# other compression, IDN, PSL or HTTP/2 libraries, and no CA bundle path baked in (Schannel uses
# the Windows certificate store). Schannel brings SSPI (CURL_WINDOWS_SSPI is
# on by default), and with it NTLM and Negotiate sign-in to proxies as the
# logged-on user; the Windows tests check those features of the built library.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

solvane_mingw_library_start curl-zlib libcurl4 curl "${1:-}"
solvane_build "$mingw_work/source/tree" "$mingw_work/build" \
  -DCMAKE_TOOLCHAIN_FILE="$solvane_root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$mingw_work/install" \
  -DBUILD_SHARED_LIBS=OFF \
  -DBUILD_STATIC_LIBS=ON \
  -DBUILD_CURL_EXE=OFF \
  -DBUILD_TESTING=OFF \
  -DENABLE_MANUAL=OFF \
  -DHTTP_ONLY=ON \
  -DCURL_USE_SCHANNEL=ON \
  -DCURL_USE_OPENSSL=OFF \
  -DCURL_USE_MBEDTLS=OFF \
  -DCURL_USE_WOLFSSL=OFF \
  -DCURL_USE_GNUTLS=OFF \
  -DCURL_USE_BEARSSL=OFF \
  -DCURL_ZLIB=ON \
  -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include \
  -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a \
  -DCURL_BROTLI=OFF \
  -DCURL_ZSTD=OFF \
  -DUSE_NGHTTP2=OFF \
  -DUSE_NGTCP2=OFF \
  -DUSE_QUICHE=OFF \
  -DUSE_LIBIDN2=OFF \
  -DUSE_WIN32_IDN=OFF \
  -DCURL_USE_LIBPSL=OFF \
  -DCURL_USE_LIBSSH2=OFF \
  -DCURL_USE_LIBSSH=OFF \
  -DCURL_USE_GSSAPI=OFF \
  -DUSE_LIBRTMP=OFF \
  -DCURL_CA_BUNDLE=none \
  -DCURL_CA_PATH=none \
  -DCURL_CA_FALLBACK=OFF
cmake --install "$mingw_work/build" >/dev/null
solvane_mingw_library_finish

#!/usr/bin/env bash
# Makes every library the Windows cross build needs, in per-version prefixes
# below $SOLVANE_MINGW_CACHE (default /var/cache/solvane-mingw) that the
# toolchain file cmake/mingw-w64.cmake searches:
#
#   curl-zlib-<version>    static libcurl with Schannel and zlib (scripts/build-curl-mingw.sh)
#   sodium-<version>       static minimal libsodium (scripts/build-sodium-mingw.sh)
#   zstd-<version>         static libzstd, decompressor only (scripts/build-zstd-mingw.sh)
#   googletest-<version>   static GoogleTest built from /usr/src/googletest
#   headers-<versions>     nlohmann-json (copied from Debian's package, so that
#                          /usr/include never reaches the cross compiler) and
#                          header-only cpp-httplib (from Debian's source package)
#
# Each prefix is complete when it holds a .complete file; complete prefixes
# are reused, missing ones are made. Needs scripts/install-windows-deps.sh.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

cache=${SOLVANE_MINGW_CACHE:-/var/cache/solvane-mingw}
mkdir -p "$cache"

pkg_version() {
  local v
  v=$(dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true)
  v=${v:-unknown}
  echo "${v//[:~+]/_}"
}

bash "$solvane_root/scripts/build-curl-mingw.sh"
bash "$solvane_root/scripts/build-sodium-mingw.sh"
bash "$solvane_root/scripts/build-zstd-mingw.sh"

# Header-only libraries, with nlohmann-json's CMake package files beside them
# (they locate the headers relative to themselves). Debian's cpp-httplib
# header is the declarations half of a compiled library for Linux; the
# header-only original comes from its source package.
headers=$cache/headers-json$(pkg_version nlohmann-json3-dev)-httplib$(pkg_version libcpp-httplib-dev)
if [[ ! -f $headers/.complete ]]; then
  echo "build-mingw-deps: staging headers into $headers"
  work=$(mktemp -d "$cache/.headers.XXXXXX")
  solvane_at_exit "rm -rf '$work'"
  mkdir -p "$work/stage/include" "$work/stage/share/cmake"
  cp -a /usr/include/nlohmann "$work/stage/include/"
  cp -a /usr/share/cmake/nlohmann_json "$work/stage/share/cmake/"
  httplib_version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev 2>/dev/null || true)
  bash "$solvane_root/scripts/fetch-debian-source.sh" cpp-httplib "$httplib_version" "$work/httplib"
  cp "$work/httplib/tree/httplib.h" "$work/stage/include/httplib.h"
  rm -rf "$headers"
  mv "$work/stage" "$headers"
  touch "$headers/.complete"
fi

gtest=$cache/googletest-$(pkg_version googletest)
if [[ ! -f $gtest/.complete ]]; then
  echo "build-mingw-deps: building GoogleTest into $gtest"
  work=$(mktemp -d "$cache/.gtest-build.XXXXXX")
  solvane_at_exit "rm -rf '$work'"
  solvane_build /usr/src/googletest "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$solvane_root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$work/install" \
    -DBUILD_SHARED_LIBS=OFF \
    -Dgtest_disable_pthreads=OFF
  cmake --install "$work/build" >/dev/null
  rm -rf "$gtest"
  mv "$work/install" "$gtest"
  touch "$gtest/.complete"
fi
echo "build-mingw-deps: ready in $cache"

#!/usr/bin/env bash
# Builds a static libzstd for 64-bit Windows with MinGW-w64 from Debian's own
# libzstd source package, and caches it outside the clone:
#
#   $SOLVANE_MINGW_CACHE/zstd-<version>/{include,lib}   (default /var/cache/solvane-mingw)
#
# Debian ships no MinGW libzstd. The version is the one the machine's apt
# would install for libzstd1, so the cache key follows Debian's updates.
# An existing complete build of that version is reused; pass --force to rebuild.
#
# The program only applies patches, never makes them, so the library's own
# Makefile builds the decompressor alone (no compressor, dictionary builder or
# deprecated API, single-threaded): that keeps the exe small. The Makefile is
# used rather than its CMake build because it takes these switches directly.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

solvane_mingw_library_start zstd libzstd1 libzstd "${1:-}"
cd "$mingw_work/source/tree/lib"
solvane_quietly "$mingw_work/build.log" make -j "$SOLVANE_JOBS" libzstd.a \
  CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-gcc-ar-posix \
  ZSTD_LIB_COMPRESSION=0 ZSTD_LIB_DICTBUILDER=0 ZSTD_LIB_DEPRECATED=0 \
  ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_ASM=1
mkdir -p "$mingw_work/install/include" "$mingw_work/install/lib"
cp zstd.h zstd_errors.h "$mingw_work/install/include/"
cp libzstd.a "$mingw_work/install/lib/"
cd "$solvane_root"
solvane_mingw_library_finish

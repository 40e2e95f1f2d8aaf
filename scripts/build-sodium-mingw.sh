#!/usr/bin/env bash
# Builds a static libsodium for 64-bit Windows with MinGW-w64 from Debian's own
# libsodium source package, and caches it outside the clone:
#
#   $SOLVANE_MINGW_CACHE/sodium-<version>/{include,lib}   (default /var/cache/solvane-mingw)
#
# Debian ships no MinGW libsodium. The version is the one the machine's apt
# would install for libsodium23, so the cache key follows Debian's updates.
# An existing complete build of that version is reused; pass --force to rebuild.
#
# Debian's tree carries no generated configure script, so autoreconf (autoconf,
# automake, libtool) makes one. --enable-minimal keeps what the program needs
# (Ed25519 signatures, BLAKE2b, base64) and leaves out scrypt among others.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

solvane_mingw_library_start sodium libsodium23 libsodium "${1:-}"
cd "$mingw_work/source/tree"
solvane_quietly "$mingw_work/autoreconf.log" autoreconf -fi
solvane_quietly "$mingw_work/configure.log" ./configure --host=x86_64-w64-mingw32 \
  --prefix="$mingw_work/install" --disable-shared --enable-static --enable-minimal \
  --disable-dependency-tracking CC=x86_64-w64-mingw32-gcc-posix
solvane_quietly "$mingw_work/build.log" make -j "$SOLVANE_JOBS"
solvane_quietly "$mingw_work/install.log" make install
cd "$solvane_root"
solvane_mingw_library_finish

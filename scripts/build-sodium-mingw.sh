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

cache=${SOLVANE_MINGW_CACHE:-/var/cache/solvane-mingw}
force=0
[[ ${1:-} == --force ]] && force=1

version=$(apt-cache policy libsodium23 2>/dev/null | awk '/Candidate:/ {print $2; exit}')
if [[ -z $version || $version == "(none)" ]]; then
  version=$(dpkg-query -W -f='${Version}' libsodium23 2>/dev/null || true)
fi
prefix_name=sodium-${version:-unknown}
prefix_name=${prefix_name//[:~+]/_}
prefix=$cache/$prefix_name

if ((!force)) && [[ -f $prefix/.complete ]]; then
  echo "build-sodium-mingw: using cached $prefix"
  exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/.sodium-build.XXXXXX")
solvane_at_exit "rm -rf '$work'"

echo "build-sodium-mingw: fetching Debian's libsodium source ${version:-(newest)}"
bash "$solvane_root/scripts/fetch-debian-source.sh" libsodium "$version" "$work/sodium"

echo "build-sodium-mingw: configuring and building into $prefix"
cd "$work/sodium/tree"
solvane_quietly "$work/autoreconf.log" autoreconf -fi
solvane_quietly "$work/configure.log" ./configure --host=x86_64-w64-mingw32 \
  --prefix="$work/install" --disable-shared --enable-static --enable-minimal \
  --disable-dependency-tracking CC=x86_64-w64-mingw32-gcc-posix
solvane_quietly "$work/build.log" make -j "$SOLVANE_JOBS"
solvane_quietly "$work/install.log" make install
cd "$solvane_root"

rm -rf "$prefix"
mv "$work/install" "$prefix"
echo "$version" >"$prefix/.complete"
echo "build-sodium-mingw: done, $prefix"

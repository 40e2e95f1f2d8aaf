#!/usr/bin/env bash
# Installs the Debian packages that cross-building SolvaneSetup.exe with
# MinGW-w64 and testing it under Wine need. Safe to run again: packages that
# are already installed are skipped.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64
  imagemagick
  dpkg-dev
  cmake make
  # Sources of the cross build's libraries: GoogleTest is built from
  # /usr/src/googletest, the header-only libraries are copied, and
  # cpp-httplib's version picks its source package.
  googletest nlohmann-json3-dev libcpp-httplib-dev
  # libsodium's Debian source tree needs its configure script generated.
  autoconf automake libtool
  # The tests: a virtual screen, the cycle's driver and its TLS certificate.
  xvfb python3 openssl
  # Signs the manifests that the signed test build checks.
  minisign
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi

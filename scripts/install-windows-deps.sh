#!/usr/bin/env bash
# Installs the Debian packages that cross-building SolvaneSetup.exe with
# MinGW-w64 and testing it under Wine need. Safe to run again: only missing
# packages are installed.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

# The sources of the cross build's libraries: GoogleTest is built from
# /usr/src/googletest, the header-only libraries are copied, and
# cpp-httplib's version picks its source package; libsodium's source tree
# needs its configure script generated; libcurl decodes compressed manifests
# with MinGW's zlib. The tests need a virtual screen, the
# cycle's driver, its TLS certificate, minisign for the signed manifests and
# osslsigncode for the signed installers.
solvane_install_packages \
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libz-mingw-w64-dev \
  wine wine64 \
  imagemagick \
  dpkg-dev \
  cmake make \
  googletest nlohmann-json3-dev libcpp-httplib-dev \
  autoconf automake libtool \
  xvfb python3 openssl minisign osslsigncode

#!/usr/bin/env bash
# Installs the Debian packages that building and testing SolvaneSetup needs.
# Safe to run again: only missing packages are installed.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

solvane_install_packages \
  cmake g++ make pkg-config \
  libcurl4-openssl-dev nlohmann-json3-dev libssl-dev libsodium-dev libzstd-dev zstd \
  googletest libgtest-dev \
  libcpp-httplib-dev \
  libgtk-3-dev xvfb xauth libx11-dev libxtst-dev \
  clang libclang-rt-dev clang-format \
  curl openssl ca-certificates python3 file git \
  minisign

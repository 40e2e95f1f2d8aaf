#!/usr/bin/env bash
# Installs the Debian packages that building and testing SolvaneSetup needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libcurl4-openssl-dev nlohmann-json3-dev libssl-dev libsodium-dev
  googletest libgtest-dev libbenchmark-dev
  libcpp-httplib-dev
  libgtk-3-dev xvfb xauth libx11-dev libxtst-dev
  clang libclang-rt-dev
  curl openssl ca-certificates python3 file
  # Interoperability tests of release signing and the demo's key pair.
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

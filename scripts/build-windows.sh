#!/usr/bin/env bash
# Cross-builds SolvaneSetup.exe and its tests for 64-bit Windows.
#
#   scripts/build-windows.sh [--windows-only] [build folder]   (default build-win)
#
# --windows-only builds the shipped program, the loopback test build and the
# Windows-only tests (ctest label "windows"), not the shared test suites.
# Makes the MinGW libraries first when they are not cached yet
# (scripts/build-mingw-deps.sh); needs the packages of
# scripts/install-windows-deps.sh.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
windows_only=0
if [[ ${1:-} == --windows-only ]]; then
  windows_only=1
  shift
fi
build=${1:-$here/build-win}
jobs=${SOLVANE_JOBS:-2}

bash "$here/scripts/build-mingw-deps.sh"

cmake -S "$here" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DSOLVANE_BUILD_TOOLS=OFF \
  -DSOLVANE_BUILD_BENCH=OFF
# The shipped program and the Windows tests first, then everything else.
cmake --build "$build" -j "$jobs" --target SolvaneSetup solvane-setup-loopback solvane-setup-loopback-signed
if [[ -f $here/tests/windows/CMakeLists.txt ]]; then
  cmake --build "$build" -j "$jobs" --target solvane_windows_tests marker_installer dismiss_error
fi
if ((!windows_only)); then
  cmake --build "$build" -j "$jobs"
fi

exe=$build/SolvaneSetup.exe
echo "build-windows: $exe, $(stat -c %s "$exe") bytes"

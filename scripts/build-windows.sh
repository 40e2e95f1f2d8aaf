#!/usr/bin/env bash
# Cross-builds SolvaneSetup.exe and its tests for 64-bit Windows. Makes the
# MinGW libraries first when they are not cached yet
# (scripts/build-mingw-deps.sh); needs the packages of
# scripts/install-windows-deps.sh.
#
# Environment:
#   SOLVANE_WINDOWS_BUILD  build folder (default build-win)
#   SOLVANE_WINDOWS_ONLY=1 builds the shipped program, the loopback test build
#                          and the Windows-only tests (ctest label "windows"),
#                          not the shared test suites
#   SOLVANE_TEST_PORT, SOLVANE_JOBS as in scripts/lib.sh
set -euo pipefail
source "$(dirname "$0")/lib.sh"

build=${SOLVANE_WINDOWS_BUILD:-$solvane_root/build-win}

bash "$solvane_root/scripts/build-mingw-deps.sh"

# The shipped program and the Windows tests first, then everything else.
solvane_build_project "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$solvane_root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DSOLVANE_BUILD_TOOLS=OFF \
  -DSOLVANE_BUILD_BENCH=OFF \
  -- SolvaneSetup solvane-setup-loopback solvane-setup-loopback-signed solvane_windows_tests marker_installer dismiss_error \
  solvane-setup-loopback-publisher solvane-setup-loopback-pinned hold_file \
  close_window
if [[ ${SOLVANE_WINDOWS_ONLY:-0} != 1 ]]; then
  solvane_quietly "$build/build.log" cmake --build "$build" -j "$SOLVANE_JOBS"
fi

exe=$build/SolvaneSetup.exe
echo "build-windows: $exe, $(stat -c %s "$exe") bytes"

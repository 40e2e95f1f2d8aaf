#!/usr/bin/env bash
# The whole test suite, from a fresh Debian machine: installs what the build
# needs, checks the sources (scripts/check-source.sh), then builds and tests
# the program normally and under AddressSanitizer and
# UndefinedBehaviorSanitizer, fuzzes the parsers for a bounded time, and
# builds the Windows program and tests it under Wine.
#
# Environment: SOLVANE_FUZZ_SECONDS (default 60 per target, 0 skips fuzzing),
# SOLVANE_SKIP_WINDOWS=1 skips the Windows build; SOLVANE_JOBS and
# SOLVANE_TEST_PORT as in scripts/lib.sh.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

bash "$solvane_root/scripts/install-deps.sh"
bash "$solvane_root/scripts/check-source.sh"

run_suite() {
  local build=$solvane_root/build-test/$1
  shift
  echo "== $build: build and test"
  solvane_build_project "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  (cd "$build" && ctest --output-on-failure -j "$SOLVANE_JOBS")
}

run_suite main
LSAN_OPTIONS=suppressions=$solvane_root/tests/lsan.supp ASAN_OPTIONS=detect_leaks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_suite sanitize -DSOLVANE_SANITIZE=ON

if [[ ${SOLVANE_FUZZ_SECONDS:-60} != 0 ]]; then
  echo "== fuzz"
  bash "$solvane_root/scripts/run-fuzz.sh"
fi

if [[ ${SOLVANE_SKIP_WINDOWS:-0} != 1 ]]; then
  echo "== Windows build under Wine"
  bash "$solvane_root/scripts/test-windows.sh"
fi

echo "== all tests passed"

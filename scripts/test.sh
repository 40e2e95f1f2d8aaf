#!/usr/bin/env bash
# The whole test suite, from a fresh Debian machine: installs what the build
# needs, then builds and tests the program normally and under AddressSanitizer
# and UndefinedBehaviorSanitizer, fuzzes the parsers for a bounded time and,
# where present, builds the Windows program and tests it under Wine.
#
# Environment: SOLVANE_FUZZ_SECONDS (default 60 per target, 0 skips fuzzing),
# SOLVANE_SKIP_WINDOWS=1 skips the Windows build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install-deps.sh

jobs=$(nproc)

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure)
}

mkdir -p build-test
echo "== build and test"
run_suite build-test/main

echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
LSAN_OPTIONS=suppressions=$root/tests/lsan.supp ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-test/sanitize -DSOLVANE_SANITIZE=ON

if [[ -x scripts/run-fuzz.sh && "${SOLVANE_FUZZ_SECONDS:-60}" != 0 ]]; then
  echo "== fuzz"
  bash scripts/run-fuzz.sh "${SOLVANE_FUZZ_SECONDS:-60}"
fi

if [[ -x scripts/test-windows.sh && "${SOLVANE_SKIP_WINDOWS:-0}" != 1 ]]; then
  echo "== Windows build under Wine"
  bash scripts/test-windows.sh
fi

echo "== all tests passed"

#!/usr/bin/env bash
# Benchmarks VerifySha256 against `openssl dgst -sha256` on a 1 GiB random
# file (interleaved, median of 5 rounds each) and reports the peak resident
# memory of VerifySha256 on a 1 MiB and a 1 GiB file.
#
# Usage: scripts/bench-verify.sh [rounds]
#   $BENCH_BUILD_DIR  build folder (default <repo>/build-bench), Release
#   $BENCH_DIR        where the test files go (default: a fresh folder in $TMPDIR or /tmp)
#   $BENCH_SIZE_MIB   size of the big file in MiB (default 1024)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-5}
build=${BENCH_BUILD_DIR:-$root/build-bench}
size_mib=${BENCH_SIZE_MIB:-1024}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DSOLVANE_BUILD_BENCH=ON -DSOLVANE_BUILD_TESTS=OFF -DSOLVANE_BUILD_TOOLS=OFF \
  -DSOLVANE_WITH_GTK=OFF >/dev/null
cmake --build "$build" -j 2 --target verify_bench >/dev/null

dir=${BENCH_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/solvane-bench.XXXXXX")}
mkdir -p "$dir"
cleanup() { rm -f "$dir/big.bin" "$dir/small.bin"; [ -n "${BENCH_DIR:-}" ] || rmdir "$dir" 2>/dev/null || true; }
trap cleanup EXIT

echo "creating ${size_mib} MiB and 1 MiB random files in $dir"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$dir/big.bin"
head -c "$((1024 * 1024))" /dev/urandom >"$dir/small.bin"

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(openssl version)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/verify_bench" --rounds "$rounds" "$dir/big.bin" "$dir/small.bin"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

#!/usr/bin/env bash
# Check benchmark: builds bench/check_bench and the program it runs in
# Release, writes a 512 MiB, a 256 MiB and a 4 MiB release of random bytes and
# runs a forced --check against `curl -o` + `openssl dgst -sha256` from the
# same loopback server, interleaved; then a resumed download and peak RSS.
#
# Environment: SOLVANE_BENCH_ROUNDS (A B B A rounds, default 3),
# SOLVANE_BENCH_BUILD (build folder, default build-bench),
# SOLVANE_BENCH_PORT (loopback port, default a free one),
# SOLVANE_BENCH_SIZE / SOLVANE_BENCH_RESUME_SIZE (default 512M / 256M).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build=${SOLVANE_BENCH_BUILD:-$root/build-bench}
rounds=${SOLVANE_BENCH_ROUNDS:-3}
size=${SOLVANE_BENCH_SIZE:-512M}
resume_size=${SOLVANE_BENCH_RESUME_SIZE:-256M}
port=${SOLVANE_BENCH_PORT:-$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')}

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSOLVANE_BUILD_BENCH=ON \
  -DSOLVANE_BUILD_TESTS=OFF -DSOLVANE_BUILD_TOOLS=OFF -DSOLVANE_WITH_GTK=OFF \
  -DSOLVANE_BENCH_PORT="$port" >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2 --target check_bench >/dev/null

# In the build folder's file system, not a RAM-backed /tmp: the flush must
# reach a disk to count.
work=$(mktemp -d "$build/check-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/files"
head -c "$size" /dev/urandom >"$work/files/large.bin"
head -c "$resume_size" /dev/urandom >"$work/files/resume.bin"
head -c 4M /dev/urandom >"$work/files/small.bin"

echo "== check benchmark: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/check_bench" "$work" "$work/files/large.bin" "$work/files/resume.bin" \
  "$work/files/small.bin" "$rounds"
echo "== load average afterwards $(cut -d' ' -f1-3 /proc/loadavg)"

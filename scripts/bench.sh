#!/usr/bin/env bash
# The benchmarks, built in Release (bench/):
#
#   scripts/bench.sh download  DownloadFile (progress off and on) against
#                              `curl -s -o`, from a static server on 127.0.0.1
#   scripts/bench.sh verify    VerifySha256 against `openssl dgst -sha256`
#
# Each run is a fresh process working on the same random files; one untimed
# warm-up run of every client, then rounds in alternating order (A B, B A);
# min / median / max of each, and peak resident memory on a 1 MiB and on the
# large file. README.md says how to read the figures.
#
# Environment: SOLVANE_BENCH_ROUNDS (default 6, made even), SOLVANE_BENCH_SIZE
# (the large file, as for head -c; default 1G), SOLVANE_BENCH_BUILD (build
# folder, default build-bench), SOLVANE_BENCH_DIR (where the files go; default
# a fresh folder in $TMPDIR or /tmp), SOLVANE_JOBS.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

which=${1:-}
[[ $which == download || $which == verify ]] || solvane_fail "usage: bench.sh download|verify"
build=${SOLVANE_BENCH_BUILD:-$solvane_root/build-bench}
rounds=${SOLVANE_BENCH_ROUNDS:-6}
solvane_build_project "$build" -DCMAKE_BUILD_TYPE=Release -DSOLVANE_BUILD_BENCH=ON \
  -DSOLVANE_BUILD_TESTS=OFF -DSOLVANE_BUILD_TOOLS=OFF -DSOLVANE_WITH_GTK=OFF -- "${which}_bench"

work=$(mktemp -d "${SOLVANE_BENCH_DIR:-${TMPDIR:-/tmp}}/solvane-bench.XXXXXX")
solvane_at_exit "rm -rf '$work'"
mkdir -p "$work/files" "$work/out"
head -c "${SOLVANE_BENCH_SIZE:-1G}" /dev/urandom >"$work/files/large.bin"
head -c 1M /dev/urandom >"$work/files/small.bin"

echo "== $which benchmark: $(nproc) CPUs,$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)," \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
if [[ $which == download ]]; then
  solvane_serve "$work/files"
  "$build/bench/download_bench" "$solvane_server_url" "$work/files" "$work/out" "$rounds"
else
  openssl version
  "$build/bench/verify_bench" --rounds "$rounds" "$work/files/large.bin" "$work/files/small.bin"
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

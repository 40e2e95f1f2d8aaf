#!/usr/bin/env bash
# The benchmarks, built in Release (bench/):
#
#   scripts/bench.sh download  DownloadWithResume (progress off and on) against
#                              `curl -s -o`, from a static server on 127.0.0.1
#   scripts/bench.sh verify    VerifySha256 against `openssl dgst -sha256`
#   scripts/bench.sh check     a forced --check of the real program (one pass:
#                              download, hash, flush) against `curl -o` then
#                              `openssl dgst -sha256`, 512 MiB; a resumed 256 MiB
#                              download's bytes on the wire; peak RSS
#   scripts/bench.sh manifest  ParseManifest's peak memory on hostile manifests
#                              just under the 16 MiB body cap
#   scripts/bench.sh rollout   100,000 rollout draws: how many land in each
#                              tenth of the range, and what each share reaches
#   scripts/bench.sh server    what checks cost the release server: bytes on the
#                              wire and connections of a check of an unchanged
#                              release, 10,000 installations starting their
#                              checks at 9:00-9:05 for 7 days (busiest minute),
#                              and a gzip bomb against the manifest's cap
#   scripts/bench.sh delta     delta updates on a 200 MB installer with a stored
#                              payload, a tenth changed: a real --check's bytes
#                              on the wire with the base in place, the patch's
#                              apply against `zstd -d --patch-from` (median of
#                              SOLVANE_BENCH_ROUNDS, default 5 here), its peak
#                              RSS against base + 64 MiB, and making the patch
#
# Each run is a fresh process working on the same random files; one untimed
# warm-up run of every client, then rounds in alternating order (A B, B A);
# min / median / max of each, and peak resident memory on a 1 MiB and on the
# large file. docs/development.md (Benchmarks) says how to read the figures.
#
# Environment: SOLVANE_BENCH_ROUNDS (default 6, made even), SOLVANE_BENCH_SIZE
# (the large file, as for head -c; default 1G), SOLVANE_BENCH_BUILD (build
# folder, default build-bench), SOLVANE_BENCH_DIR (where the files go; default
# a fresh folder in $TMPDIR or /tmp; for `check`, the build folder, so that
# the flush reaches a disk), SOLVANE_BENCH_RESUME_SIZE (`check`'s resumed
# download, default 256M), SOLVANE_JOBS.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

which=${1:-}
case $which in
  download | verify | check | manifest | rollout | server | delta) ;;
  *) solvane_fail "usage: bench.sh download|verify|check|manifest|rollout|server|delta" ;;
esac
build=${SOLVANE_BENCH_BUILD:-$solvane_root/build-bench}
rounds=${SOLVANE_BENCH_ROUNDS:-6}
tools=OFF
[[ $which == delta ]] && tools=ON  # the delta bench makes its patch with the publishing code
solvane_build_project "$build" -DCMAKE_BUILD_TYPE=Release -DSOLVANE_BUILD_BENCH=ON \
  -DSOLVANE_BUILD_TESTS=OFF -DSOLVANE_BUILD_TOOLS=$tools -DSOLVANE_WITH_GTK=OFF -- \
  "$([[ $which == server ]] && echo server_load || echo "$which")_bench"

if [[ $which == rollout ]]; then
  "$build/bench/rollout_bench" 100000
  exit 0
fi
# The machine's line at the head of a benchmark's output, and a scratch
# folder for its files, removed at exit.
bench_start() {
  echo "== $1 benchmark: $(nproc) CPUs,$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg)${2:+, $2}"
  work=$(mktemp -d "${SOLVANE_BENCH_DIR:-${TMPDIR:-/tmp}}/solvane-bench.XXXXXX")
  solvane_at_exit "rm -rf '$work'"
}
if [[ $which == server ]]; then
  bench_start server
  "$build/bench/server_load_bench" "$work"
  exit 0
fi
if [[ $which == delta ]]; then
  bench_start delta "$(zstd --version)"
  "$build/bench/delta_bench" "$work" 200 "${SOLVANE_BENCH_ROUNDS:-5}"
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
  exit 0
fi
if [[ $which == manifest ]]; then
  echo "== manifest benchmark: load average $(cut -d' ' -f1-3 /proc/loadavg)"
  "$build/bench/manifest_bench"
  exit 0
fi

default_dir=${TMPDIR:-/tmp}
[[ $which == check ]] && default_dir=$build
work=$(mktemp -d "${SOLVANE_BENCH_DIR:-$default_dir}/solvane-bench.XXXXXX")
solvane_at_exit "rm -rf '$work'"
mkdir -p "$work/files" "$work/out"
default_size=1G
[[ $which == check ]] && default_size=512M
head -c "${SOLVANE_BENCH_SIZE:-$default_size}" /dev/urandom >"$work/files/large.bin"
head -c 1M /dev/urandom >"$work/files/small.bin"

echo "== $which benchmark: $(nproc) CPUs,$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)," \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
if [[ $which == download ]]; then
  solvane_serve "$work/files"
  "$build/bench/download_bench" "$solvane_server_url" "$work/files" "$work/out" "$rounds"
elif [[ $which == check ]]; then
  head -c "${SOLVANE_BENCH_RESUME_SIZE:-256M}" /dev/urandom >"$work/files/resume.bin"
  "$build/bench/check_bench" "$work" "$work/files/large.bin" "$work/files/resume.bin" \
    "$work/files/small.bin" "$rounds"
else
  openssl version
  "$build/bench/verify_bench" --rounds "$rounds" "$work/files/large.bin" "$work/files/small.bin"
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

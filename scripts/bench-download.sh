#!/usr/bin/env bash
# Download benchmark: builds bench/download_bench in Release, serves a 1 GiB
# and a 1 MiB file from python3's static file server on 127.0.0.1 and compares
# DownloadFile (progress on and off) with `curl -s -o`, interleaved.
#
# Environment: SOLVANE_BENCH_ROUNDS (default 5), SOLVANE_BENCH_BUILD (build
# folder, default build-bench), SOLVANE_BENCH_SIZE (large file, default 1G).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build=${SOLVANE_BENCH_BUILD:-$root/build-bench}
rounds=${SOLVANE_BENCH_ROUNDS:-5}
size=${SOLVANE_BENCH_SIZE:-1G}

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSOLVANE_BUILD_BENCH=ON \
  -DSOLVANE_BUILD_TESTS=OFF -DSOLVANE_BUILD_TOOLS=OFF -DSOLVANE_WITH_GTK=OFF >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target download_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/solvane-bench.XXXXXX")
server_pid=
cleanup() {
  local rc=$?
  if [[ -n $server_pid ]]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
mkdir -p "$work/files" "$work/out"
head -c "$size" /dev/urandom >"$work/files/large.bin"
head -c 1M /dev/urandom >"$work/files/small.bin"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/files" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  curl -sf -o /dev/null "http://127.0.0.1:$port/small.bin" && break
  sleep 0.1
done

echo "== download benchmark: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/download_bench" "http://127.0.0.1:$port/" "$work/files" "$work/out" "$rounds"

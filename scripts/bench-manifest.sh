#!/usr/bin/env bash
# Peak resident memory of ParseManifest on hostile manifests just under the
# 16 MiB body cap (deep nesting, wide arrays, huge notes), each in a fresh
# process, beside the memory of only building the same text.
#
# Usage: scripts/bench-manifest.sh
#   $BENCH_BUILD_DIR  build folder (default <repo>/build-bench), Release
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DSOLVANE_BUILD_BENCH=ON -DSOLVANE_BUILD_TESTS=OFF -DSOLVANE_BUILD_TOOLS=OFF \
  -DSOLVANE_WITH_GTK=OFF >/dev/null
cmake --build "$build" -j 2 --target manifest_bench >/dev/null
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/manifest_bench"

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in their own build
# folder, runs each over its seed corpus for a bounded time, then feeds each
# one deeply nested and huge JSON. Fails on any crash, leak, time-out, OOM or
# sanitizer report.
#
# Environment:
#   SOLVANE_FUZZ_SECONDS  fuzzing time per target (default 60)
#   SOLVANE_FUZZ_BUILD    build folder (default <repo>/build-fuzz)
#   SOLVANE_FUZZ_TARGETS  targets to run (default: all of them)
#   SOLVANE_JOBS as in scripts/lib.sh
set -euo pipefail
source "$(dirname "$0")/lib.sh"

root=$solvane_root
seconds=${SOLVANE_FUZZ_SECONDS:-60}
build=${SOLVANE_FUZZ_BUILD:-$root/build-fuzz}
targets=${SOLVANE_FUZZ_TARGETS:-fuzz_manifest fuzz_key_set fuzz_release_choice fuzz_validators fuzz_patch fuzz_state fuzz_versions fuzz_signature}
work=$build/fuzz-work

# shellcheck disable=SC2086
solvane_build_project "$build" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSOLVANE_BUILD_FUZZ=ON -DSOLVANE_BUILD_TESTS=OFF -DSOLVANE_BUILD_TOOLS=OFF \
  -DSOLVANE_BUILD_BENCH=OFF -DSOLVANE_WITH_GTK=OFF -- $targets

# Sanitizer findings must end the run: UBSan aborts (-fno-sanitize-recover),
# LeakSanitizer is on; libFuzzer turns both into a non-zero exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

rm -rf "$work"
mkdir -p "$work/extreme"

# Pathological inputs, generated here rather than committed (some are large).
python3 - "$work/extreme" <<'EOF'
import sys, os
d = sys.argv[1]
def w(name, data):
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data.encode() if isinstance(data, str) else data)
n = 100000
w('deep_open_brackets', '[' * n)
w('deep_open_braces', '{"a":' * n)
w('deep_arrays_closed', '[' * n + ']' * n)
w('deep_objects_closed', '{"a":' * n + '1' + '}' * n)
w('deep_in_manifest', 'windows-x64\n{"x":' + '[' * n + ']' * n +
  ',"current":{"stable":{"windows-x64":"1.5.0"}},"releases":{"windows-x64":{"1.5.0":{"url":"u"}}}}')
w('deep_in_state', '{"last_check":1,"x":' + '[' * n + ']' * n + '}')
w('deep_mixed_strings', '["\\"[{' * n)
big = 24 << 20
w('huge_string', 'windows-x64\n{"current":{"stable":{"windows-x64":"1.5.0"}},"releases":{"windows-x64":{"1.5.0":{"url":"u","notes":"'
  + 'n' * big + '"}}}}')
w('huge_state_string', '{"last_check":1,"notes":"' + 'x' * big + '"}')
w('huge_wide_array', '{"a":[' + ','.join(['1'] * (2 << 20)) + ']}')
w('huge_many_keys', '{' + ','.join('"k%d":%d' % (i, i) for i in range(1 << 19)) + '}')
# The limits themselves: a state file exactly at its 1 MiB cap and one byte
# over, and a manifest of '[' just under the 16 MiB body cap.
cap = 1 << 20
w('state_at_cap', '{"last_check":5}' + ' ' * (cap - 16))
w('state_over_cap', '{"last_check":5}' + ' ' * (cap - 15))
w('manifest_open_16mib', 'windows-x64\n' + '[' * ((16 << 20) - 13))
w('huge_versions', '9' * big + '\\ ' + '-' + '9' * (1 << 20) + '\\ ' + '1.' * (1 << 20))
EOF

failed=0
for target in $targets; do
  bin=$build/tests/fuzz/$target
  seeds=$root/tests/fuzz/corpus/$target
  corpus=$work/$target/corpus
  artifacts=$work/$target/artifacts/
  mkdir -p "$corpus" "$artifacts"
  dict=$root/tests/fuzz/manifest.dict
  [ "$target" = fuzz_versions ] && dict=$root/tests/fuzz/versions.dict
  [ "$target" = fuzz_signature ] && dict=$root/tests/fuzz/signature.dict
  # zstd frames have no words to offer.
  dict_option=(-dict="$dict")
  [ "$target" = fuzz_patch ] && dict_option=()
  log=$work/$target/fuzz.log

  echo "== $target: fuzzing for ${seconds}s"
  # New inputs go to the work corpus; the committed seeds are only read.
  if ! "$bin" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 "${dict_option[@]}" -artifact_prefix="$artifacts" \
      "$corpus" "$seeds" >"$log" 2>&1; then
    echo "FAIL: $target crashed or reported (log: $log, inputs: $artifacts)"
    tail -n 40 "$log"
    failed=1
  elif grep -qE 'runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer' "$log"; then
    echo "FAIL: $target printed a sanitizer report (log: $log)"
    failed=1
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$log" | sed 's/^/   /' || true
    echo "   corpus: $(ls "$corpus" | wc -l) new inputs"
  fi

  echo "== $target: deeply nested and huge inputs"
  slog=$work/$target/extreme.log
  if ! "$bin" -timeout=300 -rss_limit_mb=8192 -malloc_limit_mb=8192 "$work"/extreme/* >"$slog" 2>&1; then
    echo "FAIL: $target on a pathological input (log: $slog)"
    tail -n 40 "$slog"
    failed=1
  elif grep -qE 'runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer' "$slog"; then
    echo "FAIL: $target printed a sanitizer report on a pathological input (log: $slog)"
    failed=1
  else
    echo "   $(ls "$work"/extreme | wc -l) inputs, no findings"
  fi
done

if [ "$failed" -ne 0 ]; then
  echo "run-fuzz: FAILED"
  exit 1
fi
echo "run-fuzz: all targets clean"

#!/usr/bin/env bash
# The whole job of SolvaneSetup on this machine, in one command: builds the
# program for a release server on 127.0.0.1, publishes a demo release with
# solvane-publish, serves it with a static web server, installs it fresh (in a
# window where there is a display, as text otherwise), then publishes a newer
# release, stages it with --check and launches it with --apply.
#
# Releases are signed: a throwaway minisign key pair is made first, the
# program is built with its public key, and every publication is signed with
# its secret key. One tampered manifest is shown being refused.
#
# Everything the program writes goes to a temporary home folder, never to
# yours. Exits non-zero when any step does not do what it should.
# Environment: SOLVANE_DEMO_PORT (default 8765), SOLVANE_DEMO_KEEP=1 keeps the
# temporary folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install-deps.sh

port="${SOLVANE_DEMO_PORT:-8765}"
base_url="http://127.0.0.1:$port/solvane/"
case "$(uname -m)" in
  aarch64 | arm64) key=linux-arm64 ;;
  *) key=linux-x64 ;;
esac

build="$root/build-demo"
demo="$(mktemp -d /tmp/solvane-demo.XXXXXX)"
server_pid=""
cleanup() {
  local status=$?
  if [[ -n "$server_pid" ]]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  if [[ "${SOLVANE_DEMO_KEEP:-0}" == 1 ]]; then
    echo "demo files kept in $demo"
  else
    rm -rf "$demo"
  fi
  exit "$status"
}
trap cleanup EXIT

home="$demo/home"
updates="$home/.local/share/Korrinwade/Solvane/Updates"
installed="$demo/installed.txt"
mkdir -p "$home"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
fail() {
  echo "demo: FAILED: $*" >&2
  exit 1
}
run_program() { env HOME="$home" XDG_DATA_HOME="$home/.local/share" "$program" "$@"; }
state_value() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(eval(sys.argv[2], {}, {"d": d}))' "$updates/Updates.json" "$1"; }
wait_for_line() {
  for _ in $(seq 100); do
    grep -q "$1" "$installed" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
show_files() {
  echo "--- Updates.json"
  cat "$updates/Updates.json"
  echo "--- SolvaneSetup.log"
  cat "$updates/SolvaneSetup.log"
}

# A stand-in for the product's installer: it only announces that it ran.
make_installer() {
  local version=$1
  mkdir -p "$demo/installers/$version"
  local file="$demo/installers/$version/Solvane-$version.sh"
  cat >"$file" <<SCRIPT
#!/bin/sh
echo "Solvane $version installer ran" >> "$installed"
SCRIPT
  echo "$file"
}

step "Building solvane-publish and a throwaway signing key pair"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSOLVANE_BUILD_TESTS=OFF \
  -DSOLVANE_RELEASE_BASE_URL="$base_url" -DSOLVANE_PLATFORM_KEY="$key" >/dev/null
cmake --build "$build" -j"$(nproc)" --target solvane-publish >/dev/null
publish="$build/tools/solvane-publish"
# A real vendor makes the pair once, with a password, on an offline machine.
"$publish" keygen --no-password --public-key "$demo/release.pub" --secret-key "$demo/release.key"
public_key=$(sed -n 2p "$demo/release.pub")

step "Building SolvaneSetup with the release key built in"
cmake -S . -B "$build" -DSOLVANE_RELEASE_PUBLIC_KEYS="$public_key" | grep 'release key' || true
cmake --build "$build" -j"$(nproc)" --target SolvaneSetup >/dev/null
program="$build/SolvaneSetup"

step "Publishing Solvane 1.0.0 for $key"
"$publish" add --root "$demo/site/solvane" --base-url "$base_url" --platform "$key" \
  --version 1.0.0 --notes "First release" "$(make_installer 1.0.0)"
"$publish" sign --root "$demo/site/solvane" --secret-key "$demo/release.key"

step "Serving $demo/site on $base_url"
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$demo/site" \
  >"$demo/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  curl -sf -o /dev/null "${base_url}manifest.json" && break
  kill -0 "$server_pid" 2>/dev/null || fail "the web server did not start (port $port in use?)"
  sleep 0.1
done
curl -sf -o /dev/null "${base_url}manifest.json" || fail "the web server does not answer"

step "Fresh install: SolvaneSetup"
run_program || fail "the fresh install exited with $?"
wait_for_line "Solvane 1.0.0 installer ran" || fail "the 1.0.0 installer did not run"
echo "installer: $(cat "$installed")"
[[ "$(state_value 'd["release_notes"]["version"]')" == 1.0.0 ]] || fail "release_notes not written"
show_files

step "Publishing Solvane 1.1.0"
"$publish" add --root "$demo/site/solvane" --base-url "$base_url" --platform "$key" \
  --version 1.1.0 --notes "Faster sync" "$(make_installer 1.1.0)"
"$publish" sign --root "$demo/site/solvane" --secret-key "$demo/release.key"
"$publish" verify --root "$demo/site/solvane" --public-key "$demo/release.pub"
minisign -V -p "$demo/release.pub" -m "$demo/site/solvane/manifest.json"

step "A tampered manifest is refused (a fresh install in another home)"
cp "$demo/site/solvane/manifest.json" "$demo/manifest.good"
sed -i 's/Faster sync/Faster sync, and a surprise/' "$demo/site/solvane/manifest.json"
tampered_home="$demo/tampered-home"
mkdir -p "$tampered_home"
if env HOME="$tampered_home" XDG_DATA_HOME="$tampered_home/.local/share" "$program" 2>"$demo/tampered.err"; then
  fail "the tampered manifest was accepted"
fi
cat "$demo/tampered.err" | grep -a "Could not find a release" || fail "no refusal message"
grep "manifest rejected" "$tampered_home/.local/share/Korrinwade/Solvane/Updates/SolvaneSetup.log" ||
  fail "no rejection in the log"
mv "$demo/manifest.good" "$demo/site/solvane/manifest.json"

step "Daily check: SolvaneSetup --check 1.0.0"
run_program --check 1.0.0 || fail "--check exited with $?"
[[ "$(state_value 'd["staged"]["version"]')" == 1.1.0 ]] || fail "1.1.0 was not staged"
[[ "$(state_value 'd["manifest_serial"]')" == 2 ]] || fail "manifest_serial not recorded"
show_files

step "Second check within 24 hours: skipped"
run_program --check 1.0.0
tail -n 1 "$updates/SolvaneSetup.log" | grep -q "check: skipped (within 24h interval)" ||
  fail "the second check was not skipped"

step "Apply: SolvaneSetup --apply"
run_program --apply || fail "--apply exited with $?"
wait_for_line "Solvane 1.1.0 installer ran" || fail "the 1.1.0 installer did not run"
[[ "$(state_value '"staged" in d')" == False ]] || fail "staged record left behind"
[[ "$(state_value 'd["release_notes"]["version"]')" == 1.1.0 ]] || fail "release_notes not updated"
show_files
echo "--- installers that ran"
cat "$installed"

step "Demo finished: install, check and apply all did their job"

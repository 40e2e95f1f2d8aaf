#!/usr/bin/env bash
# The whole job of SolvaneSetup on this machine, in one command: builds the
# program for a release server on 127.0.0.1, publishes a demo release with
# solvane-publish, serves it with a static web server, installs it fresh (in a
# window where there is a display, as text otherwise), then publishes a newer
# release, stages it with --check and launches it with --apply.
#
# Everything the program writes goes to a temporary home folder, never to
# yours. Exits non-zero when any step does not do what it should.
# Environment: SOLVANE_DEMO_PORT (default 8765), SOLVANE_DEMO_KEEP=1 keeps the
# temporary folder.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

bash "$solvane_root/scripts/install-deps.sh"

port="${SOLVANE_DEMO_PORT:-8765}"
base_url="http://127.0.0.1:$port/solvane/"
case "$(uname -m)" in
  aarch64 | arm64) key=linux-arm64 ;;
  *) key=linux-x64 ;;
esac

build="$solvane_root/build-demo"
solvane_build_project "$build" -DCMAKE_BUILD_TYPE=Release -DSOLVANE_BUILD_TESTS=OFF \
  -DSOLVANE_RELEASE_BASE_URL="$base_url" -DSOLVANE_PLATFORM_KEY="$key" \
  -- SolvaneSetup solvane-publish
program="$build/SolvaneSetup"
publish="$build/tools/solvane-publish"

demo="$(mktemp -d /tmp/solvane-demo.XXXXXX)"
if [[ "${SOLVANE_DEMO_KEEP:-0}" == 1 ]]; then
  solvane_at_exit "echo 'demo files kept in $demo'"
else
  solvane_at_exit "rm -rf '$demo'"
fi

home="$demo/home"
updates="$home/.local/share/Korrinwade/Solvane/Updates"
installed="$demo/installed.txt"
mkdir -p "$home"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
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

step "Publishing Solvane 1.0.0 for $key"
"$publish" add --root "$demo/site/solvane" --base-url "$base_url" --platform "$key" \
  --version 1.0.0 --notes "First release" "$(make_installer 1.0.0)"

step "Serving $demo/site on $base_url"
solvane_serve "$demo/site" "$port" || solvane_fail "the web server did not start (port $port in use?)"

step "Fresh install: SolvaneSetup"
run_program || solvane_fail "the fresh install exited with $?"
wait_for_line "Solvane 1.0.0 installer ran" || solvane_fail "the 1.0.0 installer did not run"
echo "installer: $(cat "$installed")"
[[ "$(state_value 'd["release_notes"]["version"]')" == 1.0.0 ]] || solvane_fail "release_notes not written"
show_files

step "Publishing Solvane 1.1.0"
"$publish" add --root "$demo/site/solvane" --base-url "$base_url" --platform "$key" \
  --version 1.1.0 --notes "Faster sync" "$(make_installer 1.1.0)"
"$publish" verify --root "$demo/site/solvane"

step "Daily check: SolvaneSetup --check 1.0.0"
run_program --check 1.0.0 || solvane_fail "--check exited with $?"
[[ "$(state_value 'd["staged"]["version"]')" == 1.1.0 ]] || solvane_fail "1.1.0 was not staged"
show_files

step "Second check within 24 hours: skipped"
run_program --check 1.0.0
tail -n 1 "$updates/SolvaneSetup.log" | grep -q "check: skipped (within 24h interval)" ||
  solvane_fail "the second check was not skipped"

step "Apply: SolvaneSetup --apply"
run_program --apply || solvane_fail "--apply exited with $?"
wait_for_line "Solvane 1.1.0 installer ran" || solvane_fail "the 1.1.0 installer did not run"
[[ "$(state_value '"staged" in d')" == False ]] || solvane_fail "staged record left behind"
[[ "$(state_value 'd["release_notes"]["version"]')" == 1.1.0 ]] || solvane_fail "release_notes not updated"
show_files
echo "--- installers that ran"
cat "$installed"

step "Demo finished: install, check and apply all did their job"

#!/usr/bin/env bash
# The whole job of SolvaneSetup on this machine, in one command: builds the
# program for a release server on 127.0.0.1, publishes a demo release with
# solvane-publish, serves it with a static web server, installs it fresh (in a
# window where there is a display, as text otherwise), then publishes a newer
# release with a delta patch from the first, stages it with --check from that
# patch (printing the bytes sent against the installer's size) and launches
# it with --apply; then shows a
# staged rollout holding a release back and a withdrawn release taken back.
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
source "$(dirname "$0")/lib.sh"

bash "$solvane_root/scripts/install-deps.sh"

port="${SOLVANE_DEMO_PORT:-8765}"
base_url="http://127.0.0.1:$port/solvane/"
case "$(uname -m)" in
  aarch64 | arm64) key=linux-arm64 ;;
  *) key=linux-x64 ;;
esac

build="$solvane_root/build-demo"
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
# Behind it, a stored (uncompressed) payload, as a real installer carries its
# files: 8 MiB the same in every release and 256 KiB new in each, so that a
# patch from the previous release is small.
head -c 8M /dev/urandom >"$demo/payload.bin"
make_installer() {
  local version=$1
  mkdir -p "$demo/installers/$version"
  local file="$demo/installers/$version/Solvane-$version.sh"
  cat >"$file" <<SCRIPT
#!/bin/sh
echo "Solvane $version installer ran" >> "$installed"
exit 0
SCRIPT
  cat "$demo/payload.bin" >>"$file"
  head -c 256K /dev/urandom >>"$file"
  echo "$file"
}

# The bytes of the files the server sent whole since its log had `lines`
# lines (the demo's server answers every request in full).
bytes_sent_since() {
  local lines=$1 sent=0 path
  while read -r path; do
    [[ -f $demo/site$path ]] && sent=$((sent + $(stat -c %s "$demo/site$path")))
  done < <(tail -n +"$((lines + 1))" "$solvane_server_log" |
    sed -n 's/.*"GET \([^ ]*\) HTTP[^"]*" 200 .*/\1/p')
  echo "$sent"
}

step "Building solvane-publish and a throwaway signing key pair"
solvane_build_project "$build" -DCMAKE_BUILD_TYPE=Release -DSOLVANE_BUILD_TESTS=OFF \
  -DSOLVANE_CHECK_SPREAD_SECONDS=0 \
  -DSOLVANE_RELEASE_BASE_URL="$base_url" -DSOLVANE_PLATFORM_KEY="$key" -- solvane-publish
publish="$build/tools/solvane-publish"
# A real vendor makes the pair once, with a password, on an offline machine.
"$publish" keygen --no-password --public-key "$demo/release.pub" --secret-key "$demo/release.key"
public_key=$(sed -n 2p "$demo/release.pub")

step "Building SolvaneSetup with the release key built in"
solvane_build_project "$build" -DSOLVANE_RELEASE_PUBLIC_KEYS="$public_key" -- SolvaneSetup
grep 'release key' "$build/configure.log" || true
program="$build/SolvaneSetup"

step "Publishing Solvane 1.0.0 for $key"
"$publish" add --root "$demo/site/solvane" --base-url "$base_url" --platform "$key" \
  --version 1.0.0 --notes "First release" "$(make_installer 1.0.0)"
"$publish" sign --root "$demo/site/solvane" --secret-key "$demo/release.key"

step "Serving $demo/site on $base_url"
solvane_serve "$demo/site" "$port" || solvane_fail "the web server did not start (port $port in use?)"

step "Fresh install: SolvaneSetup"
run_program || solvane_fail "the fresh install exited with $?"
wait_for_line "Solvane 1.0.0 installer ran" || solvane_fail "the 1.0.0 installer did not run"
echo "installer: $(cat "$installed")"
[[ "$(state_value 'd["release_notes"]["version"]')" == 1.0.0 ]] || solvane_fail "release_notes not written"
show_files

step "Publishing Solvane 1.1.0, with a patch from 1.0.0"
"$publish" add --root "$demo/site/solvane" --base-url "$base_url" --platform "$key" \
  --version 1.1.0 --notes "Faster sync" --delta-from "$demo/installers/1.0.0/Solvane-1.0.0.sh" \
  "$(make_installer 1.1.0)"
"$publish" sign --root "$demo/site/solvane" --secret-key "$demo/release.key"
"$publish" verify --root "$demo/site/solvane" --public-key "$demo/release.pub"
minisign -V -p "$demo/release.pub" -m "$demo/site/solvane/manifest.json"

step "A tampered manifest is refused (a fresh install in another home)"
cp "$demo/site/solvane/manifest.json" "$demo/manifest.good"
sed -i 's/Faster sync/Faster sync, and a surprise/' "$demo/site/solvane/manifest.json"
tampered_home="$demo/tampered-home"
mkdir -p "$tampered_home"
if env HOME="$tampered_home" XDG_DATA_HOME="$tampered_home/.local/share" "$program" 2>"$demo/tampered.err"; then
  solvane_fail "the tampered manifest was accepted"
fi
cat "$demo/tampered.err" | grep -a "Could not find a release" || solvane_fail "no refusal message"
grep "manifest rejected" "$tampered_home/.local/share/Korrinwade/Solvane/Updates/SolvaneSetup.log" ||
  solvane_fail "no rejection in the log"
mv "$demo/manifest.good" "$demo/site/solvane/manifest.json"

step "Daily check: SolvaneSetup --check 1.0.0 (from the patch against the kept 1.0.0)"
served=$(wc -l <"$solvane_server_log")
run_program --check 1.0.0 || solvane_fail "--check exited with $?"
[[ "$(state_value 'd["staged"]["version"]')" == 1.1.0 ]] || solvane_fail "1.1.0 was not staged"
! grep -q "downloading in full" "$updates/SolvaneSetup.log" || solvane_fail "the patch was not used"
sent=$(bytes_sent_since "$served")
size=$(stat -c %s "$demo/installers/1.1.0/Solvane-1.1.0.sh")
echo "bytes sent: $sent (manifest, signature and patch) for an installer of $size bytes" \
  "($((sent * 100 / size)) %)"
[[ "$(state_value 'd["manifest_serial"]')" == 2 ]] || solvane_fail "manifest_serial not recorded"
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

step "A staged rollout: 1.2.0 to 0 % of installations, then to all"
"$publish" add --root "$demo/site/solvane" --base-url "$base_url" --platform "$key" \
  --version 1.2.0 --notes "Risky" "$(make_installer 1.2.0)"
"$publish" rollout --root "$demo/site/solvane" --platform "$key" --version 1.2.0 --percent 0
"$publish" sign --root "$demo/site/solvane" --secret-key "$demo/release.key"
"$publish" verify --root "$demo/site/solvane"
run_program --check 1.1.0 --force
grep -q "check: outside the rollout of 1.2.0 (0%)" "$updates/SolvaneSetup.log" ||
  solvane_fail "the client outside the rollout was offered 1.2.0"
[[ "$(state_value '"staged" in d')" == False ]] || solvane_fail "a release outside the rollout was staged"
"$publish" rollout --root "$demo/site/solvane" --platform "$key" --version 1.2.0 --percent 100
"$publish" sign --root "$demo/site/solvane" --secret-key "$demo/release.key"
run_program --check 1.1.0 --force
[[ "$(state_value 'd["staged"]["version"]')" == 1.2.0 ]] || solvane_fail "1.2.0 was not staged at 100 %"
echo "rollout_draw: $(state_value 'd["rollout_draw"]')"

step "Withdrawing 1.2.0: the next check takes it back, --apply starts nothing"
"$publish" withdraw --root "$demo/site/solvane" --platform "$key" --version 1.2.0
"$publish" sign --root "$demo/site/solvane" --secret-key "$demo/release.key"
run_program --check 1.1.0 --force
grep -q "check: staged 1.2.0 withdrawn" "$updates/SolvaneSetup.log" || solvane_fail "no withdrawal logged"
[[ ! -e "$updates/Solvane-1.2.0.sh" ]] || solvane_fail "the withdrawn installer was left"
run_program --apply || true
sleep 1
! grep -q "Solvane 1.2.0 installer ran" "$installed" || solvane_fail "the withdrawn release ran"
tail -n 8 "$updates/SolvaneSetup.log"

step "Demo finished: install, check, apply, a rollout and a withdrawal all did their job"

#!/usr/bin/env bash
# Runs a Windows program under wine in a private prefix and passes on its
# standard output, standard error and exit code.
#
#   scripts/wine-run.sh [--prefix DIR] program.exe [args...]
#
# Wine's background processes (wineserver, services, explorer) inherit the
# streams of the wine process that started them and keep them open, so a
# caller that reads wine's output through a pipe would wait for ever. Here
# wineserver is started persistent with its streams on /dev/null, the program
# writes into files, and the files are copied to our streams afterwards.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

prefix=${SOLVANE_WINEPREFIX:-${TMPDIR:-/tmp}/solvane-wineprefix-$(id -u)}
if [[ ${1:-} == --prefix ]]; then
  prefix=$2
  shift 2
fi
if (($# == 0)); then
  echo "usage: wine-run.sh [--prefix DIR] program.exe [args...]" >&2
  exit 2
fi

prefix=$(realpath -m "$prefix")
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs when the prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64

mkdir -p "$(dirname "$prefix")"
(
  # Two test runs starting at once must not both create the prefix.
  flock 9
  if [[ ! -f $prefix/system.reg ]]; then
    wineboot --init </dev/null >/dev/null 2>&1 9>&-
    # A crash of one of wine's own background services (seen with a fresh
    # prefix) must not open a debugger window over the program under test.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      </dev/null >/dev/null 2>&1 9>&-
  fi
  # The lock must not pass to wine's long-lived processes.
  wineserver -p </dev/null >/dev/null 2>&1 9>&-
) 9>"$prefix.lock"

out=$(mktemp)
err=$(mktemp)
solvane_at_exit "rm -f '$out' '$err'"
wine "$@" </dev/null >"$out" 2>"$err"
rc=$?
cat "$out"
# wine's own complaints about a missing 32-bit half are noise here.
grep -v -e 'wine32 is missing' -e 'multiarch needs to be enabled' -e 'dpkg --add-architecture' \
  -e 'apt-get install wine32' "$err" >&2
exit $rc

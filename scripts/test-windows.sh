#!/usr/bin/env bash
# Builds the Windows program and its tests (scripts/build-windows.sh, after
# scripts/install-windows-deps.sh) and runs them under wine: the GoogleTest
# suites through ctest (the cross-compiling emulator is scripts/wine-run.sh)
# and the update cycle of the loopback build (tests/windows/wine_cycle.py),
# which also saves a screenshot of the progress window as
# <build folder>/windows-progress-window.png.
#
#   scripts/test-windows.sh [ctest options...]
#
# Environment:
#   SOLVANE_WINDOWS_BUILD       build folder (default build-win)
#   SOLVANE_WINDOWS_NO_BUILD=1  tests the existing build as it is
#   SOLVANE_WINDOWS_ONLY=1      builds and runs only the Windows-only tests
#                               (ctest label "windows"), not the shared suites
#   SOLVANE_TEST_PORT, SOLVANE_JOBS as in scripts/lib.sh
#
# Everything runs on a private X server (Xvfb) and in the build folder's own
# wine prefix. wineserver is started persistent with its streams on
# /dev/null and stopped at the end; test output goes to files, since wine's
# background processes would hold a pipe open.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

build=$(realpath -m "${SOLVANE_WINDOWS_BUILD:-$solvane_root/build-win}")
export SOLVANE_WINDOWS_BUILD=$build
[[ ${SOLVANE_WINDOWS_ONLY:-0} == 1 ]] && set -- -L windows "$@"

if [[ ${SOLVANE_WINDOWS_NO_BUILD:-0} != 1 ]]; then
  bash "$solvane_root/scripts/install-windows-deps.sh" || exit 1
  bash "$solvane_root/scripts/build-windows.sh" || exit 1
fi
prefix=$build/wineprefix
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64

[[ -f $build/CTestTestfile.cmake ]] ||
  solvane_fail "$build is not a configured build; run scripts/build-windows.sh"

# A display number nobody uses.
display=
for n in $(seq 90 130); do
  if [[ ! -e /tmp/.X$n-lock && ! -e /tmp/.X11-unix/X$n ]]; then
    display=$n
    break
  fi
done
[[ -n $display ]] || solvane_fail "no free X display"
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp </dev/null >"$build/xvfb.log" 2>&1 &
solvane_at_exit "kill $! 2>/dev/null; wait $! 2>/dev/null"
# Runs before the line above: wine goes before its display.
solvane_at_exit "wineserver -k </dev/null >/dev/null 2>&1"
for _ in $(seq 50); do
  [[ -e /tmp/.X11-unix/X$display ]] && break
  sleep 0.1
done
export DISPLAY=:$display

# Make the prefix and start its server before any test, outside any pipe.
"$solvane_root/scripts/wine-run.sh" --prefix "$prefix" reg query 'HKCU\Environment' \
  >"$build/wine-setup.log" 2>&1 || solvane_fail "wine does not start, see $build/wine-setup.log"

# No proxy and no proxy auto-detection in the prefix (Wine's default without
# this value is auto-detection): no test looks for a PAC file on the network.
# The layout is Windows' DefaultConnectionSettings: version 0x46, a counter,
# flags 1 (direct), then empty proxy, bypass and PAC strings.
"$solvane_root/scripts/wine-run.sh" --prefix "$prefix" reg add \
  'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
  /v DefaultConnectionSettings /t REG_BINARY /f \
  /d 4600000001000000010000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000 \
  >>"$build/wine-setup.log" 2>&1 || {
  echo "test-windows: cannot write the prefix's proxy settings, see $build/wine-setup.log" >&2
  exit 1
}

status=0

# What the shipped exe needs from the system: the GUI subsystem and nothing
# beyond Windows' own DLLs.
exe=$build/SolvaneSetup.exe
x86_64-w64-mingw32-objdump -p "$exe" >"$build/objdump-p.txt"
echo "SolvaneSetup.exe: $(stat -c %s "$exe") bytes"
grep -E '^Subsystem' "$build/objdump-p.txt"
grep -q '(Windows GUI)' "$build/objdump-p.txt" || { echo "not a GUI-subsystem program" >&2; status=1; }
# ASLR with a high-entropy 64-bit base, and no code run from data pages.
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  grep -qw "$flag" "$build/objdump-p.txt" || { echo "SolvaneSetup.exe lacks $flag" >&2; status=1; }
done
system_dlls='^(advapi32|bcrypt|comctl32|crypt32|gdi32|kernel32|msvcrt|ole32|secur32|shell32|user32|winhttp|winmm|wintrust|ws2_32)\.dll$'
while read -r dll; do
  if [[ ${dll,,} =~ $system_dlls ]]; then
    echo "  imports $dll"
  else
    echo "  imports $dll: not a Windows system DLL" >&2
    status=1
  fi
done < <(awk '/DLL Name:/ {print $3}' "$build/objdump-p.txt")

(cd "$build" && ctest --output-on-failure --timeout 900 "$@") >"$build/ctest-windows.log" 2>&1 || status=1
cat "$build/ctest-windows.log"
exit $status

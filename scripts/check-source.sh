#!/usr/bin/env bash
# What review keeps asking for, checked before any build:
#  - every C++ source is formatted as .clang-format says;
#  - in the program and its tool, <windows.h>, _WIN32 and GTK appear only in
#    platform/, ui/ and the entry point app/main.cpp (tests/ and bench/ are
#    not checked: the Windows and GTK tests need them, and shared suites
#    leave out their POSIX-only cases with _WIN32).
# Lists what is wrong and exits 1.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$solvane_root"

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
((${#sources[@]})) || solvane_fail "no C++ sources found (not a git checkout?)"
status=0

if ! clang-format --dry-run --Werror "${sources[@]}" 2>"${TMPDIR:-/tmp}/solvane-format.$$"; then
  echo "not formatted (run: clang-format -i FILE):" >&2
  grep -o '^[^ :]*\.\(cpp\|h\):[0-9]*' "${TMPDIR:-/tmp}/solvane-format.$$" | cut -d: -f1 | sort -u |
    sed 's/^/  /' >&2
  status=1
fi
rm -f "${TMPDIR:-/tmp}/solvane-format.$$"

os_specific='<windows\.h>|\b_WIN32\b|<gtk/|\bGTK_|\bGtk[A-Z]|\bgtk_'
allowed='^(platform/|ui/|app/main\.cpp:|tests/|bench/)'
misplaced=$(git grep -nE "$os_specific" -- "${sources[@]}" | grep -vE "$allowed" || true)
if [[ -n $misplaced ]]; then
  echo "OS or toolkit code outside platform/, ui/ and app/main.cpp:" >&2
  echo "$misplaced" | sed 's/^/  /' >&2
  status=1
fi

((status == 0)) && echo "check-source: ${#sources[@]} files formatted; OS code only where it belongs"
exit $status

#!/usr/bin/env bash
# What review keeps asking for, checked before any build:
#  - every C++ source is formatted as .clang-format says;
#  - in the program and its tool, <windows.h>, _WIN32 and GTK appear only in
#    platform/, ui/ and the entry point app/main.cpp (tests/ and bench/ are
#    not checked: the Windows and GTK tests need them, and shared suites
#    leave out their POSIX-only cases with _WIN32);
#  - each layer of the program includes only its own folder and the folders
#    CMakeLists.txt lets it see (set(solvane_<layer>_sees ...); the entry
#    point app/main.cpp sees everything), and tools/ includes nothing of
#    bench/ or tests/.
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

# The layers and what each may see, as CMakeLists.txt declares them.
declare -A sees
layers=$(sed -nE 's/^set\(solvane_layers (.*)\)$/\1/p' CMakeLists.txt)
[[ -n $layers ]] || solvane_fail "CMakeLists.txt declares no solvane_layers"
for layer in $layers; do
  sees[$layer]="$layer $(sed -nE "s/^set\(solvane_${layer}_sees ?(.*)\)$/\1/p" CMakeLists.txt)"
done
sees[tools]="$layers constants.h tools"
wrong_edges=""
for folder in "${!sees[@]}"; do
  while IFS=: read -r file line included; do
    target=${included%%/*}
    [[ $included == */* ]] || target=$included
    [[ " ${sees[$folder]} " == *" $target "* ]] || wrong_edges+="$file:$line includes $included"$'\n'
  done < <(git grep -nE '^#include "' -- "$folder/*.cpp" "$folder/*.h" ":!app/main.cpp" |
    sed -E 's/^([^:]*):([0-9]*):#include "([^"]*)".*/\1:\2:\3/')
done
if [[ -n $wrong_edges ]]; then
  echo "includes of a folder the layer may not see (CMakeLists.txt, solvane_<layer>_sees):" >&2
  printf '%s' "$wrong_edges" | sort | sed 's/^/  /' >&2
  status=1
fi

((status == 0)) && echo "check-source: ${#sources[@]} files formatted; OS code only where it belongs; layers include only what they see"
exit $status

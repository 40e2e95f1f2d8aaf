#!/usr/bin/env bash
# Figures for a reading of the code's structure, from a checkout: lines per
# folder, the include edges between folders, the longest functions of the
# shipped program, repeated code per folder (with `duplicates`, where it is
# installed) and the unit tests that reach app/. Reads files; builds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

program_folders=(platform state release net log ui app)
present=()
for folder in "${program_folders[@]}"; do [[ -d $folder ]] && present+=("$folder"); done

echo "## lines per folder (code and comments, blank lines left out)"
for folder in "${present[@]}" tools bench tests; do
  printf '%-9s %6d lines in %3d files\n' "$folder" \
    "$(git ls-files "$folder" | grep -E '\.(cpp|h)$' | xargs cat | grep -cv '^[[:space:]]*$')" \
    "$(git ls-files "$folder" | grep -cE '\.(cpp|h)$')"
done

echo
echo "## include edges between folders (how many #include lines)"
git ls-files "${present[@]}" tools bench constants.h | grep -E '\.(cpp|h)$' | while read -r file; do
  from=$(dirname "$file")
  [[ $from == . ]] && from=root
  sed -nE 's/^#include "([^"]+)".*/\1/p' "$file" | while read -r included; do
    to=$(dirname "$included")
    [[ $to == . ]] && to=root
    if [[ $to != "$from" ]]; then echo "$from -> $to"; fi
  done
done | sort | uniq -c | awk '{ printf "%-22s %3d\n", $2 " " $3 " " $4, $1 }'

echo
echo "## the ten longest functions of the shipped program (lines)"
lengths=$(git ls-files "${present[@]}" | grep -E '\.cpp$' |
  xargs ctags --c++-kinds=f --fields=+ne --output-format=u-ctags -f - 2>/dev/null |
  awk -F'\t' '{ line = ""; end = ""
      for (i = 4; i <= NF; i++) { if ($i ~ /^line:/) line = substr($i, 6); if ($i ~ /^end:/) end = substr($i, 5) }
      if (end != "") print end - line + 1, $2 ":" line, $1 }' | sort -rn)
head -10 <<<"$lengths"
count=$(wc -l <<<"$lengths")
median=$(cut -d' ' -f1 <<<"$lengths" | sort -n | sed -n "$(((count + 1) / 2))p")
over=$(awk '$1 > 60' <<<"$lengths" | wc -l)
echo "$count functions, median $median lines, $over over 60"

echo
echo "## repeated code per folder (pairs of six or more lines, from duplicates)"
if command -v duplicates >/dev/null; then
  for folder in "${present[@]}" tools bench tests; do
    printf '%-9s %s\n' "$folder" "$(duplicates --repo "$folder" --most 1 | head -1)"
  done
else
  echo "(duplicates is not installed here)"
fi

echo
echo "## unit tests that reach app/ (test files outside tests/e2e including an app/ header)"
git ls-files tests | grep -E '\.cpp$' | grep -v '^tests/e2e/' | xargs grep -lE '^#include "(app)/' || echo "(none)"

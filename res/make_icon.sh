#!/usr/bin/env bash
# Draws the program icon, res/solvane.ico: eight square 32-bit images (16, 24,
# 32, 48, 64, 96, 128 and 256 pixels) of one design, each rendered at its own
# size from the same vector description rather than scaled from a bitmap.
#
# The design: a rounded tile in deep teal with a lighter rim, a white arrow
# pointing down into an open tray (setting something up), on a transparent
# background. Needs ImageMagick (Debian's imagemagick package).
#
#   res/make_icon.sh [output.ico]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=${1:-$here/solvane.ico}
convert_bin=/usr/bin/convert
[[ -x $convert_bin ]] || convert_bin=convert

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Coordinates are on a 256-pixel grid; each size scales the grid down.
draw_tile() {
  local size=$1 png=$2
  local s
  s=$(awk -v n="$size" 'BEGIN { printf "%.6f", n / 256 }')
  # Thin strokes vanish at small sizes, so they grow as the image shrinks.
  local rim tray
  rim=$(awk -v n="$size" 'BEGIN { w = 10; if (n < 48) w = 16; printf "%d", w }')
  tray=$(awk -v n="$size" 'BEGIN { w = 18; if (n < 48) w = 28; printf "%d", w }')
  "$convert_bin" -size "${size}x${size}" xc:none \
    -draw "affine $s,0,0,$s,0,0 \
           fill '#0B5563' stroke '#2FA3B5' stroke-width $rim \
           roundrectangle 12,12 244,244 44,44" \
    -draw "affine $s,0,0,$s,0,0 \
           fill white stroke none \
           rectangle 110,44 146,132 \
           polygon 74,124 182,124 128,180" \
    -draw "affine $s,0,0,$s,0,0 \
           fill none stroke white stroke-width $tray stroke-linejoin round \
           polyline 60,164 60,206 196,206 196,164" \
    -define png:color-type=6 "PNG32:$png"
}

images=()
for size in 16 24 32 48 64 96 128 256; do
  draw_tile "$size" "$work/icon-$size.png"
  images+=("$work/icon-$size.png")
done

# BMP-coded 32-bit entries for the small sizes; the 256 entry is stored as
# PNG, as Windows expects for that size.
"$convert_bin" "${images[@]}" -define icon:format=bmp "$work/solvane.ico" 2>/dev/null ||
  "$convert_bin" "${images[@]}" "$work/solvane.ico"
mv "$work/solvane.ico" "$out"
echo "make_icon: wrote $out"

#!/usr/bin/env bash
# Draws velmora.ico (32x32 and 16x16): a white upward arrow, for "upgrade",
# on a blue tile in the welcome page's colour. Run once by hand; the .ico is
# committed so that builds need no ImageMagick.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in 32 16; do
  s=$((size - 1))
  # Shapes drawn on a 32-unit grid, scaled to the size.
  scale=$(awk "BEGIN{print $size/32}")
  convert -size ${size}x${size} xc:none \
    -fill 'rgb(80,68,187)' -stroke 'rgb(40,34,110)' -strokewidth 1 \
    -draw "roundrectangle 0,0 $s,$s $((size/6)),$((size/6))" \
    -fill white -stroke none \
    -draw "scale $scale,$scale polygon 16,4 27,16 20,16 20,27 12,27 12,16 5,16" \
    "$tmp/icon$size.png"
done
convert "$tmp/icon32.png" "$tmp/icon16.png" velmora.ico

#!/usr/bin/env bash
# app/res/make-icon.sh — redraws busfinder.ico (16, 32 and 48 px) with ImageMagick: a magnifier over a bus line.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
for size in 16 32 48; do
  convert -size 48x48 xc:none \
    -fill '#2b5797' -stroke none -draw "roundrectangle 2,2 45,45 8,8" \
    -stroke white -strokewidth 3 -draw "line 8,38 40,38" \
    -fill none -stroke '#ffd34e' -strokewidth 4 -draw "circle 21,19 21,9" \
    -stroke '#ffd34e' -strokewidth 5 -draw "line 28,27 36,35" \
    -resize "${size}x${size}" "$tmp/icon-$size.png"
done
convert "$tmp/icon-16.png" "$tmp/icon-32.png" "$tmp/icon-48.png" "$here/busfinder.ico"

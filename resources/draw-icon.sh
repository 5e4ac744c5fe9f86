#!/usr/bin/env bash
# Draws the application icon: a navy card with the red slanted stripe of the
# logos and a white "D", with a chip, once at 256 x 256, and scales it down to
# the sizes desktops ask for:
#   icons/dravik-<N>.png for N in 16 22 24 32 48 64 128 256, and
#   icons/dravik.ico (16, 24, 32, 48, 64, 128, 256) for the Windows build.
# Needs ImageMagick 6 (convert) and the DejaVu fonts (fonts-dejavu-core).
set -euo pipefail
cd "$(dirname "$0")"
mkdir -p icons

bold=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
navy='#1F3A68'
red='#C8102E'
gold='#E8B43A'

# Transparent corners; the card fills the square but for a small margin so
# that a desktop's own frame around it does not cut it.
convert -size 256x256 xc:none \
    -fill "$navy" -draw 'roundrectangle 8,24 247,231 28,28' \
    -fill "$red" -draw 'polygon 64,24 96,24 70,231 38,231' \
    -fill "$gold" -stroke '#8A6A1E' -strokewidth 3 \
    -draw 'roundrectangle 176,46 228,86 8,8' \
    -stroke none -font "$bold" -pointsize 128 -fill white \
    -gravity center -annotate +22+22 'D' \
    -depth 8 -define png:color-type=6 icons/dravik-256.png

for size in 16 22 24 32 48 64 128; do
    convert icons/dravik-256.png -filter Lanczos -resize "${size}x${size}" \
        -depth 8 -define png:color-type=6 "icons/dravik-$size.png"
done

convert icons/dravik-16.png icons/dravik-24.png icons/dravik-32.png icons/dravik-48.png \
    icons/dravik-64.png icons/dravik-128.png icons/dravik-256.png -depth 8 icons/dravik.ico

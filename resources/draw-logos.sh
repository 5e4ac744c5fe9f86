#!/usr/bin/env bash
# Draws the two logos of the window's lower panel as 8-bit indexed BMPs:
#   logo1.bmp 150 x 29 and logo3.bmp 215 x 26.
# Needs ImageMagick 6 (convert) and the DejaVu fonts (fonts-dejavu-core).
# The background is the panel's colour, so the pictures sit on it seamlessly.
set -euo pipefail
cd "$(dirname "$0")"

fonts=/usr/share/fonts/truetype/dejavu
bold="$fonts/DejaVuSans-Bold.ttf"
oblique="$fonts/DejaVuSans-BoldOblique.ttf"
panel='#FFFFDC'
navy='#1F3A68'
red='#C8102E'

# VELMARK in white on a navy plate with a red slanted stripe at its left end.
convert -size 150x29 "xc:$panel" \
    -fill "$navy" -draw 'roundrectangle 0,0 149,28 5,5' \
    -fill "$red" -draw 'polygon 16,0 26,0 18,28 8,28' \
    -font "$bold" -pointsize 17 -fill white \
    -gravity center -annotate +8+0 'VELMARK' \
    -type Palette -colors 256 -compress None BMP3:logo1.bmp

# "Dravik" on a navy tab, "by VELMARK" beside it, underlined in red.
convert -size 215x26 "xc:$panel" \
    -fill "$navy" -draw 'roundrectangle 0,0 92,25 5,5' \
    -font "$oblique" -pointsize 16 -fill white \
    -gravity west -annotate +12+0 'Dravik' \
    -font "$bold" -pointsize 13 -fill "$navy" \
    -annotate +100-1 'by VELMARK' \
    -fill "$red" -draw 'rectangle 100,22 212,23' \
    -type Palette -colors 256 -compress None BMP3:logo3.bmp

#!/usr/bin/env bash
# Draws the program's icon (a diskette with an arrow onto it) in its three
# images with ImageMagick. The PNG files are committed; run this only to
# change the picture.
set -euo pipefail
cd "$(dirname "$0")"

diskette32=(
    -fill '#203c8c' -stroke '#101c44' -draw 'polygon 2,4 26,4 29,7 29,29 2,29'
    -stroke none
    -fill '#c8c8c8' -draw 'rectangle 9,4 22,12'
    -fill '#203c8c' -draw 'rectangle 18,6 20,10'
    -fill '#ffffff' -draw 'rectangle 6,17 25,29'
    -fill '#808080' -draw 'rectangle 8,20 23,20' -draw 'rectangle 8,23 23,23' -draw 'rectangle 8,26 19,26'
    -fill '#20a020' -stroke '#105010' -draw 'polygon 18,13 18,5 20,7 26,1 30,5 24,11 26,13'
)
convert -size 32x32 xc:none "${diskette32[@]}" -colors 16 PNG8:pendrel-32x32-16.png

convert -size 32x32 xc:white -fill black -stroke black \
    -draw 'polygon 2,4 26,4 29,7 29,29 2,29' \
    -fill white -stroke none -draw 'rectangle 9,6 22,12' -draw 'rectangle 6,17 25,27' \
    -fill black -draw 'rectangle 18,7 20,10' \
    -draw 'rectangle 8,20 23,20' -draw 'rectangle 8,23 23,23' \
    -fill white -stroke black -draw 'polygon 18,13 18,5 20,7 26,1 30,5 24,11 26,13' \
    -type bilevel -depth 1 pendrel-32x32-2.png

convert -size 16x16 xc:none \
    -fill '#203c8c' -stroke '#101c44' -draw 'polygon 0,2 13,2 15,4 15,15 0,15' \
    -stroke none \
    -fill '#c8c8c8' -draw 'rectangle 4,2 11,6' \
    -fill '#203c8c' -draw 'rectangle 9,3 10,5' \
    -fill '#ffffff' -draw 'rectangle 3,9 12,15' \
    -fill '#808080' -draw 'rectangle 4,11 11,11' -draw 'rectangle 4,13 11,13' \
    -colors 16 PNG8:pendrel-16x16-16.png

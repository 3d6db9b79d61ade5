#!/bin/sh
# Draws the application icon from primitives: a blue client window with a
# title bar, and a green arrow pointing down into it (an update arriving).
# Each size is drawn on its own grid so that the small ones stay sharp.
# Writes TalvenClient_SET.ico (16, 32 and 48 pixels) beside this script.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# draw SIZE: the picture on a 48-unit grid, scaled to SIZE pixels.
draw() {
  s=$1
  k=$(awk "BEGIN { print $s / 48 }")
  convert -size "${s}x${s}" xc:none \
    -draw "affine $k,0,0,$k,0,0
           fill '#1f4e8c' stroke '#0d2a52' stroke-width 2
           roundrectangle 3,9 45,45 5,5
           fill '#e8eef7' stroke none
           rectangle 7,17 41,41
           fill '#2e9e3e' stroke '#14561c' stroke-width 2
           polygon 18,2 30,2 30,20 38,20 24,36 10,20 18,20" \
    -define png:exclude-chunks=date,time "$work/icon-$s.png"
}

for size in 16 32 48; do draw "$size"; done
convert "$work/icon-16.png" "$work/icon-32.png" "$work/icon-48.png" \
  "$here/TalvenClient_SET.ico"

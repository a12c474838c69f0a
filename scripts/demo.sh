#!/usr/bin/env bash
# The main job on built-in sample data: a numbered sequence of frames made from
# a photo, converted by vekconv into a resized, re-timed TGA sequence and an
# 8-bit dithered palette BMP sequence.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
vekconv="$root/$build/tools/vekconv/vekconv"
out="$root/demo-out"
rm -rf "$out"
mkdir -p "$out/frames" "$out/resized" "$out/palette"

echo "demo: making 24 frames of 320x240 (a pan across $root/tests/data/demo/chelsea_400.png)"
for i in $(seq 0 23); do
  x=$((i * 3)); y=$((i % 12))
  /usr/bin/convert "$root/tests/data/demo/chelsea_400.png" -crop "320x240+$x+$y" +repage \
    -type TrueColor "BMP3:$out/frames/frame$(printf %04d "$i").bmp"
done

echo "demo: 12 fps frames -> 160x120 at 25 fps (duration kept), TGA sequence"
"$vekconv" --size 160x120 --source-rate 12 --rate 25 "$out/resized/clip0000.tga" "$out/frames/frame%04d.bmp"

echo "demo: frames -> 8-bit optimised palette with dithering, BMP sequence"
"$vekconv" --bpp 8 --dither "$out/palette/pal0000.bmp" "$out/frames/*.bmp"

echo "demo: wrote"
for d in resized palette; do
  n=$(ls "$out/$d" | wc -l)
  first=$(ls "$out/$d" | head -1)
  last=$(ls "$out/$d" | tail -1)
  echo "  $out/$d: $n files, $first .. $last"
done

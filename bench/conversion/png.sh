#!/usr/bin/env bash
# 100 BMP frames of 640x480 (a photo panned) into a PNG sequence at the
# default level: vekconv beside ImageMagick's convert at its default PNG
# settings. Runs interleaved, 3 rounds; prints the medians, the sizes and
# the ratio, and checks that every file decodes to the source pixels.
#   bash bench/conversion/png.sh [build-dir] [vekconv]
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/../.." && pwd)
vekconv=${2:-"$root/$build/tools/vekconv/vekconv"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/conversion/common.sh
source "$root/bench/conversion/common.sh"
frames_of_pan "$root" "$work/in"
mkdir -p "$work/vek" "$work/im"
vt=() it=()
for _ in 1 2 3; do
  rm -f "$work"/vek/* "$work"/im/*
  vt+=("$(run "$vekconv" -q "$work/vek/out0000.png" "$work/in/in%04d.bmp")")
  it+=("$(run /usr/bin/convert "$work/in/in%04d.bmp[0-99]" "$work/im/out%04d.png")")
done
v=$(printf '%s\n' "${vt[@]}" | median)
i=$(printf '%s\n' "${it[@]}" | median)
vs=$(cat "$work"/vek/*.png | wc -c)
is=$(cat "$work"/im/*.png | wc -c)
bad=0
for f in "$work"/in/*.bmp; do
  n=$(basename "$f" .bmp); n=${n#in}
  d=$(/usr/bin/compare -metric AE "$f" "$work/vek/out$n.png" null: 2>&1 || true)
  [ "$d" = 0 ] || bad=$((bad + 1))
done
printf 'vekconv     %6.3f s  %9d bytes (%d files, %d differ from the source)\n' "$v" "$vs" \
  "$(ls "$work/vek" | wc -l)" "$bad"
printf 'convert     %6.3f s  %9d bytes (%d files)\n' "$i" "$is" "$(ls "$work/im" | wc -l)"
printf 'png ratio: vekconv is %.2fx the speed of ImageMagick, files %.3fx its size\n' \
  "$(echo "$i / $v" | bc -l)" "$(echo "$vs / $is" | bc -l)"

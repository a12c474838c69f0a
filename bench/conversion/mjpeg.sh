#!/usr/bin/env bash
# 100 BMP frames of 640x480 (a photo panned) into a Motion JPEG AVI at
# quality 90: vekconv beside ffmpeg's single-threaded mjpeg at the same
# quantiser (-q:v 4, full-range 4:2:0). Runs interleaved, 3 rounds; prints
# the medians, the ratio, and each output's size and PSNR against the source.
#   bash bench/conversion/mjpeg.sh [build-dir] [vekconv]
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/../.." && pwd)
vekconv=${2:-"$root/$build/tools/vekconv/vekconv"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/conversion/common.sh
source "$root/bench/conversion/common.sh"
frames_of_pan "$root" "$work/in"
psnr() {  # average PSNR of a movie against the source frames
  ffmpeg -v info -i "$1" -start_number 0 -i "$work/in/in%04d.bmp" \
    -lavfi "[0:v]format=rgb24[a];[1:v]format=rgb24[b];[a][b]psnr" -f null - 2>&1 |
    sed -n 's/.*average:\([0-9.]*\).*/\1/p'
}
vt=() ft=()
for _ in 1 2 3; do
  rm -f "$work/vek.avi" "$work/ff.avi"
  vt+=("$(run "$vekconv" -q -r 25 --codec MJPG --quality 90 "$work/vek.avi" "$work/in/in%04d.bmp")")
  ft+=("$(run ffmpeg -y -v error -threads 1 -framerate 25 -start_number 0 -i "$work/in/in%04d.bmp" \
    -threads 1 -c:v mjpeg -q:v 4 -pix_fmt yuvj420p "$work/ff.avi")")
done
v=$(printf '%s\n' "${vt[@]}" | median)
f=$(printf '%s\n' "${ft[@]}" | median)
printf 'vekconv  %6.3f s  %9d bytes  %s dB\n' "$v" "$(stat -c %s "$work/vek.avi")" "$(psnr "$work/vek.avi")"
printf 'ffmpeg   %6.3f s  %9d bytes  %s dB\n' "$f" "$(stat -c %s "$work/ff.avi")" "$(psnr "$work/ff.avi")"
printf 'mjpeg ratio: vekconv is %.2fx the speed of ffmpeg (1 thread)\n' "$(echo "$f / $v" | bc -l)"

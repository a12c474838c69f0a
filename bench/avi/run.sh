#!/usr/bin/env bash
# 300 BMP frames of 640x480 into an AVI with Motion JPEG and with HuffYUV:
# vekconv beside ffmpeg doing the same job with the same encoder. Prints
# best-of-3 wall time and peak memory of each, and the ratios.
set -euo pipefail
build=${1:-build}
frames=${2:-300}
root=$(cd "$(dirname "$0")/../.." && pwd)
vekconv="$root/$build/tools/vekconv/vekconv"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
/usr/bin/convert "$root/tests/data/demo/chelsea_400.png" -resize '1000x760!' "$work/base.png"
for i in $(seq 0 $((frames - 1))); do
  /usr/bin/convert "$work/base.png" -crop "640x480+$i+$((i % 200))" +repage -type TrueColor \
    "BMP3:$work/in/in$(printf %04d "$i").bmp"
done

measure() {  # name, output, command...
  local name=$1 out=$2; shift 2
  local best=999999 mem=0
  for _ in 1 2 3; do
    rm -f "$out"
    local t0 t1 dt
    t0=$(date +%s.%N)
    /usr/bin/time -o "$work/mem" -f '%M' "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    mem=$(tail -1 "$work/mem")
    dt=$(echo "$t1 - $t0" | bc)
    if (( $(echo "$dt < $best" | bc) )); then best=$dt; fi
  done
  printf '%-14s %7.3f s  %7d KiB  %s frames\n' "$name" "$best" "$mem" \
    "$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$out")"
  eval "${name}_t=$best; ${name}_m=$mem"
}

for codec in MJPG HFYU; do
  case $codec in
    MJPG) ff=(-c:v mjpeg -q:v 5 -pix_fmt yuvj420p) ;;
    HFYU) ff=(-c:v huffyuv -pix_fmt rgb24) ;;
  esac
  echo "== $codec"
  measure "vek_$codec" "$work/vek.avi" "$vekconv" -q --codec "$codec" -r 25 "$work/vek.avi" "$work/in/in%04d.bmp"
  measure "ff_$codec" "$work/ff.avi" ffmpeg -y -v error -framerate 25 -i "$work/in/in%04d.bmp" "${ff[@]}" "$work/ff.avi"
  vt="vek_${codec}_t"; ft="ff_${codec}_t"; vm="vek_${codec}_m"; fm="ff_${codec}_m"
  printf 'ratio: vekconv is %.2fx the speed of ffmpeg, with %.2fx its peak memory\n' \
    "$(echo "${!ft} / ${!vt}" | bc -l)" "$(echo "${!vm} / ${!fm}" | bc -l)"
done

#!/usr/bin/env bash
# 100 BMP frames of 640x480 into a 320x240 TGA sequence: vekconv beside ffmpeg
# doing the same job. Prints best-of-3 wall time and peak memory of each.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/../.." && pwd)
vekconv="$root/$build/tools/vekconv/vekconv"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/vek" "$work/ff"
/usr/bin/convert "$root/tests/data/demo/chelsea_400.png" -resize '760x560!' "$work/base.png"
for i in $(seq 0 99); do
  /usr/bin/convert "$work/base.png" -crop "640x480+$i+$((i % 40))" +repage -type TrueColor \
    "BMP3:$work/in/in$(printf %04d "$i").bmp"
done

measure() {  # name, output folder, command...
  local name=$1 folder=$2; shift 2
  local best=999999 mem=0
  for _ in 1 2 3; do
    rm -f "$folder"/*
    local t0 t1
    t0=$(date +%s.%N)
    /usr/bin/time -o "$work/mem" -f '%M' "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    mem=$(tail -1 "$work/mem")
    local dt; dt=$(echo "$t1 - $t0" | bc)
    if (( $(echo "$dt < $best" | bc) )); then best=$dt; fi
  done
  printf '%-8s %6.3f s  %6d KiB\n' "$name" "$best" "$mem"
  eval "${name}_t=$best; ${name}_m=$mem"
}

measure vekconv "$work/vek" "$vekconv" -q -s 320x240 "$work/vek/out0000.tga" "$work/in/in%04d.bmp"
measure ffmpeg "$work/ff" ffmpeg -y -v error -i "$work/in/in%04d.bmp" -vf scale=320:240 "$work/ff/out%04d.tga"
echo "files: vekconv $(ls "$work/vek" | wc -l), ffmpeg $(ls "$work/ff" | wc -l)"
printf 'ratio: vekconv is %.2fx the speed of ffmpeg, with %.2fx its peak memory\n' \
  "$(echo "$ffmpeg_t / $vekconv_t" | bc -l)" "$(echo "$vekconv_m / $ffmpeg_m" | bc -l)"

#!/usr/bin/env bash
# MPEG jobs, vekconv beside ffmpeg with the same encoders, rates and structure:
#  1. 300 BMP frames of 640x480 with MP2 sound into an MPEG-1 system stream
#     (MPEG-1 video at 9216 kbit/s, 2 B frames, GOP 12; layer II at 160 kbit/s);
#  2. 300 frames of an MPEG-2 program stream decoded to a BMP sequence.
# Prints best-of-3 wall time and peak memory of each, and the ratios.
#   bash bench/mpeg/run.sh [build-dir] [frames]
set -euo pipefail
build=${1:-build}
frames=${2:-300}
root=$(cd "$(dirname "$0")/../.." && pwd)
vekconv="$root/$build/tools/vekconv/vekconv"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/vek" "$work/ff"
ffmpeg -v error -loop 1 -i "$root/tests/data/demo/chelsea_400.png" \
  -vf "scale=760:560,crop=640:480:'mod(n,120)':'mod(n,80)'" -frames:v "$frames" \
  -pix_fmt bgr24 "$work/in/in%04d.bmp"
secs=$(echo "$frames / 25" | bc -l)
ffmpeg -v error -f lavfi -i "sine=frequency=440:sample_rate=44100" -ac 2 -t "$secs" \
  -c:a mp2 -b:a 192k "$work/tone.mp2"
ffmpeg -v error -framerate 25 -i "$work/in/in%04d.bmp" -c:v mpeg2video -b:v 6M -bf 2 -g 12 \
  -f vob "$work/movie.mpg"

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
  printf '%-10s %7.3f s  %7d KiB\n' "$name" "$best" "$mem"
  eval "${name}_t=$best; ${name}_m=$mem"
}
ratio() {  # label, ours, peer
  local ot=${2}_t om=${2}_m pt=${3}_t pm=${3}_m
  printf '%s: vekconv is %.2fx the speed of ffmpeg, with %.2fx its peak memory\n' "$1" \
    "$(echo "${!pt} / ${!ot}" | bc -l)" "$(echo "${!om} / ${!pm}" | bc -l)"
}

echo "== encode: $frames BMP frames 640x480 + MP2 sound -> MPEG-1 system stream"
measure vek_enc "$work/vek" "$vekconv" -q -r 25 -a "$work/tone.mp2" "$work/vek/out.mpg" \
  "$work/in/in%04d.bmp"
measure ff_enc "$work/ff" ffmpeg -y -v error -threads 1 -framerate 25 -i "$work/in/in%04d.bmp" \
  -i "$work/tone.mp2" -c:v mpeg1video -b:v 9216k -bf 2 -g 12 -c:a mp2 -b:a 160k -f mpeg \
  "$work/ff/out.mpg"
measure ff_enc_mt "$work/ff" ffmpeg -y -v error -framerate 25 -i "$work/in/in%04d.bmp" \
  -i "$work/tone.mp2" -c:v mpeg1video -b:v 9216k -bf 2 -g 12 -c:a mp2 -b:a 160k -f mpeg \
  "$work/ff/out.mpg"
ratio "encode (ffmpeg single-threaded)" vek_enc ff_enc
ratio "encode (ffmpeg with its threads)" vek_enc ff_enc_mt

echo "== decode: $frames frames of an MPEG-2 program stream -> BMP sequence"
measure vek_dec "$work/vek" "$vekconv" -q -r 25 "$work/vek/out0001.bmp" "$work/movie.mpg"
measure ff_dec "$work/ff" ffmpeg -y -v error -threads 1 -i "$work/movie.mpg" \
  -fps_mode passthrough "$work/ff/out%04d.bmp"
measure ff_dec_mt "$work/ff" ffmpeg -y -v error -i "$work/movie.mpg" -fps_mode passthrough \
  "$work/ff/out%04d.bmp"
echo "files: vekconv $(ls "$work/vek" | wc -l), ffmpeg $(ls "$work/ff" | wc -l)"
ratio "decode (ffmpeg single-threaded)" vek_dec ff_dec
ratio "decode (ffmpeg with its threads)" vek_dec ff_dec_mt

#!/usr/bin/env bash
# 300 BMP frames of 1280x720 (a photo panned) into MP4 and into WebM with the
# writers' default settings (1125 kilobits per second, a key frame every 25
# frames): vekconv beside ffmpeg with the same settings, in one run. WebM:
# the same encoder (libvpx-vp9, cpu-used 4, good deadline, row threads).
# MP4: Debian's ffmpeg has no OpenH264, so its peer is libx264 (preset
# medium, its default) at the same rate; sizes and PSNR are printed beside
# the times so the two are comparable.
# Both sides use the same thread count. Runs interleaved, ROUNDS times
# (default 1); prints the medians of wall and CPU time and of peak memory,
# the ratios, and each output's size and PSNR against the source.
#   bash bench/conversion/mp4.sh [build-dir] [vekconv]
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/../.." && pwd)
vekconv=${2:-"$root/$build/tools/vekconv/vekconv"}
rounds=${ROUNDS:-1}
frames=${FRAMES:-300}
threads=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/conversion/common.sh
source "$root/bench/conversion/common.sh"
mkdir -p "$work/in"
ffmpeg -v error -loop 1 -i "$root/tests/data/demo/chelsea_400.png" \
  -vf "scale=1600:1120,crop=1280:720:'mod(n*2,320)':'mod(n,400)'" -frames:v "$frames" -start_number 0 \
  -pix_fmt bgr24 "$work/in/in%04d.bmp"

measured() {  # "wall-seconds peak-kilobytes cpu-seconds" of one run of the command
  /usr/bin/time -o "$work/t" -f '%e %M %U %S' "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  awk '{ printf "%s %s %.2f\n", $1, $2, $3 + $4 }' "$work/t"
}
psnr() {  # average PSNR of a movie (limited-range BT.709) against the source frames
  ffmpeg -v info -i "$1" -start_number 0 -i "$work/in/in%04d.bmp" \
    -lavfi "[0:v]scale=in_color_matrix=bt709:in_range=tv,format=rgb24[a];[1:v]format=rgb24[b];[a][b]psnr" \
    -f null - 2>&1 |
    sed -n 's/.*average:\([0-9.]*\).*/\1/p'
}
mid() { grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

ff_in=(-y -v error -framerate 25 -start_number 0 -i "$work/in/in%04d.bmp" -threads "$threads")
# The writers' conversion: limited-range BT.709 4:2:0, and the streams say so.
tags=(-vf "scale=out_color_matrix=bt709:out_range=tv:flags=bicubic+accurate_rnd+full_chroma_inp,format=yuv420p"
      -color_range tv -colorspace bt709 -color_primaries bt709 -color_trc bt709)
declare -A vt vm vc ft fm fc
for _ in $(seq "$rounds"); do
  for ext in mp4 webm; do
    rm -f "$work/vek.$ext" "$work/ff.$ext"
    read -r t m c < <(measured "$vekconv" -q -r 25 --threads "$threads" "$work/vek.$ext" "$work/in/in%04d.bmp")
    vt[$ext]+="$t"$'\n' vm[$ext]+="$m"$'\n' vc[$ext]+="$c"$'\n'
    if [ "$ext" = mp4 ]; then
      peer=(ffmpeg "${ff_in[@]}" -c:v libx264 -b:v 1125k -g 25 -preset medium "${tags[@]}" -movflags +faststart "$work/ff.mp4")
    else
      peer=(ffmpeg "${ff_in[@]}" -c:v libvpx-vp9 -b:v 1125k -g 25 -cpu-used 4 -row-mt 1 -deadline good
            "${tags[@]}" "$work/ff.webm")
    fi
    read -r t m c < <(measured "${peer[@]}")
    ft[$ext]+="$t"$'\n' fm[$ext]+="$m"$'\n' fc[$ext]+="$c"$'\n'
  done
done
echo "$frames frames 1280x720, $threads threads, median of $rounds round(s)"
for ext in mp4 webm; do
  v=$(mid <<<"${vt[$ext]}") f=$(mid <<<"${ft[$ext]}")
  a=$(mid <<<"${vm[$ext]}") b=$(mid <<<"${fm[$ext]}")
  c=$(mid <<<"${vc[$ext]}") d=$(mid <<<"${fc[$ext]}")
  peer=$([ "$ext" = mp4 ] && echo "ffmpeg libx264" || echo "ffmpeg libvpx-vp9")
  printf '%-4s vekconv            %7.2f s (%7.2f CPU)  %7d KB peak  %9d bytes  %s dB\n' "$ext" "$v" "$c" "$a" \
    "$(stat -c %s "$work/vek.$ext")" "$(psnr "$work/vek.$ext")"
  printf '%-4s %-18s %7.2f s (%7.2f CPU)  %7d KB peak  %9d bytes  %s dB\n' "$ext" "$peer" "$f" "$d" "$b" \
    "$(stat -c %s "$work/ff.$ext")" "$(psnr "$work/ff.$ext")"
  printf '%-4s ratios, vekconv over %s (below 1: vekconv is faster or smaller): wall time %.2f, CPU time %.2f, peak memory %.2f\n' \
    "$ext" "$peer" "$(echo "$v / $f" | bc -l)" "$(echo "$c / $d" | bc -l)" "$(echo "$a / $b" | bc -l)"
done

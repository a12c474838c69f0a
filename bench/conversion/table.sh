#!/usr/bin/env bash
# The README's performance table: whole vekconv processes beside ffmpeg and
# ImageMagick doing the same jobs on 100 frames of 640x480 of a panning photo,
# each on one core (taskset -c 0, peers with one thread) and on all cores.
# Runs are interleaved (ours, peer, ours, peer, ...) and the medians kept,
# so that a busy machine weighs on both sides alike; wall and CPU (user +
# system) seconds are both given. Rewrites the marked block of README.md
# unless NO_README=1. ONLY=REGEX measures only the jobs whose names match and
# replaces (or adds) just their rows in README.md.
#   bash bench/conversion/table.sh [build-dir] [repeats]
set -euo pipefail
build=${1:-build}
reps=${2:-3}
root=$(cd "$(dirname "$0")/../.." && pwd)
vekconv="$root/$build/tools/vekconv/vekconv"
frames=${FRAMES:-100}
cvid_frames=${CVID_FRAMES:-20}  # ffmpeg's Cinepak encoder is very slow
cores=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/out"
ffmpeg -v error -loop 1 -i "$root/tests/data/demo/chelsea_400.png" \
  -vf "scale=760:560,crop=640:480:'mod(n,120)':'mod(n,80)'" -frames:v "$frames" \
  -pix_fmt bgr24 -start_number 0 "$work/in/in%04d.bmp"
# Shorter jobs read the first frames from a folder of their own.
mkdir -p "$work/in$frames" "$work/in$cvid_frames"
for f in "$work"/in/in*.bmp; do
  i=$((10#$(basename "$f" .bmp | tr -dc 0-9)))
  ln -s "$f" "$work/in$frames/"
  if ((i < cvid_frames)); then ln -sf "$f" "$work/in$cvid_frames/"; fi
done

# One timed run: prints "wall cpu" seconds.
timed() {
  rm -rf "$work/out" && mkdir -p "$work/out"
  /usr/bin/time -o "$work/t" -f '%e %U %S' "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/t"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

rows=()
# job name, our command, peer name, peer 1-thread command, peer all-thread
# command ("{out}" and "{in}" are replaced; "{n}" is the frame count), and
# optionally fewer frames for the peer, whose times are then scaled up.
job() {
  local name=$1 ours=$2 peer=$3 peer1=$4 peerN=$5 pn=${6:-$frames}
  if [ -n "${ONLY:-}" ] && ! grep -Eq "$ONLY" <<<"$name"; then return; fi
  local -A wall cpu
  local r cfg
  for cfg in o1 oN p1 pN; do wall[$cfg]=""; cpu[$cfg]=""; done
  for ((r = 0; r < reps; r++)); do
    for cfg in o1 p1 oN pN; do
      local cmd pin=() n=$frames
      case $cfg in
        o1) cmd="$ours"; pin=(taskset -c 0) ;;
        oN) cmd="$ours" ;;
        p1) cmd="$peer1"; pin=(taskset -c 0); n=$pn ;;
        pN) cmd="$peerN"; n=$pn ;;
      esac
      cmd=${cmd//\{out\}/$work/out}
      cmd=${cmd//\{in\}/$work/in$n}
      cmd=${cmd//\{n\}/$n}
      local t; t=$(timed "${pin[@]}" env MAGICK_THREAD_LIMIT=$([ "$cfg" = p1 ] && echo 1 || echo "$cores") bash -c "$cmd")
      wall[$cfg]+="${t% *} "; cpu[$cfg]+="${t#* } "
    done
  done
  local m=() c
  for cfg in o1 oN p1 pN; do
    m+=("$(tr ' ' '\n' <<<"${wall[$cfg]}" | grep . | median)")
    c+="$(tr ' ' '\n' <<<"${cpu[$cfg]}" | grep . | median) "
  done
  read -r c1 cN q1 qN <<<"$c"
  local row
  row=$(awk -v j="$name" -v p="$peer" -v n="$frames" -v pn="$pn" -v o1="${m[0]}" -v oN="${m[1]}" -v p1="${m[2]}" -v pN="${m[3]}" \
    -v c1="$c1" -v cN="$cN" -v q1="$q1" -v qN="$qN" 'BEGIN {
      k = n / pn
      if (pn != n) p = p sprintf(" (%d frames, times x%g)", pn, k)
      p1 *= k; pN *= k; q1 *= k; qN *= k
      printf "| %s | %.2f s (%.2f CPU) | %.2f s (%.2f CPU) | %.2fx | %s | %.2f s (%.2f CPU) | %.2f s (%.2f CPU) | %.2f | %.2f |",
        j, o1, c1, oN, cN, o1 / oN, p, p1, q1, pN, qN, o1 / p1, oN / pN }')
  echo "$row"
  rows+=("$row")
}

V=$vekconv
job "Motion JPEG AVI, quality 90" "$V -q --codec MJPG --quality 90 {out}/o.avi {in}/in%04d.bmp" \
  "ffmpeg mjpeg -q:v 4" \
  "ffmpeg -v error -i {in}/in%04d.bmp -c:v mjpeg -q:v 4 -pix_fmt yuvj420p -threads 1 {out}/o.avi" \
  "ffmpeg -v error -i {in}/in%04d.bmp -c:v mjpeg -q:v 4 -pix_fmt yuvj420p -threads $cores {out}/o.avi"
job "MPEG-1" "$V -q {out}/o.mpg {in}/in%04d.bmp" \
  "ffmpeg mpeg1video -q:v 2 -bf 2 -g 12" \
  "ffmpeg -v error -i {in}/in%04d.bmp -c:v mpeg1video -q:v 2 -bf 2 -g 12 -threads 1 -f mpeg {out}/o.mpg" \
  "ffmpeg -v error -i {in}/in%04d.bmp -c:v mpeg1video -q:v 2 -bf 2 -g 12 -threads $cores -f mpeg {out}/o.mpg"
job "PNG sequence, default level" "$V -q {out}/o0000.png {in}/in%04d.bmp" \
  "ImageMagick convert" \
  "convert {in}/in*.bmp {out}/o%04d.png" \
  "convert {in}/in*.bmp {out}/o%04d.png"
job "Cinepak AVI (our encoder)" "$V -q --codec cvid {out}/o.avi {in}/in%04d.bmp" \
  "ffmpeg cinepak" \
  "ffmpeg -v error -i {in}/in%04d.bmp -frames:v {n} -c:v cinepak -threads 1 {out}/o.avi" \
  "ffmpeg -v error -i {in}/in%04d.bmp -frames:v {n} -c:v cinepak -threads $cores {out}/o.avi" "$cvid_frames"
job "HAV lossless (BEST)" "$V -q {out}/o.hav {in}/in%04d.bmp" \
  "ffmpeg ffv1" \
  "ffmpeg -v error -i {in}/in%04d.bmp -c:v ffv1 -threads 1 {out}/o.mkv" \
  "ffmpeg -v error -i {in}/in%04d.bmp -c:v ffv1 -slices 4 -threads $cores {out}/o.mkv"
job "8-bit dithered BMP sequence" "$V -q -b 8 -d {out}/o0000.bmp {in}/in%04d.bmp" \
  "ffmpeg palettegen+paletteuse" \
  "ffmpeg -v error -i {in}/in%04d.bmp -filter_complex 'split[a][b];[a]palettegen[p];[b][p]paletteuse' -filter_threads 1 -threads 1 {out}/o%04d.bmp" \
  "ffmpeg -v error -i {in}/in%04d.bmp -filter_complex 'split[a][b];[a]palettegen[p];[b][p]paletteuse' {out}/o%04d.bmp"
# The extension formats with their default settings (1125 kilobits per second,
# a key frame every 25). Debian's ffmpeg has no OpenH264: the MP4 peer is
# libx264 at the same rate; WebM's peer is the same VP9 encoder and settings.
job "MP4 (H.264, OpenH264), 1125 kbit/s" "$V -q -r 25 {out}/o.mp4 {in}/in%04d.bmp" \
  "ffmpeg libx264 -b:v 1125k -g 25" \
  "ffmpeg -v error -i {in}/in%04d.bmp -c:v libx264 -b:v 1125k -g 25 -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -threads 1 {out}/o.mp4" \
  "ffmpeg -v error -i {in}/in%04d.bmp -c:v libx264 -b:v 1125k -g 25 -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -threads $cores {out}/o.mp4"
job "WebM (VP9), 1125 kbit/s" "$V -q -r 25 {out}/o.webm {in}/in%04d.bmp" \
  "ffmpeg libvpx-vp9 -b:v 1125k -g 25 -cpu-used 4" \
  "ffmpeg -v error -i {in}/in%04d.bmp -c:v libvpx-vp9 -b:v 1125k -g 25 -cpu-used 4 -row-mt 1 -deadline good -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -threads 1 {out}/o.webm" \
  "ffmpeg -v error -i {in}/in%04d.bmp -c:v libvpx-vp9 -b:v 1125k -g 25 -cpu-used 4 -row-mt 1 -deadline good -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -threads $cores {out}/o.webm"

table=$(
  echo "Measured by \`make bench\` (bench/conversion/table.sh) on $(date -u +%Y-%m-%d), $frames frames, $cores cores,"
  echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end; medians of $reps interleaved runs,"
  echo "wall seconds with CPU seconds (user + system) beside them. 1 core: \`taskset -c 0\`, peers"
  echo "with one thread; ratio: our wall time over the peer's (below 1: we are faster)."
  echo
  echo "| job | ours, 1 core | ours, $cores cores | speed-up | peer | peer, 1 core | peer, $cores cores | ratio, 1 core | ratio, $cores cores |"
  echo "|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
)
if [ "${NO_README:-0}" != 1 ] && [ -n "${ONLY:-}" ]; then
  # Only the measured rows change; the rest of the table stands.
  NOTE="Rows measured alone (ONLY='$ONLY') on $(date -u +%Y-%m-%d), $reps run(s), load average $(cut -d' ' -f1-3 /proc/loadavg) at the end." \
  ROWS="$(printf '%s\n' "${rows[@]}")" python3 - "$root/README.md" <<'PY'
import os, sys
path = sys.argv[1]
lines = open(path).read().split("\n")
end = lines.index("<!-- performance table: end -->")
for row in filter(None, os.environ["ROWS"].split("\n")):
    key = row.split(" | ")[0] + " | "
    at = [i for i, l in enumerate(lines[:end]) if l.startswith(key)]
    if at:
        lines[at[0]] = row
    else:
        last = max(i for i, l in enumerate(lines[:end]) if l.startswith("| "))
        lines.insert(last + 1, row)
        end += 1
# One note under the table says which rows were measured apart from the rest.
lines = [l for l in lines if not l.startswith("Rows measured alone")]
end = lines.index("<!-- performance table: end -->")
lines[end:end] = ["", os.environ["NOTE"]] if lines[end - 1] != "" else [os.environ["NOTE"]]
open(path, "w").write("\n".join(lines))
PY
elif [ "${NO_README:-0}" != 1 ]; then
  TABLE="$table" python3 - "$root/README.md" <<'PY'
import os, re, sys
path = sys.argv[1]
text = open(path).read()
begin, end = "<!-- performance table: begin -->", "<!-- performance table: end -->"
block = begin + "\n" + os.environ["TABLE"] + "\n" + end
if begin in text:
    text = re.sub(re.escape(begin) + ".*?" + re.escape(end), lambda m: block, text, flags=re.S)
else:
    text = text.rstrip("\n") + "\n\n## Performance\n\n" + block + "\n"
open(path, "w").write(text)
PY
fi
echo "$table"

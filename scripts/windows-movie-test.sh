#!/bin/bash
# The extension formats of a Windows DLL under Wine: a Windows host
# (tests/windows/vek_movie_host.cpp) turns them on, writes MP4 (H.264, AAC)
# and WebM (VP9, Opus) from BMP frames and a tone, and reads movies back into
# PNG frames, its own and MOV, Matroska and transport stream files made here
# by ffmpeg. Checked here with ffprobe/ffmpeg: codecs, size, frame counts,
# the moov atom ahead of the data, the pictures against the sources, and our
# decoding against ffmpeg's.
#   scripts/windows-movie-test.sh [windows build folder] [triple]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
triple=${2:-i686-w64-mingw32}
source scripts/windows-triple.sh
build=${1:-$default_build}
echo "== movie files, $triple ($build)"
bash scripts/windows-build.sh "$build" "$triple" vek vek_movie_host >/dev/null

failures=0
check() {  # description, command...
  local what=$1; shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}

export WINEPREFIX=$root/$build/wineprefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  rm -rf "$WINEPREFIX"
  "${wine_cmd[@]}" wineboot -i </dev/null >/dev/null 2>&1
fi
# A resident server and the prefix's own processes, started with no pipe of
# ours (see scripts/windows-test.sh); ended on leaving only when started here.
if wineserver -p </dev/null >/dev/null 2>&1; then
  trap 'wineserver -k 2>/dev/null || true' EXIT
fi
"${wine_cmd[@]}" wineboot </dev/null >/dev/null 2>&1

# ---- inputs: 24 frames 320x240 moving across a photograph, a 2 s tone, and
# movies of the other containers made by ffmpeg ----
work=$root/$build/movie-test
rm -rf "$work"
mkdir -p "$work"
for i in $(seq 0 23); do
  convert tests/data/api/astronaut_64.png -resize '320x240!' -roll +$((i * 9))+$((i * 3)) -type TrueColor \
    "BMP3:$work/mv$(printf %04d $i).bmp"
done
sox -n -r 48000 -c 2 -b 16 "$work/tone.wav" synth 2.0 sine 440 sine 660 vol 0.5
made() {  # output, video codec arguments...
  local out=$1; shift
  ffmpeg -v error -y -framerate 12 -i "$work/mv%04d.bmp" -i "$work/tone.wav" -pix_fmt yuv420p "$@" \
    -shortest "$work/$out"
}
made in.mov -c:v mpeg4 -q:v 3 -c:a pcm_s16le
made in.mkv -c:v libvpx -b:v 1M -c:a libvorbis
made in.ts -c:v libx264 -preset veryfast -crf 20 -c:a mp2
cp "$root/$build/libvek-2.3.2.dll" "$root/$build/tests/windows/vek_movie_host.exe" "$work/"

start=$(date +%s%N)
(cd "$work" && "${wine_cmd[@]}" vek_movie_host.exe libvek-2.3.2.dll "$("${wine_cmd[@]}" winepath -w "$work")" \
   >"$work/stdout.txt" 2>&1) && rc=0 || rc=$?
echo "      (the Windows host ran for $((($(date +%s%N) - start) / 1000000)) ms)"
check "host: loaded, ran and unloaded the DLL (exit $rc)" test "$rc" = 0

result() { tr -d '\r' <"$work/results.txt" 2>/dev/null | awk -v n="$1" '$1 == n {$1=""; print substr($0, 2)}'; }
status_of() { result "$1" | awk '{print $1}'; }
probe() { ffprobe -v error -show_entries "stream=$2" -of csv=p=0 "$1" 2>/dev/null | tr '\n' ' ' | sed 's/ *$//'; }
psnr_avg() {  # two frame sources, frame by frame in order, compared as RGB: the average PSNR
  local pair='settb=1/12,setpts=N,format=rgb24' a=() b=()
  [[ $1 != *%* ]] || a=(-framerate 12)
  [[ $2 != *%* ]] || b=(-framerate 12)
  ffmpeg -v info "${a[@]}" -i "$1" "${b[@]}" -i "$2" \
    -filter_complex "[0:v]$pair[a];[1:v]$pair[b];[a][b]psnr" -f null - 2>&1 |
    grep -o 'average:[0-9.inf]*' | cut -d: -f2 | sed 's/inf/99/'
}
rgb() { ffmpeg -v error -i "$1" -f rawvideo -pix_fmt rgb24 - 2>/dev/null | md5sum | cut -c1-32; }
at_least() { awk "BEGIN{exit !(${1:-0} >= $2)}"; }

# ---- writing ----
off=$(result formats_off_mp4_id)
for kind in mp4 webm; do
  id=$(result ${kind}_id)
  check "$kind: an extension id while the formats are on ($id; $off while off)" \
    bash -c "[ '${id:-0}' -ge 20 ] && [ '$off' != '$id' ]"
  check "$kind: Windows status $(result $kind)" test "$(status_of $kind)" = 0
done
check "mp4: H.264 and AAC, 320x240 ($(probe "$work/out.mp4" codec_name,width,height))" \
  test "$(probe "$work/out.mp4" codec_name,width,height)" = "h264,320,240 aac"
check "webm: VP9 and Opus, 320x240 ($(probe "$work/out.webm" codec_name,width,height))" \
  test "$(probe "$work/out.webm" codec_name,width,height)" = "vp9,320,240 opus"
faststart=$(python3 - "$work/out.mp4" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
pos, order = 0, []
while pos + 8 <= len(data):
    size, kind = struct.unpack('>I4s', data[pos:pos + 8])
    if size == 1: size = struct.unpack('>Q', data[pos + 8:pos + 16])[0]
    if size < 8: break
    order.append(kind.decode('latin-1')); pos += size
print(' '.join(order))
PY
)
check "mp4: the moov atom ahead of the data ($faststart)" \
  bash -c "[[ '$faststart' == *moov*mdat* ]]"
for kind in mp4 webm; do
  f=$work/out.$kind
  n=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$f" 2>/dev/null)
  check "$kind: 24 frames decode (${n:-none})" test "${n:-0}" = 24
  p=$(psnr_avg "$f" "$work/mv%04d.bmp")
  check "$kind: the pictures within 30 dB of the sources (${p:-none} dB)" at_least "$p" 30
  d=$(ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 "$f" 2>/dev/null)
  [ -n "$d" ] && [ "$d" != N/A ] ||
    d=$(ffmpeg -v error -i "$f" -map 0:a:0 -f s16le -ac 1 -ar 48000 - 2>/dev/null | wc -c | awk '{print $1 / 96000}')
  check "$kind: 2 s of sound ($d s)" awk "BEGIN{exit !(${d:-0} > 1.9 && ${d:-0} < 2.2)}"
  # The sound is the tone: its loudest frequency.
  freq=$(ffmpeg -v error -i "$f" -map 0:a:0 -ac 1 -f wav - 2>/dev/null | sox -t wav - -n stat 2>&1 |
    awk '/Rough   frequency/{print $3}')
  check "$kind: the tone's sound (${freq:-none} Hz)" awk "BEGIN{exit !(${freq:-0} > 380 && ${freq:-0} < 720)}"
done

# ---- reading: our frames against ffmpeg's decoding of the same file ----
for r in mp4:rmp4_ webm:rwebm_ mov:rmov_ mkv:rmkv_ ts:rts_; do
  kind=${r%%:*} prefix=${r#*:} name=read_${r%%:*}
  movie=$work/out.$kind
  [ -f "$movie" ] || movie=$work/in.$kind
  check "$name: Windows status $(result $name)" test "$(status_of $name)" = 0
  want=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$movie" 2>/dev/null |
    awk 'NF && !n++')  # (a transport stream lists its program's streams again)
  got=$(ls "$work/$prefix"[0-9]*.png 2>/dev/null | wc -l)
  check "$name: as many frames as ffmpeg decodes ($got of ${want:-none})" test "$got" = "${want:-x}"
  p=$(psnr_avg "$work/${prefix}%04d.png" "$movie")
  check "$name: the frames within 40 dB of ffmpeg's decoding (${p:-none} dB)" at_least "$p" 40
  check "${name}_still: the first frame as a still ($(result ${name}_still))" \
    bash -c "[ '$(status_of ${name}_still)' = 0 ] && [ '$(rgb "$work/${prefix}_first.png")' = '$(rgb "$work/${prefix}0000.png")' ]"
done
# Backwards: the same frames in the other order.
fw=$(for f in "$work"/rmp4_[0-9]*.png; do rgb "$f"; done)
bw=$(for f in "$work"/bmp4_[0-9]*.png; do rgb "$f"; done | tac)
check "back_mp4: status $(result back_mp4), the forward frames in reverse ($(echo "$bw" | grep -c .) frames)" \
  bash -c "[ '$(status_of back_mp4)' = 0 ] && [ -n '$fw' ] && [ '$fw' = '$bw' ]"
check "unload: no memory or files left behind (trace)" \
  bash -c "[ -f '$work/trace.txt' ] && ! grep -qE 'not freed|not closed|Monitoring failure' '$work/trace.txt'"

echo
if [ $failures -gt 0 ]; then
  echo "windows-movie-test ($triple): $failures check(s) failed (outputs in $work)"
  exit 1
fi
echo "windows-movie-test ($triple): all checks passed"

#!/bin/bash
# Tests a Windows DLL under Wine (the 32-bit one under Wine's 32-bit loader,
# the 64-bit one under wine64):
#  - the export table (undecorated names, exactly those of vek.h) and the
#    imports (nothing but Windows' own DLLs);
#  - a Windows host program that loads the DLL with LoadLibrary and
#    GetProcAddress converts BMP frames into TGA, PNG, JPEG, TIFF, HAV, FLIC,
#    MPEG, AVI (DIB and MRLE, with sound) and WAV, draws on a device context,
#    exchanges bitmaps and draws text; the same host built for Linux does the
#    same with the Linux library; the outputs of both are checked here with
#    ffprobe/ffmpeg, ImageMagick and sox, against the inputs and each other.
#   scripts/windows-test.sh [windows build folder] [linux build folder] [triple]
# The triple is i686-w64-mingw32 (the default) or x86_64-w64-mingw32.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
triple=${3:-i686-w64-mingw32}
case $triple in
  i686-w64-mingw32) default_build=build-windows pe_format=pei-i386 ;;
  x86_64-w64-mingw32) default_build=build-windows-x64 pe_format=pei-x86-64 ;;
  *) echo "unknown triple $triple (i686-w64-mingw32 or x86_64-w64-mingw32)" >&2; exit 2 ;;
esac
build=${1:-$default_build}
linux_build=${2:-build}
sudo_cmd=()
[ "$(id -u)" = 0 ] || sudo_cmd=(sudo)

# Wine with its 32-bit loader: wine64 alone runs 32-bit programs as a silent
# no-op that exits 0.
if [ "$triple" = i686-w64-mingw32 ]; then
  if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed"; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
    "${sudo_cmd[@]}" apt-get update -q
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q wine wine32:i386
  fi
  wine_cmd=(wine)
else
  # Debian's "wine" starts the 32-bit loader whenever wine32 is installed;
  # the 64-bit one is called by its own path.
  if ! dpkg-query -W -f='${Status}' wine64 2>/dev/null | grep -q "ok installed"; then
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q wine wine64
  fi
  export WINELOADER=/usr/lib/wine/wine64
  wine_cmd=("$WINELOADER")
fi
# The oracles.
for need in /usr/bin/convert /usr/bin/ffprobe /usr/bin/ffmpeg /usr/bin/sox; do
  [ -e $need ] || { "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    imagemagick ffmpeg sox; break; }
done

echo "== $triple ($build)"
bash scripts/windows-build.sh "$build" "$triple" >/dev/null
dll=$root/$build/libvek-2.3.2.dll
host=$root/$build/tests/windows/vek_host.exe
# The Linux library and the same host, for the reference outputs.
if [ ! -f "$linux_build/build.ninja" ]; then
  cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$linux_build" -j"${JOBS:-$(nproc)}" --target vek vek_host vekconv >/dev/null

failures=0
pass() { echo "ok    $*"; }
fail() { echo "FAIL  $*"; failures=$((failures + 1)); }
check() {  # description, command...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# ---- export and import tables ----
objdump=$triple-objdump
check "dll: $pe_format ($($objdump -f "$dll" | awk '/file format/{print $NF}'))" \
  test "$($objdump -f "$dll" | awk '/file format/{print $NF}')" = "$pe_format"
check "host: $pe_format ($($objdump -f "$host" | awk '/file format/{print $NF}'))" \
  test "$($objdump -f "$host" | awk '/file format/{print $NF}')" = "$pe_format"
exports=$($objdump -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1; next} t && /^[ \t]*\[/{print $NF} t && /^$/{t=0}')
declared=$(grep -o 'VEKAPI \**Vek[A-Za-z0-9_]*(' include/vek/vek.h | sed 's/VEKAPI \**//; s/($//' | sort -u)
check "exports: $(echo "$exports" | wc -l) names, as many as vek.h declares ($(echo "$declared" | wc -l))" \
  test "$(echo "$exports" | sort -u)" = "$declared"
check "exports: none decorated (no @n)" bash -c "! grep -q '@' <<<'$exports'"
imports=$($objdump -p "$dll" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
check "imports: only system DLLs ($(echo $imports))" bash -c "! grep -qvE '^(kernel32|user32|gdi32|msvcrt|avifil32|msvfw32|msacm32|winmm|ole32|advapi32|bcrypt|api-ms-win-.*|ws2_32|shell32)\.dll$' <<<'$imports'"

# ---- Wine ----
export WINEPREFIX=$root/$build/wineprefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  rm -rf "$WINEPREFIX"
  "${wine_cmd[@]}" wineboot -i >/dev/null 2>&1
fi
# A resident server makes every later start fast; it is ended when we leave.
# It and the prefix's own processes (services, device and plug-and-play
# servers, started by wineboot) get no terminal or pipe of ours: whoever
# starts them first lends them its standard output and error, and a reader
# of those (CTest, a pipe into tee) would wait for them for as long as the
# server lives.
wineserver -p </dev/null >/dev/null 2>&1 || true  # already resident: fine
"${wine_cmd[@]}" wineboot </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT

# ---- inputs: frames rolled sideways, a white picture and a tone ----
work=$root/$build/windows-test
rm -rf "$work"
mkdir -p "$work/in" "$work/win" "$work/linux"
for i in $(seq 0 9); do
  convert tests/data/api/astronaut_64.png -roll +$((i * 6))+0 -resize '64x48!' -type TrueColor \
    "BMP3:$work/in/in$(printf %04d $i).bmp"
done
convert -size 96x40 xc:white -type TrueColor "BMP3:$work/in/white.bmp"
sox -n -r 22050 -c 1 -b 16 "$work/in/tone.wav" synth 1.0 sine 440 vol 0.5
cp "$work"/in/* "$work/win/"
cp "$work"/in/* "$work/linux/"
cp "$dll" "$host" "$work/win/"
# Our Cinepak compressor's output, for the system's own decoder to read.
"$root/$linux_build/tools/vekconv/vekconv" -q -r 10 "$work/win/cvid_in.avi" "$work/in/in%04d.bmp" >/dev/null 2>&1 ||
  fail "the Linux build wrote no Cinepak movie"

start=$(date +%s%N)
(cd "$work/win" && "${wine_cmd[@]}" vek_host.exe libvek-2.3.2.dll "$("${wine_cmd[@]}" winepath -w "$work/win")" \
   >"$work/win/stdout.txt" 2>&1) && rc=0 || rc=$?
echo "      (the Windows host ran for $((($(date +%s%N) - start) / 1000000)) ms)"
check "Windows host: loaded, ran and unloaded the DLL (exit $rc)" test "$rc" = 0
"$root/$linux_build/tests/windows/vek_host" "$root/$linux_build/libvek-2.3.2.so" "$work/linux" \
  >"$work/linux/stdout.txt" 2>&1 || fail "Linux host exited with $?"

status_of() { awk -v n="$2" '$1 == n {print $2}' "$work/$1/results.txt" 2>/dev/null; }
for job in tga png jpeg tiff xpm hav flic mpeg avi_dib avi_mrle wav wav_acm dib_roundtrip draw text; do
  s=$(status_of win $job)
  check "$job: Windows status ${s:-missing} ($(awk -v n=$job '$1 == n {$1=$2=""; print}' "$work/win/results.txt"))" test "$s" = 0
done
s=$(status_of win avi_default)
check "avi_default (Cinepak): written, or refused with an error (status ${s:-missing})" \
  bash -c "[ '$s' = 0 ] && ffprobe -v error '$work/win/cvid.avi' >/dev/null || [ '$s' = 1000 ]"

rgb() { ffmpeg -v error -i "$1" -f rawvideo -pix_fmt rgb24 - | md5sum | cut -c1-32; }
psnr() {  # whole decibels, 999 for identical pictures
  { compare -metric PSNR "$1" "$2" null: 2>&1 || true; } | awk 'NR == 1 {print ($1 == "inf" || $1 == "0") ? 999 : int($1)}'
}

# Lossless stills: the inputs' pixels, exactly.
for ext in tga png tif; do
  same=0
  for i in $(seq 0 9); do
    f=$(printf "%s%04d.%s" $ext $i $ext)
    [ -f "$work/win/$f" ] && [ "$(rgb "$work/win/$f")" = "$(rgb "$work/in/in$(printf %04d $i).bmp")" ] &&
      same=$((same + 1))
  done
  check "$ext: 10 frames with the inputs' pixels ($same)" test $same = 10
done
# XPM, written by the library's own code: the inputs' pixels, as ImageMagick reads them.
same=0
for i in $(seq 0 9); do
  f=$(printf "xpm%04d.xpm" $i)
  [ -f "$work/win/$f" ] && [ "$(psnr "$work/win/$f" "$work/in/in$(printf %04d $i).bmp")" = 999 ] && same=$((same + 1))
done
check "xpm: 10 frames with the inputs' pixels ($same)" test $same = 10
# JPEG: close to the input, and the same as the Linux build's (same libjpeg).
low=999
for i in $(seq 0 9); do
  f=$(printf "jpg%04d.jpg" $i)
  p=$(psnr "$work/win/$f" "$work/in/in$(printf %04d $i).bmp" || echo 0)
  [ "$p" -lt "$low" ] && low=$p
done
check "jpeg: every frame above 28 dB against its input (lowest $low dB)" test "$low" -ge 28
check "jpeg: the same bytes as the Linux build's" cmp -s "$work/win/jpg0005.jpg" "$work/linux/jpg0005.jpg"

# HAV: the library's own format; the Linux build reads the Windows file back.
"$root/$linux_build/tools/vekconv/vekconv" -q -r 10 "$work/hav0000.png" "$work/win/out.hav" >/dev/null 2>&1 || true
same=0
for i in $(seq 0 9); do
  f=$(printf "$work/hav%04d.png" $i)
  [ -f "$f" ] && [ "$(psnr "$f" "$work/in/in$(printf %04d $i).bmp")" -ge 30 ] && same=$((same + 1))
done
check "hav: the Linux build reads the Windows file, 10 frames above 30 dB ($same)" test $same = 10

frames() {  # file, stream: decoded frames as raw RGB, one md5 a frame
  ffmpeg -v error -i "$1" -map 0:v:0 -f framemd5 -pix_fmt rgb24 - 2>/dev/null | grep -v '^#' | awk -F', *' '{print $NF}'
}
# FLIC: 8 bits through the palette optimiser, which must decide as on Linux.
wf=$(frames "$work/win/out.flc"); lf=$(frames "$work/linux/out.flc")
check "flic: $(echo "$wf" | grep -c .) frames (10 and the loop frame), pixel for pixel the Linux build's" \
  bash -c "[ $(echo "$wf" | grep -c .) -ge 10 ] && [ '$(echo "$wf" | md5sum)' = '$(echo "$lf" | md5sum)' ]"

probe() { ffprobe -v error -show_entries "stream=$2" -of csv=p=0 "$1" 2>/dev/null | tr '\n' ' ' | sed 's/ $//'; }
# MPEG with sound.
check "mpeg: MPEG-1 video and layer 2 sound ($(probe "$work/win/out.mpg" codec_name))" \
  test "$(probe "$work/win/out.mpg" codec_name | tr ' ' '\n' | sort | tr '\n' ' ')" = "mp2 mpeg1video "
mpsnr=$(ffmpeg -i "$work/win/out.mpg" -i "$work/linux/out.mpg" -filter_complex '[0:v][1:v]psnr' \
  -f null - 2>&1 | grep -o 'average:[0-9.inf]*' | cut -d: -f2 || true)
check "mpeg: video as the Linux build's (PSNR ${mpsnr:-none})" \
  bash -c "[ '$mpsnr' = inf ] || awk 'BEGIN{exit !(${mpsnr:-0} >= 35)}'"

# AVI, uncompressed frames with sound and an INFO text.
check "avi_dib: rawvideo and pcm_s16le ($(probe "$work/win/dib.avi" codec_name))" \
  test "$(probe "$work/win/dib.avi" codec_name)" = "rawvideo pcm_s16le"
want=$(for i in $(seq 0 9); do rgb "$work/in/in$(printf %04d $i).bmp"; done)
check "avi_dib: the 10 frames are the inputs' pixels" test "$(frames "$work/win/dib.avi")" = "$want"
check "avi_dib: INFO comment kept" \
  bash -c "ffprobe -v error -show_entries format_tags=comment -of csv=p=0 '$work/win/dib.avi' | grep -q 'made by vek_host'"
sound() { ffmpeg -v error -i "$1" -map 0:a:0 -f s16le -ac 1 -ar 22050 - 2>/dev/null | md5sum | cut -c1-32; }
tone=$(sound "$work/in/tone.wav")
check "avi_dib: the sound is the tone, sample for sample" test "$(sound "$work/win/dib.avi")" = "$tone"
# AVI, Microsoft RLE at 8 bits (Windows' encoder): close to the inputs.
check "avi_mrle: msrle and pcm_s16le ($(probe "$work/win/mrle.avi" codec_name))" \
  test "$(probe "$work/win/mrle.avi" codec_name)" = "msrle pcm_s16le"
ffmpeg -v error -y -i "$work/win/mrle.avi" -map 0:v "$work/mrle%02d.png"
low=999
for i in $(seq 0 9); do
  f=$(printf "$work/mrle%02d.png" $((i + 1)))
  p=$([ -f "$f" ] && psnr "$f" "$work/in/in$(printf %04d $i).bmp" || echo 0)
  [ "$p" -lt "$low" ] && low=$p
done
check "avi_mrle: 10 frames above 25 dB against the inputs (lowest $low dB)" test "$low" -ge 25
check "avi_mrle: the sound is the tone" test "$(sound "$work/win/mrle.avi")" = "$tone"
# WAV through mmio.
check "wav: 22050 Hz, 1 channel, 16 bits ($(soxi -r "$work/win/out.wav" 2>/dev/null) $(soxi -c "$work/win/out.wav" 2>/dev/null) $(soxi -b "$work/win/out.wav" 2>/dev/null))" \
  test "$(soxi -r "$work/win/out.wav") $(soxi -c "$work/win/out.wav") $(soxi -b "$work/win/out.wav")" = "22050 1 16"
check "wav: the tone, sample for sample, as on Linux" \
  bash -c "[ '$(sound "$work/win/out.wav")' = '$tone' ] && [ '$(sound "$work/linux/out.wav")' = '$tone' ]"
# WAV in another format, through the Audio Compression Manager: the format
# asked for, and still the tone (pitch by zero crossings, level by RMS; the
# converters of Windows and Linux need not agree sample for sample).
acm=$work/win/acm.wav
check "wav_acm: 11025 Hz, 2 channels, 8 bits ($(soxi -r "$acm" 2>/dev/null) $(soxi -c "$acm" 2>/dev/null) $(soxi -b "$acm" 2>/dev/null))" \
  test "$(soxi -r "$acm" 2>/dev/null) $(soxi -c "$acm" 2>/dev/null) $(soxi -b "$acm" 2>/dev/null)" = "11025 2 8"
freq=$(sox "$acm" -n remix 1 stat 2>&1 | awk '/Rough   frequency/{print $3}')
rms=$(sox "$acm" -n remix 1 stat 2>&1 | awk '/RMS     amplitude/{print $3}')
check "wav_acm: a 440 Hz tone about as loud as the input (${freq:-none} Hz, RMS ${rms:-none})" \
  awk "BEGIN{exit !(${freq:-0} > 420 && ${freq:-0} < 460 && ${rms:-0} > 0.30 && ${rms:-0} < 0.40)}"
check "wav_acm: as long as the tone ($(soxi -D "$acm" 2>/dev/null) s)" \
  awk "BEGIN{exit !($(soxi -D "$acm" 2>/dev/null || echo 0) > 0.95 && $(soxi -D "$acm" 2>/dev/null || echo 0) < 1.05)}"

# Cinepak written by the Linux build, decoded by Windows' Cinepak decoder
# (ICDecompress through AVIFile) as FFmpeg decodes it.
check "cvid_read: Windows status $(status_of win cvid_read)" test "$(status_of win cvid_read)" = 0
check "cvid_read: written as Cinepak ($(probe "$work/win/cvid_in.avi" codec_name))" \
  test "$(probe "$work/win/cvid_in.avi" codec_name)" = "cinepak"
ffmpeg -v error -y -i "$work/win/cvid_in.avi" -map 0:v "$work/cvid%02d.png"
low=999
for i in $(seq 0 9); do
  f=$(printf "$work/win/cvr%04d.png" $i)
  p=$([ -f "$f" ] && psnr "$f" "$(printf "$work/cvid%02d.png" $((i + 1)))" || echo 0)
  [ "$p" -lt "$low" ] && low=$p
done
check "cvid_read: 10 frames as FFmpeg decodes them (lowest $low dB)" test "$low" -ge 40

# Bitmaps and device contexts.
check "dib_roundtrip: the picture comes back unchanged" \
  test "$(rgb "$work/win/roundtrip.bmp")" = "$(rgb "$work/in/in0000.bmp")"
check "draw: the context's pixels are the picture's ($(grep draw_pixels "$work/win/results.txt" | cut -d' ' -f2-))" \
  grep -q "^draw_pixels 0 mismatches" "$work/win/results.txt"
check "draw: read back from the DIB section at (3, 2)" \
  test "$(convert "$work/win/drawn.bmp" -crop 64x48+3+2 +repage -depth 8 rgb:- | md5sum | cut -c1-32)" = "$(convert "$work/in/in0000.bmp" -depth 8 rgb:- | md5sum | cut -c1-32)"
# Text through GDI's fonts: ink where the Linux build puts ink, give or take the font.
ink() { convert "$1" -colorspace gray -threshold 50% -negate -format '%[fx:int(mean*w*h)]' info: 2>/dev/null || echo 0; }
wi=$(ink "$work/win/text.bmp"); li=$(ink "$work/linux/text.bmp")
check "text: drawn through GDI ($wi dark pixels; Linux $li)" \
  bash -c "[ $wi -gt 50 ] && [ $((wi * 2)) -gt $li ] && [ $wi -lt $((li * 2)) ]"

# Unload: the leak report in the trace is empty.
check "unload: no memory or files left behind (trace)" \
  bash -c "[ -f '$work/win/trace.txt' ] && ! grep -qE 'not freed|not closed|Monitoring failure' '$work/win/trace.txt'"

# ---- the library's unit tests, cross-built, under CTest and Wine ----
# Every GoogleTest program of the Windows build; on the 64-bit DLL the
# platform, format and API suites (VEK_WINDOWS_SUITES overrides either list).
if [ "$triple" = i686-w64-mingw32 ]; then
  suites=${VEK_WINDOWS_SUITES:-all}
else
  suites=${VEK_WINDOWS_SUITES:-foundation_tests sound_tests sound_files_tests avi_tests api_images_draw \
still_tests still_libs_tests still_raster_tests animation_tests hav_tests mpeg_tests engine_tests \
api_tests host_tests unload_tests api_images_host text_host_tests}
fi
if [ "$suites" = none ]; then
  echo "      unit tests: not run (VEK_WINDOWS_SUITES=none)"
elif [ "$suites" = all ]; then
  bash scripts/windows-build.sh "$build" "$triple" all >/dev/null
  labels=()
else
  # shellcheck disable=SC2086
  bash scripts/windows-build.sh "$build" "$triple" $suites >/dev/null
  labels=(-L "^($(tr ' ' '|' <<<"$suites"))\$")
fi
# (The dialogs below restart the server; the prefix's processes were
# started above, away from CTest's output pipes.)
junit=$root/$build/unit-tests.xml
start=$(date +%s)
if [ "$suites" != none ]; then
(cd "$build" && DISPLAY= ctest -j"${VEK_CTEST_JOBS:-2}" --output-on-failure --output-junit "$junit" \
   "${labels[@]}" >"$root/$build/unit-tests.log" 2>&1) && rc=0 || rc=$?
grep -E '^[0-9]+% tests passed|^The following tests FAILED|^\s+[0-9]+ - .*(Failed|Timeout|Not Run|Exception)' \
  "$root/$build/unit-tests.log" | sed 's/^/      /' || true
summary=$(python3 scripts/windows-unit-summary.py "$junit")
echo "$summary" | sed 's/^/      /'
check "unit tests: all passed under Wine in $(($(date +%s) - start)) s (log $build/unit-tests.log)" test "$rc" = 0
fi

# ---- dialogs: each opened through its export on a private Xvfb display ----
dialogs=$(bash scripts/windows-dialogs.sh "$build" "$work/dialogs" 2>&1) || true
while read -r name verdict detail; do
  [ -n "$name" ] || continue
  check "dialog $name: $verdict $detail" test "$verdict" = ok
done <<<"$(grep -E '^[a-z_]+ (ok|FAIL)' <<<"$dialogs")"
check "dialogs: all 24 cases ran" test "$(grep -cE '^[a-z_]+ (ok|FAIL)' <<<"$dialogs")" -ge 24

echo
if [ $failures -gt 0 ]; then
  echo "windows-test ($triple): $failures check(s) failed (outputs in $work)"
  exit 1
fi
echo "windows-test ($triple): all checks passed"

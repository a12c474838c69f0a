#!/usr/bin/env bash
# Usage: vekconv_test.sh VEKCONV DATA_DIR [VEKCONV_SOURCE]
set -uo pipefail
vekconv=$1
data=$2
source=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
photo=$(ls "$data"/* | head -1)
/usr/bin/convert "$photo" -resize 64x48! "BMP3:$work/a.bmp" || fail "no test frame"
echo "not an image" > "$work/b.bmp"

# All good: exit 0 and a summary of what was written.
"$vekconv" -q "$work/ok.tga" "$work/a.bmp" 2> "$work/err" || fail "good input: exit $?"
grep -q "wrote 1 frame(s) to $work/ok.tga" "$work/err" || fail "summary: $(cat "$work/err")"

# A missing and an unreadable input: both named, both counted, exit non-zero,
# and the good frame still written.
"$vekconv" -q "$work/out.tga" "$work/a.bmp" "$work/missing.bmp" "$work/b.bmp" 2> "$work/err"
status=$?
[ $status -ne 0 ] || fail "skipped inputs gave exit 0"
grep -q "skipped $work/missing.bmp" "$work/err" || fail "missing input not named: $(cat "$work/err")"
grep -q "skipped $work/b.bmp" "$work/err" || fail "unreadable input not named: $(cat "$work/err")"
grep -q "wrote 1 frame(s) to $work/out.tga in .*; skipped 2 input(s)" "$work/err" ||
  fail "summary: $(cat "$work/err")"
ls "$work"/out*.tga >/dev/null 2>&1 || fail "the good frame was not written"

# A wildcard that matches nothing is a skipped input too.
"$vekconv" -q "$work/w.tga" "$work/a.bmp" "$work/none*.bmp" 2> "$work/err" && fail "empty wildcard gave exit 0"
grep -q "no files match" "$work/err" || fail "empty wildcard not named"

# The palette refinement option runs and --help lists the formats.
"$vekconv" -q -b 8 --refine-palette 4 "$work/p.bmp" "$work/a.bmp" 2> "$work/err" || fail "refined palette: $(cat "$work/err")"
"$vekconv" --help > "$work/help" || fail "--help: exit $?"
grep -q "Ogg Vorbis" "$work/help" || fail "help lists no formats"

# A picture stored on its side comes out upright, as ImageMagick's
# -auto-orient shows it; --stored-orientation keeps the stored rows.
/usr/bin/convert "$work/a.bmp" -orient RightTop -compress lzw "$work/side.tif" || fail "no turned picture"
/usr/bin/convert "$work/side.tif" -auto-orient "$work/up_im.bmp" || fail "no upright oracle"
"$vekconv" -q "$work/up.bmp" "$work/side.tif" 2> "$work/err" || fail "turned picture: $(cat "$work/err")"
[ "$(/usr/bin/compare -metric AE "$work/up.bmp" "$work/up_im.bmp" null: 2>&1)" = 0 ] ||
  fail "turned picture does not load upright"
"$vekconv" -q --stored-orientation "$work/st.bmp" "$work/side.tif" 2> "$work/err" || fail "stored order: $(cat "$work/err")"
[ "$(/usr/bin/identify -format %wx%h "$work/st.bmp")" = 64x48 ] || fail "--stored-orientation turned the picture"

# Adjustments and a caption in the function stage: the caption changes pixels
# where it is drawn and leaves the rest of the frame alone.
"$vekconv" -q "$work/plain.bmp" "$work/a.bmp" 2> "$work/err" || fail "plain copy: $(cat "$work/err")"
"$vekconv" -q --text "Hi" --font-size 10 --text-color ff0000 --text-pos 2,2 "$work/cap.bmp" "$work/a.bmp" 2> "$work/err" ||
  fail "caption: $(cat "$work/err")"
changed_in=$(/usr/bin/compare -metric AE "$work/plain.bmp[20x14+0+0]" "$work/cap.bmp[20x14+0+0]" null: 2>&1 || true)
changed_out=$(/usr/bin/compare -metric AE "$work/plain.bmp[30x20+30+26]" "$work/cap.bmp[30x20+30+26]" null: 2>&1 || true)
[ "${changed_in%% *}" -gt 5 ] 2>/dev/null || fail "caption drew nothing ($changed_in)"
[ "${changed_out%% *}" = 0 ] || fail "caption changed pixels away from it ($changed_out)"
"$vekconv" -q --gamma 1.5 --brightness 10 --sharpen "$work/adj.bmp" "$work/a.bmp" 2> "$work/err" || fail "adjustments: $(cat "$work/err")"
"$vekconv" -q --gamma 9 "$work/bad.bmp" "$work/a.bmp" 2>/dev/null; [ $? -eq 64 ] || fail "gamma 9 accepted"
"$vekconv" -q --text-style heavy --text x "$work/bad.bmp" "$work/a.bmp" 2>/dev/null; [ $? -eq 64 ] || fail "unknown style accepted"
# Without a display the output settings dialog fails clearly instead of hanging.
DISPLAY= "$vekconv" -q --dialog "$work/d.bmp" "$work/a.bmp" 2> "$work/err"
[ $? -eq 2 ] || fail "dialog without display: $(cat "$work/err")"
grep -q "No display available for dialogs." "$work/err" || fail "dialog error: $(cat "$work/err")"
# --help names every option the program takes.
if [ -n "$source" ]; then
  opts=$(grep -o 'strcmp(a, "--[a-z0-9-]*")' "$source" | sed 's/.*"\(--[^"]*\)".*/\1/' | sort -u)
  [ "$(echo "$opts" | wc -l)" -gt 30 ] || fail "options not found in $source"
  for opt in $opts; do
    grep -q -- "$opt\b" "$work/help" || fail "--help does not name $opt"
  done
fi

# An opaque caption is readable by default: white text on a black box (a
# white box before), and --text-background picks the box's colour.
/usr/bin/convert -size 64x48 xc:white "BMP3:$work/white.bmp" || fail "no white frame"
"$vekconv" -q --text "Hi" --text-opaque --text-pos 2,2 "$work/op.bmp" "$work/white.bmp" 2> "$work/err" ||
  fail "opaque caption: $(cat "$work/err")"
dark=$(/usr/bin/convert "$work/op.bmp" -crop 20x14+2+2 +repage -threshold 50% -negate -format '%[fx:mean*w*h]' info:)
[ "${dark%.*}" -gt 60 ] 2>/dev/null || fail "default opaque box is not dark ($dark dark pixels)"
"$vekconv" -q --text "Hi" --text-opaque --text-background 0000ff --text-pos 2,2 "$work/blue.bmp" "$work/white.bmp" \
  2> "$work/err" || fail "text background: $(cat "$work/err")"
blue=$(/usr/bin/convert "$work/blue.bmp" -crop 20x14+2+2 +repage -fx '(b>0.9&&r<0.1&&g<0.1)?1:0' -format '%[fx:mean*w*h]' info:)
[ "${blue%.*}" -gt 60 ] 2>/dev/null || fail "box is not blue ($blue blue pixels)"
"$vekconv" -q --text-background blue --text x "$work/bad.bmp" "$work/a.bmp" 2>/dev/null
[ $? -eq 64 ] || fail "bad background colour accepted"

# UTF-8 on the command line draws as Windows-1252: the same pixels as the
# Windows-1252 bytes themselves; a character outside it draws as "?".
"$vekconv" -q --text "Grüße €" "$work/utf8.bmp" "$work/a.bmp" 2> "$work/err" || fail "utf-8 text: $(cat "$work/err")"
"$vekconv" -q --text $'Gr\xfc\xdfe \x80' "$work/cp.bmp" "$work/a.bmp" 2> "$work/err" || fail "cp1252 text: $(cat "$work/err")"
"$vekconv" -q --text $'Gr\xc3\x83\xc2\xbc' "$work/mojibake.bmp" "$work/a.bmp" 2>/dev/null
cmp -s "$work/utf8.bmp" "$work/cp.bmp" || fail "UTF-8 text not drawn as Windows-1252"
cmp -s "$work/utf8.bmp" "$work/mojibake.bmp" && fail "text drawn the same whatever it says"
"$vekconv" -q --text "Ω" "$work/omega.bmp" "$work/a.bmp" 2>/dev/null || fail "text outside Windows-1252"
"$vekconv" -q --text "?" "$work/question.bmp" "$work/a.bmp" 2>/dev/null || fail "question mark"
cmp -s "$work/omega.bmp" "$work/question.bmp" || fail "a character outside Windows-1252 is not drawn as ?"

# A movie into an unnumbered still name: the numbered sequence, one file
# per frame, and the summary counts them.
for i in 01 02 03 04 05 06 07 08 09 10 11 12; do cp "$work/a.bmp" "$work/f$i.bmp"; done
"$vekconv" -q "$work/movie.hav" "$work/f*.bmp" 2> "$work/err" || fail "movie: $(cat "$work/err")"
"$vekconv" -q "$work/seq.tga" "$work/movie.hav" 2> "$work/err" || fail "movie to stills: $(cat "$work/err")"
grep -q "wrote 12 frame(s)" "$work/err" || fail "summary: $(cat "$work/err")"
[ "$(ls "$work"/seq*.tga | wc -l)" = 12 ] || fail "not 12 files: $(ls "$work"/seq*.tga)"
[ -f "$work/seq00.tga" ] && [ -f "$work/seq11.tga" ] && [ ! -f "$work/seq.tga" ] || fail "names: $(ls "$work"/seq*)"
/usr/bin/identify "$work/seq11.tga" > /dev/null 2>&1 || fail "the last frame is no picture"

# A fresh job writes MPEG-1 at about the standard 1125 kilobits per second
# (9000 before): one second of a moving photo.
if command -v ffprobe > /dev/null; then
  photo=$(ls "$data"/* | head -1)
  for i in $(seq -w 1 30); do
    /usr/bin/convert "$photo" -resize 480x360! -crop "320x240+$((10#$i * 4))+$((10#$i * 2))" +repage "BMP3:$work/pan$i.bmp"
  done
  "$vekconv" -q "$work/rate.mpg" "$work/pan*.bmp" 2> "$work/err" || fail "mpeg: $(cat "$work/err")"
  frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$work/rate.mpg")
  [ "$frames" = 30 ] || fail "mpeg frames: $frames"
  kbits=$(( $(stat -c %s "$work/rate.mpg") * 8 / 1000 ))
  [ "$kbits" -ge 300 ] && [ "$kbits" -le 1400 ] || fail "mpeg rate $kbits kilobits per second"
fi

# Worker threads leave our own encoders' files unchanged: Cinepak (strips and
# codebook searches spread over threads) and HAV, one thread against four.
photo=$(ls "$data"/* | head -1)
for i in 1 2 3; do
  /usr/bin/convert "$photo" -resize 680x500! -crop "640x480+$((i * 9))+$((i * 4))" +repage "BMP3:$work/big$i.bmp"
done
"$vekconv" --threads 0 x.avi a.bmp 2> "$work/err" && fail "--threads 0 accepted"
for out in t.avi t.hav; do
  codec=(); [ "$out" = t.avi ] && codec=(--codec cvid)
  for n in 1 4; do
    "$vekconv" -q --threads $n "${codec[@]}" "$work/$n$out" "$work/big*.bmp" 2> "$work/err" ||
      fail "$out with $n threads: $(cat "$work/err")"
  done
  cmp -s "$work/1$out" "$work/4$out" || fail "$out differs between 1 and 4 threads"
done
echo "vekconv: ok"

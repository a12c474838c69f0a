#!/usr/bin/env bash
# Usage: vekconv_test.sh VEKCONV DATA_DIR
set -uo pipefail
vekconv=$1
data=$2
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
"$vekconv" --help | grep -q "Ogg Vorbis" || fail "help lists no formats"

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
echo "vekconv: ok"

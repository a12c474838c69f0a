#!/usr/bin/env bash
# The main job on built-in sample data: a numbered sequence of frames made from
# a photo, converted by vekconv into a resized, re-timed TGA sequence, an 8-bit
# dithered palette BMP sequence, movies (HAV, FLIC, MPEG, GIF read back, MP4
# and WebM with sound),
# PNG/JPEG/TIFF stills and sound (WAV, Ogg Vorbis). Formats whose module is not
# in this build are reported and passed over.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
vekconv="$root/$build/tools/vekconv/vekconv"
out="$root/demo-out"
rm -rf "$out"
mkdir -p "$out/frames" "$out/resized" "$out/palette" "$out/movies" "$out/stills" "$out/sound"

echo "demo: making 24 frames of 320x240 (a pan across $root/tests/data/demo/chelsea_400.png)"
for i in $(seq 0 23); do
  x=$((i * 3)); y=$((i % 12))
  /usr/bin/convert "$root/tests/data/demo/chelsea_400.png" -crop "320x240+$x+$y" +repage \
    -type TrueColor "BMP3:$out/frames/frame$(printf %04d "$i").bmp"
done

echo "demo: 12 fps frames -> 160x120 at 25 fps (duration kept), TGA sequence"
"$vekconv" --size 160x120 --source-rate 12 --rate 25 "$out/resized/clip0000.tga" "$out/frames/frame%04d.bmp"

echo "demo: frames -> 8-bit optimised palette with dithering, BMP sequence"
"$vekconv" --bpp 8 --dither "$out/palette/pal0000.bmp" "$out/frames/*.bmp"

# One step that may fail without stopping the demo.
step() {
  local what=$1
  shift
  echo "demo: $what"
  "$@" || echo "demo:   (not done: exit $?)"
}
step "frames -> lossless HAV movie (HAV-FAST), then read back into PNG frames" \
  "$vekconv" -q "$out/movies/clip.hav" "$out/frames/frame%04d.bmp"
step "HAV movie -> PNG sequence" "$vekconv" -q "$out/stills/hav0000.png" "$out/movies/clip.hav"
step "frames -> 8-bit FLIC animation" "$vekconv" -q --bpp 8 "$out/movies/clip.flc" "$out/frames/frame%04d.bmp"
step "frames -> MPEG-1 video at 25 fps" "$vekconv" -q --rate 25 "$out/movies/clip.mpg" "$out/frames/frame%04d.bmp"
step "frames -> AVI with Motion JPEG" "$vekconv" -q --codec MJPG "$out/movies/clip.avi" "$out/frames/frame%04d.bmp"
step "frames -> AVI with the default codec (Cinepak)" "$vekconv" -q "$out/movies/clip_cinepak.avi" "$out/frames/frame%04d.bmp"
step "frames -> animated GIF (our palette and frame differencing)" \
  "$vekconv" -q --dither "$out/movies/clip.gif" "$out/frames/frame%04d.bmp"
/usr/bin/convert -delay 8 "$out/frames/frame000[0-7].bmp" -loop 0 "$out/movies/pan.gif"
step "animated GIF -> JPEG sequence (quality 90)" \
  "$vekconv" -q --quality 90 "$out/stills/gif0000.jpg" "$out/movies/pan.gif"
step "frames -> TIFF (LZW) and Sun raster sequences" \
  "$vekconv" -q --codec 5 "$out/stills/tif0000.tif" "$out/frames/frame000%d.bmp"
"$vekconv" -q "$out/stills/ras0000.ras" "$out/frames/frame000%d.bmp" || true
step "frames -> sharpened, warmer MPEG with a caption and frame numbers on every frame" \
  "$vekconv" -q --rate 25 --sharpen --gamma 1.2 --white-balance 230,240,255 \
  --text "libvek demo  frame %d" --font "DejaVu Sans" --font-size 14 --text-style bold \
  --text-border --text-pos 10,200 "$out/movies/caption.mpg" "$out/frames/frame%04d.bmp"
"$vekconv" -q --text "libvek" --font-size 28 --text-shadow --text-color ffd040 \
  "$out/stills/caption.png" "$out/frames/frame0000.bmp" || true
sox -n -r 44100 -c 2 -b 16 "$out/sound/tone.wav" synth 2 sine 440 2>/dev/null || true
step "WAV tone -> Ogg Vorbis" "$vekconv" -q --audio "$out/sound/tone.wav" "$out/sound/tone.ogg"
step "HAV movie with sound" \
  "$vekconv" -q --audio "$out/sound/tone.wav" "$out/movies/clip_sound.hav" "$out/frames/frame%04d.bmp"
step "frames with the tone -> MP4 (H.264 and AAC, plays in a browser while it loads)" \
  "$vekconv" -q --rate 25 --audio "$out/sound/tone.wav" "$out/movies/clip.mp4" "$out/frames/frame%04d.bmp"
step "frames with the tone -> WebM (VP9 and Opus)" \
  "$vekconv" -q --rate 25 --audio "$out/sound/tone.wav" "$out/movies/clip.webm" "$out/frames/frame%04d.bmp"
step "MP4 movie -> PNG sequence (read back)" "$vekconv" -q "$out/stills/mp40000.png" "$out/movies/clip.mp4"
for f in "$out/movies/clip.hav" "$out/movies/clip.flc" "$out/movies/clip.gif" "$out/movies/clip_sound.hav" "$out/sound/tone.ogg" \
  "$out/movies/clip.mp4" "$out/movies/clip.webm"; do
  [ -f "$f" ] && "$vekconv" --info "$f"
done

echo "demo: wrote"
for d in resized palette movies stills sound; do
  n=$(ls "$out/$d" | wc -l)
  first=$(ls "$out/$d" | head -1)
  last=$(ls "$out/$d" | tail -1)
  echo "  $out/$d: $n files, $first .. $last"
done

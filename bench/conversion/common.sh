# Shared by the whole-process benchmarks of this folder (sourced): the 100
# BMP frames of 640x480 of a panned photo in "$work/in", and the timing helpers.
frames_of_pan() {  # root, folder
  mkdir -p "$2"
  ffmpeg -v error -loop 1 -i "$1/tests/data/demo/chelsea_400.png" \
    -vf "scale=760:560,crop=640:480:'mod(n,120)':'mod(n,80)'" -frames:v 100 -start_number 0 \
    -pix_fmt bgr24 "$2/in%04d.bmp"
}
median() { sort -n | sed -n 2p; }
run() {  # seconds of one run of the command
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc
}

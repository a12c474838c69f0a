#!/bin/bash
# Runs the dialog host of the Windows build under Wine on a private Xvfb
# display: every dialog opened through its export, worked, OK and Cancel
# checked against the job record; then once without a display.
#   scripts/windows-dialogs.sh <windows build folder> <work folder> [shots]
# With "shots" the dialogs are also written as PNGs into docs/screenshots/windows/.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$1
work=$(realpath -m "$2")
mode=${3:-}
export WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$root/$build/wineprefix}
# The loader of the DLL's bitness (the 64-bit one is named by WINELOADER).
wine=${WINELOADER:-wine}
cmake --build "$build" --target vek_dialogs >/dev/null || exit 1
rm -rf "$work"
mkdir -p "$work"
cp "$build/libvek-2.3.2.dll" "$build/tests/windows/vek_dialogs.exe" "$work/"
# Pictures for the preview's file list.
for i in 0 1 2; do convert -size 64x48 "xc:rgb($((i * 100)),80,40)" -type TrueColor "BMP3:$work/in$i.bmp"; done
display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'wineserver -k 2>/dev/null; kill $xvfb 2>/dev/null' EXIT
for _ in $(seq 50); do DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# Wine's desktop takes the display of the server's first program: a server
# started without one (by other tests) is ended first.
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
export DISPLAY=$display
[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1
# Wine draws the windows' frames itself (no window manager on Xvfb).
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
rc=0
(cd "$work" && DISPLAY=$display timeout 120 "$wine" vek_dialogs.exe libvek-2.3.2.dll "$("$wine" winepath -w "$work")" $mode) \
  >"$work/results.txt" 2>"$work/stderr.txt" || rc=$?
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
echo >>"$work/results.txt"
(cd "$work" && DISPLAY= timeout 60 "$wine" vek_dialogs.exe libvek-2.3.2.dll "$("$wine" winepath -w "$work")" nodisplay) \
  >>"$work/results.txt" 2>>"$work/stderr.txt" || rc=$?
cat "$work/results.txt"
if [ "$mode" = shots ]; then
  mkdir -p docs/screenshots/windows
  for f in "$work"/*.bmp; do
    convert "$f" -strip "docs/screenshots/windows/$(basename "${f%.bmp}").png"
  done
fi
exit $rc

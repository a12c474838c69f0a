#!/usr/bin/env bash
# Usage: install_test.sh BUILD_DIR CMAKE
set -euo pipefail
build=$1
cmake=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

mkdir -p "$work/host"
cat > "$work/host/host.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <vek/vek.h>

int main(void) {
  VekJob* job = VekAlloc();
  VekList* list = VekListAlloc();
  VekLastError e;
  char text[1100];
  if (!job || !list) return 1;
  VekFree(job);
  VekFree(job); /* freed twice: refused with an error */
  VekGetLastError(&e);
  VekMakeErrorStr(&e, text);
  VekListFree(list);
  printf("%d.%d.%d %d %s\n", VEK_VERSION_MAJOR, VEK_VERSION_MINOR, VEK_VERSION_PATCH, e.status, text);
  return e.status == VEK_STATUS_ERROR && strcmp(text, "Invalid job handle.") == 0 ? 0 : 2;
}
C
cat > "$work/host/CMakeLists.txt" <<'C'
cmake_minimum_required(VERSION 3.16)
project(host C)
find_package(vek 2.3 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE vek::vek)
C
expect="2.3.2 1000 Invalid job handle."
"$cmake" -S "$work/host" -B "$work/host-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake" --build "$work/host-build" >/dev/null
out=$(LD_LIBRARY_PATH="$prefix/lib" "$work/host-build/host")
[ "$out" = "$expect" ] || { echo "find_package host printed: $out"; exit 1; }

pc=$(find "$prefix" -name vek.pc -printf '%h\n' | head -1)
flags=$(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs vek)
cc -std=c99 -o "$work/host-pc" "$work/host/host.c" $flags
out=$(LD_LIBRARY_PATH="$(dirname "$pc")" "$work/host-pc")
[ "$out" = "$expect" ] || { echo "pkg-config host printed: $out"; exit 1; }
test -x "$prefix/bin/vekconv"
"$prefix/bin/vekconv" --help >/dev/null
# The licence and the notices go with the library.
for f in LICENSE NOTICES.md licenses/LGPL-2.1.txt licenses/ffmpeg.txt; do test -s "$prefix/share/doc/libvek/$f"; done
echo "install: both hosts built and ran against $prefix"

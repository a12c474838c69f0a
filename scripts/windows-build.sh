#!/bin/bash
# Builds a Windows DLL (libvek-2.3.2.dll) and the Windows host program with
# mingw-w64, against the cross-built libraries of scripts/windows-deps.sh
# (cached per triple after the first run).
#   scripts/windows-build.sh [build folder] [triple] [target...]
# The targets default to the DLL and the host; "all" builds the unit tests too.
# The triple is i686-w64-mingw32 (32-bit, the default, in build-windows) or
# x86_64-w64-mingw32 (64-bit, in build-windows-x64 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
triple=${2:-i686-w64-mingw32}
case $triple in
  i686-w64-mingw32) toolchain=cmake/mingw-i686.cmake default_build=build-windows ;;
  x86_64-w64-mingw32) toolchain=cmake/mingw-x86_64.cmake default_build=build-windows-x64 ;;
  *) echo "unknown triple $triple (i686-w64-mingw32 or x86_64-w64-mingw32)" >&2; exit 2 ;;
esac
build=${1:-$default_build}
deps=$(bash scripts/windows-deps.sh "$triple" | tail -1)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
VEK_WINDOWS_DEPS=$deps cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=$toolchain -DVEK_WINDOWS_DEPS="$deps" \
  -DVEK_BUILD_TESTS=ON -DVEK_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
targets=("${@:3}")
[ ${#targets[@]} -gt 0 ] || targets=(vek vek_host)
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target "${targets[@]}"
echo "$build/libvek-2.3.2.dll"

#!/bin/bash
# Builds the 32-bit Windows DLL (libvek-2.3.2.dll) and the Windows host
# program with mingw-w64, against the cross-built libraries of
# scripts/windows-deps.sh (cached after the first run).
#   scripts/windows-build.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}
deps=$(bash scripts/windows-deps.sh | tail -1)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
VEK_WINDOWS_DEPS=$deps cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DVEK_WINDOWS_DEPS="$deps" \
  -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target vek vek_host
echo "$build/libvek-2.3.2.dll"

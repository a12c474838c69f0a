#!/usr/bin/env bash
# Short fuzz run of every reader target (default 20 s each), for CI:
#   bash scripts/fuzz-smoke.sh [seconds]
# Builds the targets with clang in build-fuzz; a crash fails the run and
# leaves its input in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEK_BUILD_FUZZ=ON -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target fuzz_bmp fuzz_tga fuzz_pcx
mkdir -p build-fuzz/artifacts
for t in bmp tga pcx; do
  work=$(mktemp -d)
  echo "fuzz-smoke: $t for ${secs}s"
  build-fuzz/fuzz/fuzz_$t -max_total_time="$secs" -timeout=10 -rss_limit_mb=4096 \
    -malloc_limit_mb=3000 -artifact_prefix=build-fuzz/artifacts/$t- -print_final_stats=1 \
    "$work" fuzz/corpus/$t 2>&1 | tail -n 3
  rm -rf "$work"
done

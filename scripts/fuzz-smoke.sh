#!/usr/bin/env bash
# Short fuzz run of every reader target (default 20 s each), for CI:
#   bash scripts/fuzz-smoke.sh [seconds] [format...]
# Builds the targets with clang in build-fuzz; a crash fails the run and
# leaves its input in build-fuzz/artifacts/. The targets come from the
# module list, so a new reader is fuzzed here without editing this script.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
shift || true
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEK_BUILD_FUZZ=ON -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF >/dev/null
if [ $# -gt 0 ]; then
  targets=("$@")
else
  # The list has no final newline, so read reports the end of the file.
  IFS=';' read -r -a targets < build-fuzz/fuzz/targets.txt || true
fi
cmake --build build-fuzz -j 2 --target "${targets[@]/#/fuzz_}"
mkdir -p build-fuzz/artifacts
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  mkdir -p fuzz/corpus/$t
  echo "fuzz-smoke: $t for ${secs}s"
  LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp build-fuzz/fuzz/fuzz_$t -max_total_time="$secs" -timeout=10 -rss_limit_mb=4096 \
    -malloc_limit_mb=3000 -artifact_prefix=build-fuzz/artifacts/$t- -print_final_stats=1 \
    "$work" fuzz/corpus/$t 2>&1 | tail -n 3
  rm -rf "$work"
done

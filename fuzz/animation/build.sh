#!/usr/bin/env bash
# Builds fuzz_gif_movie (the GIF reader's movie path) in build-fuzz, with the
# flags and objects of the shared fuzz_gif target, and runs it:
#   bash scripts/fuzz-smoke.sh 1 gif        # builds build-fuzz and fuzz_gif
#   bash fuzz/animation/build.sh [seconds]  # default 60
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
b=build-fuzz
root=$PWD
compile=$(ninja -C $b -t commands fuzz_gif | grep -- "-c .*fuzz/fuzz_reader.cpp" | tail -1)
link=$(ninja -C $b -t commands fuzz_gif | tail -1 | sed 's/^: && //; s/ && :$//')
# The compile line names its output after -o; rebuild it for the new source.
(cd $b && eval "$(echo "$compile" | sed "s#-MT [^ ]*##; s#-MF [^ ]*##; s#-MD##; s#-o [^ ]*#-o fuzz/fuzz_gif_movie.o#; s#-c [^ ]*#-c $root/fuzz/animation/fuzz_gif_movie.cpp#")")
(cd $b && eval "$(echo "$link" | sed "s#fuzz/CMakeFiles/fuzz_gif.dir/fuzz_reader.cpp.o#fuzz/fuzz_gif_movie.o#; s#-o fuzz/fuzz_gif #-o fuzz/fuzz_gif_movie #")")
mkdir -p $b/artifacts
work=$(mktemp -d)
$b/fuzz/fuzz_gif_movie -max_total_time="$secs" -timeout=10 -rss_limit_mb=4096 -malloc_limit_mb=3000 \
  -artifact_prefix=$b/artifacts/gif_movie- -print_final_stats=1 "$work" fuzz/corpus/gif 2>&1 | tail -n 30
rm -rf "$work"

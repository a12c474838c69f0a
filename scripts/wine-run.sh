#!/bin/bash
# CTest's emulator for the Windows test programs: runs one under Wine with its
# output going through a file, so that a process Wine starts on the way (and
# which inherits the program's output handles) cannot hold CTest's pipe open
# once the program has ended (a test that never ends).
#   scripts/wine-run.sh LOADER PROGRAM [ARGS...]
loader=$1
shift
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$loader" "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
# A program that never started (a Wine without the loader for its
# architecture) can still end with 0: a test counts only if GoogleTest ran.
if [ $rc -eq 0 ] && [[ " $* " != *" --gtest_list_tests"* ]] && ! grep -q '^\[==========\] ' "$out"; then
  echo "wine-run: $1 printed no GoogleTest run; counted as failed" >&2
  exit 1
fi
exit $rc

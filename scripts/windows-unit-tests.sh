#!/bin/bash
# Runs the library's GoogleTest programs of a Windows build under CTest and
# Wine, with the outside tools they use as oracles started on this side
# (scripts/oracle-bridge.py), and prints the counts and why cases skipped.
#   scripts/windows-unit-tests.sh [build folder] [triple] [suites|all]
# The build folder must hold the built tests (scripts/windows-build.sh
# <build> <triple> all); scripts/windows-test.sh builds and calls this.
# Exits non-zero when a case failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
triple=${2:-i686-w64-mingw32}
source scripts/windows-triple.sh
build=${1:-$default_build}
suites=${3:-all}
export WINEPREFIX=$root/$build/wineprefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  rm -rf "$WINEPREFIX"
  "${wine_cmd[@]}" wineboot -i </dev/null >/dev/null 2>&1
fi
# The server and the prefix's own processes start here, away from CTest's
# output pipes: whoever starts them first lends them its standard output,
# and CTest would wait for them as long as the server lives.
wineserver -p </dev/null >/dev/null 2>&1 || true
"${wine_cmd[@]}" wineboot </dev/null >/dev/null 2>&1
# (Each test's output goes through a file, scripts/wine-run.sh: processes
# Wine starts on the way keep no pipe of CTest's.)
# The oracles run on this side; the Windows programs hand their commands to
# this runner through a shared folder (tests/oracle_shell.h).
bridge=$root/$build/oracle-bridge
rm -rf "$bridge"
python3 scripts/oracle-bridge.py "$bridge" "$WINEPREFIX" </dev/null >"$root/$build/oracle-bridge.log" 2>&1 &
bridge_pid=$!
trap 'kill $bridge_pid 2>/dev/null || true; wait $bridge_pid 2>/dev/null || true' EXIT
for _ in $(seq 200); do [ -f "$bridge/ready" ] && break; sleep 0.05; done
VEK_ORACLE_BRIDGE=$("${wine_cmd[@]}" winepath -w "$bridge" 2>/dev/null | tr -d '\r')
export VEK_ORACLE_BRIDGE
labels=()
# shellcheck disable=SC2086
[ "$suites" = all ] || labels=(-L "^($(tr ' ' '|' <<<"$suites"))\$")
junit=$root/$build/unit-tests.xml
rm -f "$junit"
start=$(date +%s)
(cd "$build" && DISPLAY= ctest -j"${VEK_CTEST_JOBS:-2}" --output-on-failure --output-junit "$junit" \
   "${labels[@]}" >"$root/$build/unit-tests.log" 2>&1) && rc=0 || rc=$?
grep -E '^[0-9]+% tests passed|^The following tests FAILED|^\s+[0-9]+ - .*(Failed|Timeout|Not Run|Exception)' \
  "$root/$build/unit-tests.log" || true
python3 scripts/windows-unit-summary.py "$junit"
echo "unit tests ($triple): $(($(date +%s) - start)) s, exit $rc (log $build/unit-tests.log)"
exit $rc

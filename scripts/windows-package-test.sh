#!/bin/bash
# Checks the Windows packages of scripts/windows-package.sh: a C host linked
# against each package's MinGW import library runs under Wine, and the
# MSVC-style .lib names every export of vek.h, read by llvm-nm and
# llvm-readobj (independent of the MinGW tools that made the DLL).
#   scripts/windows-package-test.sh [package folder]   (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-build-package}
version=$(sed -n 's/^project(libvek VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=libvek-$version
bash scripts/windows-package.sh "$out" >/dev/null
exports=$(sed -n 's/^VEK_EXPORT[^(]*[ *]\(Vek[A-Za-z0-9_]*\)(.*/\1/p' include/vek/vek.h | sort -u)
fail=0
for spec in "win32 i686-w64-mingw32 wine" "win64 x86_64-w64-mingw32 /usr/lib/wine/wine64"; do
  read -r suffix triple loader <<<"$spec"
  work=$(mktemp -d)
  (cd "$work" && unzip -q "$root/$out/$name-$suffix.zip")
  pkg=$work/$name-$suffix
  for f in bin/$name.dll include/vek.h lib/$name.def lib/$name.dll.a lib/$name.lib \
           LICENSE NOTICES.md licenses/LGPL-2.1.txt licenses/ffmpeg.txt README-windows.md; do
    [ -s "$pkg/$f" ] || { echo "$suffix: $f missing from the package"; fail=1; }
  done
  # The host links against the import library, then runs beside the DLL.
  $triple-gcc-posix -std=c99 -Wall -Werror -I "$pkg/include" -o "$pkg/bin/link_host.exe" \
    tests/windows/package/link_host.c "$pkg/lib/$name.dll.a"
  export WINEPREFIX=$work/wineprefix WINEDEBUG=-all
  if [ "$suffix" = win64 ]; then export WINELOADER=$loader; else unset WINELOADER; fi
  got=$(cd "$pkg/bin" && "$loader" ./link_host.exe 2>/dev/null | tr -d '\r' || true)
  wineserver -k 2>/dev/null || true
  if [ "$got" = "link-host ok" ]; then echo "$suffix: C host linked against $name.dll.a runs: ok"
  else echo "$suffix: C host linked against $name.dll.a: '$got'"; fail=1; fi
  # The .lib: one import per export, each importing the plain name from the DLL.
  if [ "$suffix" = win32 ]; then prefix=__imp__; else prefix=__imp_; fi
  syms=$(llvm-nm "$pkg/lib/$name.lib" 2>/dev/null | awk '{print $NF}' | sed -n "s/^$prefix\(Vek[A-Za-z0-9_]*\).*/\1/p" | sort -u)
  if [ "$syms" = "$exports" ]; then echo "$suffix: $name.lib has the $(wc -l <<<"$exports") exports of vek.h: ok"
  else echo "$suffix: $name.lib and vek.h differ:"; diff <(echo "$exports") <(echo "$syms") | head; fail=1; fi
  # Every import member names the DLL and imports by name: undecorated from
  # the stdcall symbol on x86, the plain name on x64.
  readobj=$(llvm-readobj "$pkg/lib/$name.lib" 2>/dev/null)
  imports=$(grep -A2 "^File: $name.dll\$" <<<"$readobj" | grep -c '^Format: COFF-import-file' || true)
  byname=$(grep -cE '^Name type: (undecorate|name)$' <<<"$readobj" || true)
  if [ "$imports" -ge "$(wc -l <<<"$exports")" ] && [ "$byname" = "$imports" ]; then
    echo "$suffix: $name.lib imports all $imports exports by name from $name.dll: ok"
  else echo "$suffix: $name.lib: $imports imports of $name.dll, $byname by name"; fail=1; fi
  rm -rf "$work"
done
exit $fail

#!/bin/bash
# Writes the Windows packages libvek-<version>-win32.zip and -win64.zip: the
# DLL, vek.h, a .def file, import libraries for MinGW (.dll.a) and for
# MSVC-style linkers (.lib, written by llvm-dlltool from the .def), the
# README's Windows section, the licence and the third-party notices.
#   scripts/windows-package.sh [output folder]      (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-package}
version=$(sed -n 's/^project(libvek VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=libvek-$version
for tool in llvm-dlltool zip; do
  command -v $tool >/dev/null || { echo "windows-package: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
mkdir -p "$out"
# folder, triple, package suffix, llvm-dlltool machine, its extra flags
for spec in "build-windows i686-w64-mingw32 win32 i386 -k" \
            "build-windows-x64 x86_64-w64-mingw32 win64 i386:x86-64 "; do
  read -r build triple suffix machine kill <<<"$spec"
  bash scripts/windows-build.sh "$build" "$triple" >/dev/null
  stage=$out/$name-$suffix
  rm -rf "$stage" "$stage.zip"
  mkdir -p "$stage/bin" "$stage/include" "$stage/lib"
  cp "$build/$name.dll" "$stage/bin/"
  cp include/vek/vek.h "$stage/include/"
  # The linker's .def maps each plain export to its internal name
  # ("VekConvert = VekConvert@4 @12" on x86); the shipped one lists the internal
  # names: on x86 their stdcall decoration (VekConvert@4) is what a C caller
  # links against, and the import libraries (-k) look up the plain export.
  { echo "LIBRARY \"$name.dll\""; echo "EXPORTS"
    awk '/^ +Vek/ { n = ($2 == "=") ? $3 : $1; print "    " n }' "$build/$name.def"; } > "$stage/lib/$name.def"
  $triple-dlltool $kill -d "$stage/lib/$name.def" -D "$name.dll" -l "$stage/lib/$name.dll.a"
  llvm-dlltool -m "$machine" $kill -D "$name.dll" -d "$stage/lib/$name.def" -l "$stage/lib/$name.lib"
  cp LICENSE NOTICES.md "$stage/"
  cp -r licenses "$stage/"
  # The README's Windows section, up to the next top-level heading.
  awk '/^## Windows$/{on=1} on && /^## / && !/^## Windows$/{exit} on' README.md > "$stage/README-windows.md"
  (cd "$out" && zip -qr "$name-$suffix.zip" "$name-$suffix")
  echo "$out/$name-$suffix.zip"
done

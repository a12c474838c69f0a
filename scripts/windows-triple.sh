# Sourced by the Windows test scripts: from $triple, the default build folder
# and how Wine runs that triple's programs (default_build, wine_cmd and, for
# 64-bit, WINELOADER).
case $triple in
  i686-w64-mingw32) default_build=build-windows wine_cmd=(wine) ;;
  x86_64-w64-mingw32) default_build=build-windows-x64 wine_cmd=(/usr/lib/wine/wine64)
    export WINELOADER=/usr/lib/wine/wine64 ;;
  *) echo "unknown triple $triple (i686-w64-mingw32 or x86_64-w64-mingw32)" >&2; exit 2 ;;
esac

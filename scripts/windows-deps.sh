#!/bin/bash
# Cross-builds the outside libraries of the Windows DLLs for one mingw-w64
# triple (i686-w64-mingw32 or x86_64-w64-mingw32), static, from Debian
# bookworm's source packages (main archive only, pinned versions), the same
# recipe for both. The result lands in a cache folder outside the repository
# keyed by the triple and this script's hash, so only the first run on a
# machine pays (about twenty minutes a triple on two idle cores). Prints the
# prefix on its last line.
#
#   scripts/windows-deps.sh [triple]   build (or reuse) and print the prefix
#                                      (default i686-w64-mingw32)
#   VEK_WINDOWS_CACHE=/somewhere ...   put the cache elsewhere
set -euo pipefail

TRIPLE=${1:-i686-w64-mingw32}
case $TRIPLE in
  i686-w64-mingw32) cpu=x86 ff_arch=x86 pkg_arch=i686 vpx_target=x86-win32-gcc oh_arch=i386 ;;
  x86_64-w64-mingw32) cpu=AMD64 ff_arch=x86_64 pkg_arch=x86-64 vpx_target=x86_64-win64-gcc oh_arch=x86_64 ;;
  *) echo "unknown triple $TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32)" >&2; exit 2 ;;
esac
# Pinned bookworm versions (source package=version).
# FFmpeg comes after the encoders it wraps.
SOURCES=(
  "openh264=2.3.1+dfsg-3+deb12u2"
  "opus=1.3.1-3"
  "libvpx=1.12.0-1+deb12u5"
  "libpng1.6=1.6.39-2+deb12u5"
  "libjpeg-turbo=1:2.1.5-2"
  "tiff=4.5.0-6+deb12u4"
  "libogg=1.3.5-3"
  "libvorbis=1.3.7-1"
  "ffmpeg=7:5.1.9-0+deb12u1"
  "libdeflate=1.14-1"
)
# Debian ships zlib for mingw as a binary package built from its own source.
CROSS_PACKAGES="g++-mingw-w64-$pkg_arch-posix gcc-mingw-w64-$pkg_arch-posix binutils-mingw-w64-$pkg_arch
  libz-mingw-w64-dev nasm dpkg-dev cmake ninja-build make pkg-config"

here=$(cd "$(dirname "$0")" && pwd)
hash=$(sha256sum "$here/windows-deps.sh" | cut -c1-16)
cache_root=${VEK_WINDOWS_CACHE:-/var/cache/vek-windows-deps}
prefix=$cache_root/$TRIPLE/$hash
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

sudo_cmd=()
[ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
missing=()
for p in $CROSS_PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
# apt-get source needs a deb-src line for bookworm's main archive.
if ! grep -rqs "^Types: deb-src\|^deb-src" /etc/apt/sources.list /etc/apt/sources.list.d/; then
  "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/vek-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  "${sudo_cmd[@]}" apt-get update -q
fi
if [ ${#missing[@]} -gt 0 ]; then
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

jobs=$(nproc)
work=$(mktemp -d "${TMPDIR:-/tmp}/vek-windows-deps-$TRIPLE.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/prefix
mkdir -p "$stage"

cat > "$work/toolchain.cmake" <<TC
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $cpu)
set(CMAKE_C_COMPILER $TRIPLE-gcc-posix)
set(CMAKE_CXX_COMPILER $TRIPLE-g++-posix)
set(CMAKE_RC_COMPILER $TRIPLE-windres)
set(CMAKE_FIND_ROOT_PATH $stage /usr/$TRIPLE)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
TC

export PKG_CONFIG_LIBDIR=$stage/lib/pkgconfig
export CPPFLAGS="-I$stage/include"
export LDFLAGS="-L$stage/lib"
export CFLAGS="-O2"
autoconf_build() {  # folder, extra configure arguments
  local dir=$1; shift
  (cd "$dir" && ./configure --host=$TRIPLE --prefix="$stage" --disable-shared --enable-static "$@" \
     >"$work/configure.log" 2>&1 || { tail -n 40 "$work/configure.log"; exit 1; }
   make -j"$jobs" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log"; exit 1; }
   make install >/dev/null)
}
cmake_build() {  # folder, extra CMake arguments
  local dir=$1; shift
  cmake -S "$dir" -B "$dir/_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_INSTALL_LIBDIR="$stage/lib" -DCMAKE_INSTALL_INCLUDEDIR="$stage/include" "$@" >"$work/cmake.log" 2>&1 || { tail -n 40 "$work/cmake.log"; exit 1; }
  cmake --build "$dir/_build" -j"$jobs" >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; exit 1; }
  cmake --install "$dir/_build" >/dev/null
}
fetch() {  # source=version; prints the unpacked folder
  local spec=$1 name=${1%%=*}
  (cd "$work" && apt-get source -q --only-source "$spec" >"$work/fetch-$name.log" 2>&1) ||
    { cat "$work/fetch-$name.log" >&2; exit 1; }
  find "$work" -mindepth 1 -maxdepth 1 -type d -name "$name-*" | head -1
}

# zlib from Debian's mingw package, copied so the prefix is self-contained.
mkdir -p "$stage/lib" "$stage/include" "$stage/lib/pkgconfig"
cp /usr/$TRIPLE/lib/libz.a "$stage/lib/"
cp /usr/$TRIPLE/include/zlib.h /usr/$TRIPLE/include/zconf.h "$stage/include/"
cat > "$stage/lib/pkgconfig/zlib.pc" <<PC
prefix=$stage
Name: zlib
Description: zlib
Version: 1.2.13
Libs: -L\${prefix}/lib -lz
Cflags: -I\${prefix}/include
PC

for spec in "${SOURCES[@]}"; do
  name=${spec%%=*}
  echo "== $spec" >&2
  dir=$(fetch "$spec")
  [ -n "$dir" ] && [ -d "$dir" ] || { echo "no source folder for $spec" >&2; exit 1; }
  case $name in
    openh264)
      # The encoder only (FFmpeg decodes H.264 itself): its three module
      # libraries, merged into one archive.
      (cd "$dir" && make -j"$jobs" OS=mingw_nt ARCH=$oh_arch CC=$TRIPLE-gcc-posix CXX=$TRIPLE-g++-posix \
         AR=$TRIPLE-ar libencoder.a libprocessing.a libcommon.a >"$work/make.log" 2>&1 ||
         { tail -n 40 "$work/make.log"; exit 1; }
       printf 'create %s\naddlib libencoder.a\naddlib libprocessing.a\naddlib libcommon.a\nsave\nend\n' \
         "$stage/lib/libopenh264.a" | $TRIPLE-ar -M &&
       mkdir -p "$stage/include/wels" && cp codec/api/wels/codec*.h "$stage/include/wels/") ||
        { echo "openh264 did not build" >&2; exit 1; }
      cat > "$stage/lib/pkgconfig/openh264.pc" <<PC
prefix=$stage
Name: OpenH264
Description: H.264 encoder
Version: 2.3.1
Libs: -L\${prefix}/lib -lopenh264 -lstdc++
Cflags: -I\${prefix}/include
PC
      ;;
    opus)
      # Stack protection and fortified string calls would need libssp.
      autoconf_build "$dir" --disable-doc --disable-extra-programs --disable-stack-protector \
        CPPFLAGS="$CPPFLAGS -D_FORTIFY_SOURCE=0" ;;
    libvpx)
      # The VP9 encoder only (FFmpeg decodes VP8 and VP9 itself).
      (cd "$dir" && CROSS=$TRIPLE- CC=$TRIPLE-gcc-posix CXX=$TRIPLE-g++-posix AR=$TRIPLE-ar \
         ./configure --target=$vpx_target --prefix="$stage" --as=nasm --enable-static --disable-shared \
         --disable-examples --disable-tools --disable-docs --disable-unit-tests --disable-install-bins \
         --disable-vp8 --disable-vp9-decoder --enable-vp9-encoder --disable-webm-io --disable-libyuv \
         >"$work/configure.log" 2>&1 || { tail -n 40 "$work/configure.log"; exit 1; }
       make -j"$jobs" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log"; exit 1; }
       make install >/dev/null) ;;
    libpng1.6) autoconf_build "$dir" ;;
    libjpeg-turbo) cmake_build "$dir" -DENABLE_SHARED=OFF -DWITH_TURBOJPEG=OFF -DWITH_JPEG8=OFF ;;
    tiff) cmake_build "$dir" -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF \
            -Dcxx=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Djbig=OFF -Dlerc=OFF -Dlibdeflate=OFF \
            -Djpeg=ON -Dzlib=ON -Dpixarlog=ON ;;
    libogg) autoconf_build "$dir" ;;
    libvorbis) autoconf_build "$dir" ;;
    ffmpeg)
      # Only what the library uses: MPEG-1/2 video and MPEG audio layer 1-3
      # decoding, MPEG-1/2 video and layer 2 encoding, AC-3 and AAC sound in
      # program streams and AVI files, the program and elementary stream
      # formats; MP4 (H.264 through OpenH264, AAC) and WebM (VP9 through
      # libvpx, Opus) written; MP4/MOV, Matroska/WebM and transport streams
      # read with the common camera and web codecs; file access, scaling and
      # resampling. LGPL: no --enable-gpl.
      (cd "$dir" && ./configure --prefix="$stage" --target-os=mingw32 --arch=$ff_arch \
         --cross-prefix=$TRIPLE- --cc=$TRIPLE-gcc-posix --cxx=$TRIPLE-g++-posix \
         --enable-cross-compile --pkg-config=pkg-config --pkg-config-flags=--static \
         --enable-static --disable-shared \
         --disable-programs --disable-doc --disable-debug --disable-network --disable-autodetect \
         --disable-everything --disable-avdevice --disable-avfilter --disable-postproc \
         --enable-w32threads --enable-zlib --enable-libopenh264 --enable-libvpx --enable-libopus \
         --enable-encoder=mpeg1video,mpeg2video,mp2,aac,libopenh264,libvpx_vp9,libopus \
         --enable-decoder=mpeg1video,mpeg2video,mp1,mp2,mp3,mp1float,mp2float,mp3float,ac3,aac,aac_latm \
         --enable-decoder=h264,hevc,vp8,vp9,mpeg4,mjpeg,prores,opus,vorbis,flac,'pcm_*' \
         --enable-parser=mpegvideo,mpegaudio,ac3,aac,aac_latm,h264,hevc,vp8,vp9,mpeg4video,mjpeg,opus,vorbis,flac \
         --enable-demuxer=mpegps,mpegvideo,mp3,mpegts,mov,matroska \
         --enable-muxer=mpeg1system,mpeg1vcd,mpeg2dvd,mpeg2svcd,mpeg2vob,mpeg1video,mpeg2video,mp2,mp3 \
         --enable-muxer=mp4,mov,webm,matroska \
         --enable-bsf=h264_mp4toannexb,hevc_mp4toannexb,aac_adtstoasc,vp9_superframe,vp9_superframe_split,extract_extradata \
         --enable-protocol=file --enable-swscale --enable-swresample \
         >"$work/configure.log" 2>&1 || { tail -n 40 "$work/configure.log" "$dir/ffbuild/config.log"; exit 1; }
       make -j"$jobs" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log"; exit 1; }
       make install >/dev/null) ;;
    libdeflate)
      # Its 1.14 Makefile names the static library for MSVC; the sources are
      # plain C, so they are compiled and archived here directly.
      (cd "$dir" && for c in lib/*.c lib/x86/*.c lib/arm/*.c; do
         $TRIPLE-gcc-posix -O2 -I. -c "$c" -o "${c//\//_}.o" || exit 1; done &&
       $TRIPLE-ar rcs "$stage/lib/libdeflate.a" ./*.o && cp libdeflate.h "$stage/include/") ||
        { echo "libdeflate did not build" >&2; exit 1; }
      cat > "$stage/lib/pkgconfig/libdeflate.pc" <<PC
prefix=$stage
Name: libdeflate
Description: fast DEFLATE, zlib and gzip compression
Version: 1.14
Libs: -L\${prefix}/lib -ldeflate
Cflags: -I\${prefix}/include
PC
      ;;
  esac
  rm -rf "$dir"
done
for lib in z png16 jpeg tiff ogg vorbis vorbisenc vorbisfile openh264 opus vpx avcodec avformat avutil swscale swresample deflate; do
  [ -f "$stage/lib/lib$lib.a" ] || { echo "lib$lib.a was not built" >&2; exit 1; }
done

# Only the static libraries, headers and package files belong to the cache.
rm -rf "$stage/bin" "$stage/share" "$stage/lib"/*.la
mkdir -p "$(dirname "$prefix")"
rm -rf "$prefix"
mv "$stage" "$prefix"
# Package files name the staging folder; point them at the cache.
sed -i "s#$stage#$prefix#g" "$prefix"/lib/pkgconfig/*.pc
touch "$prefix/.complete"
echo "$prefix"

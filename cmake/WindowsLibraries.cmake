# The Windows build: the outside libraries come cross-built and static from
# scripts/windows-deps.sh (VEK_WINDOWS_DEPS, set by the toolchain file), the
# platform services are Windows' own system libraries.
if(NOT VEK_WINDOWS_DEPS OR NOT EXISTS ${VEK_WINDOWS_DEPS}/lib/pkgconfig)
  message(FATAL_ERROR "VEK_WINDOWS_DEPS must name the prefix scripts/windows-deps.sh printed")
endif()
set(ENV{PKG_CONFIG_LIBDIR} ${VEK_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
find_package(PkgConfig REQUIRED)

# vek_static_package(NAME modules...): PkgConfig::NAME with the static link
# line (the libraries' own dependencies included).
function(vek_static_package name)
  pkg_check_modules(${name} REQUIRED ${ARGN})
  add_library(PkgConfig::${name} INTERFACE IMPORTED GLOBAL)
  set_target_properties(PkgConfig::${name} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${${name}_STATIC_INCLUDE_DIRS}"
    INTERFACE_COMPILE_OPTIONS "${${name}_STATIC_CFLAGS_OTHER}"
    INTERFACE_LINK_LIBRARIES "${${name}_STATIC_LDFLAGS}")
endfunction()

# Sound conversion and decoding: the Audio Compression Manager.
add_library(PkgConfig::FFMPEG INTERFACE IMPORTED GLOBAL)
set_target_properties(PkgConfig::FFMPEG PROPERTIES INTERFACE_LINK_LIBRARIES "msacm32;winmm")
# Still formats: libtiff, libjpeg and libpng (XPM has no library on Windows).
vek_static_package(STILL_LIBS libtiff-4 libjpeg libpng zlib)
# Movie and sound formats: Ogg Vorbis and FFmpeg for MPEG; AVI through Video
# for Windows, WAV through mmio.
vek_static_package(MOVIE_LIBS_PKG vorbis vorbisenc vorbisfile ogg
                   libavformat libavcodec libavutil libswscale libswresample)
add_library(PkgConfig::MOVIE_LIBS INTERFACE IMPORTED GLOBAL)
set_target_properties(PkgConfig::MOVIE_LIBS PROPERTIES
  INTERFACE_LINK_LIBRARIES "PkgConfig::MOVIE_LIBS_PKG;avifil32;msvfw32;msacm32;winmm;ole32")
# Text and bitmaps: GDI.
add_library(PkgConfig::TEXT_LIBS INTERFACE IMPORTED GLOBAL)
set_target_properties(PkgConfig::TEXT_LIBS PROPERTIES INTERFACE_LINK_LIBRARIES "gdi32;user32")
# Dialogs: the Windows toolkit (user32).
add_library(vek_toolkit INTERFACE IMPORTED GLOBAL)
set_target_properties(vek_toolkit PROPERTIES INTERFACE_LINK_LIBRARIES "user32;gdi32")

# Windows' headers define macros that would rename our own constants and
# pull in far more than the platform layer needs.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# Floating point as on the other builds (SSE2 doubles, no x87 excess
# precision), so that results match.
add_compile_options(-msse2 -mfpmath=sse)

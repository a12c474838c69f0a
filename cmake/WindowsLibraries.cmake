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

# What each part links, named for the service it serves.
# Codec wrappers: FFmpeg's MPEG parts, libtiff, libjpeg, libpng, Ogg Vorbis (static).
vek_static_package(CODEC_LIBS libavformat libavcodec libavutil libswscale libswresample
                   libtiff-4 libjpeg libpng zlib vorbis vorbisenc vorbisfile ogg)
add_library(vek_codec_libs INTERFACE)
target_link_libraries(vek_codec_libs INTERFACE PkgConfig::CODEC_LIBS)
# The PNG writer's compressor, once the cross-built libraries carry it;
# without it PNG files are written through libpng.
pkg_check_modules(DEFLATE_LIBS QUIET libdeflate)
if(DEFLATE_LIBS_FOUND)
  vek_static_package(DEFLATE_LIBS libdeflate)
  target_link_libraries(vek_codec_libs INTERFACE PkgConfig::DEFLATE_LIBS)
  target_compile_definitions(vek_codec_libs INTERFACE VEK_HAVE_LIBDEFLATE)
endif()
# H.264 for MP4 files, once the cross-built libraries carry OpenH264;
# without it MP4 files are read but not written.
pkg_check_modules(OPENH264 QUIET openh264)
if(OPENH264_FOUND)
  vek_static_package(OPENH264 openh264)
  target_link_libraries(vek_codec_libs INTERFACE PkgConfig::OPENH264)
  target_compile_definitions(vek_codec_libs INTERFACE VEK_HAVE_OPENH264)
endif()
# Sound conversion: the Audio Compression Manager.
add_library(vek_acm_libs INTERFACE)
target_link_libraries(vek_acm_libs INTERFACE msacm32)
# AVI files and video codecs: Video for Windows (COM underneath).
add_library(vek_vfw_libs INTERFACE)
target_link_libraries(vek_vfw_libs INTERFACE avifil32 msvfw32 ole32)
# WAV files: the multimedia file I/O of winmm.
add_library(vek_mmio_libs INTERFACE)
target_link_libraries(vek_mmio_libs INTERFACE winmm)
# Bitmaps, drawing and text: GDI.
add_library(vek_gdi_libs INTERFACE)
target_link_libraries(vek_gdi_libs INTERFACE gdi32 user32)
# Dialogs: the Windows toolkit (user32; comctl32 is loaded when first needed).
add_library(vek_toolkit INTERFACE IMPORTED GLOBAL)
set_target_properties(vek_toolkit PROPERTIES INTERFACE_LINK_LIBRARIES "user32;gdi32")

# Windows' headers define macros that would rename our own constants and
# pull in far more than the platform layer needs.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# Floating point as on the other builds (SSE2 doubles, no x87 excess
# precision), so that results match.
add_compile_options(-msse2 -mfpmath=sse)

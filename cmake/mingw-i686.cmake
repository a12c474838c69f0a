# Cross-compiling for 32-bit Windows with Debian's mingw-w64 (posix threads:
# std::thread and friends come from winpthread, linked statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VEK_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VEK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEK_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VEK_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${VEK_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")
# The cross-built libraries (scripts/windows-deps.sh) and mingw's own.
if(DEFINED ENV{VEK_WINDOWS_DEPS})
  set(VEK_WINDOWS_DEPS $ENV{VEK_WINDOWS_DEPS} CACHE PATH "cross-built libraries")
endif()
set(CMAKE_FIND_ROOT_PATH ${VEK_WINDOWS_DEPS} /usr/${VEK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs built here run under Wine.
find_program(VEK_WINE wine)
if(VEK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEK_WINE})
endif()

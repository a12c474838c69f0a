# The part of the mingw-w64 toolchain files that both Windows triples share;
# the including file sets CMAKE_SYSTEM_PROCESSOR and VEK_MINGW_TRIPLE.
# Debian's posix-thread compilers: std::thread and friends come from
# winpthread, linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VEK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEK_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VEK_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${VEK_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")
# The cross-built libraries (scripts/windows-deps.sh <triple>) and mingw's own.
if(DEFINED ENV{VEK_WINDOWS_DEPS})
  set(VEK_WINDOWS_DEPS $ENV{VEK_WINDOWS_DEPS} CACHE PATH "cross-built libraries")
endif()
set(CMAKE_FIND_ROOT_PATH ${VEK_WINDOWS_DEPS} /usr/${VEK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

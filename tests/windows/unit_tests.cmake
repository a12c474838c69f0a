# The library's unit tests that need no Linux tool, cross-built for Windows
# and run under Wine by CTest (the toolchain file names Wine as the emulator).
# GoogleTest is built from Debian's source package for the target.
set(VEK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${VEK_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
enable_testing()

set(t ${CMAKE_SOURCE_DIR}/tests)
vek_test(win_foundation_tests
  SOURCES ${t}/foundation/errors_test.cpp ${t}/foundation/memory_files_test.cpp
          ${t}/foundation/trace_test.cpp ${t}/foundation/wide_int_test.cpp
  LIBS vek_foundation)
vek_test(win_hav_tests SOURCES ${t}/hav/hav_codec_test.cpp ${t}/hav/hav_file_test.cpp
  LIBS ${VEK_MODULES})
set(VEK_WINDOWS_UNIT_TESTS win_foundation_tests win_hav_tests
    CACHE INTERNAL "")
foreach(test ${VEK_WINDOWS_UNIT_TESTS})
  target_link_options(${test} PRIVATE -static -static-libgcc -static-libstdc++)
endforeach()

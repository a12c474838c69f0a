# vek_module(NAME DIR... [DEPS libs...]): an object library of the sources in
# the given folders (below src/), added to the library's module list.
set(VEK_MODULES "" CACHE INTERNAL "")
# The Linux stand-ins for Windows services (in-memory GDI with FreeType fonts,
# FFmpeg-backed Video for Windows and ACM, our mmio, the FLTK toolkit).
set(VEK_LINUX_ONLY_SOURCES
    "/platform/(system_posix|gdi_mem|gdi_font|acm_av|wave_mmio|video_avifile|video_codecs|toolkit_fltk)\\.cpp$")
function(vek_module name)
  cmake_parse_arguments(M "" "" "DIRS;GLOBS;DEPS" ${ARGN})
  set(sources)
  foreach(d ${M_DIRS})
    file(GLOB s CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${d}/*.cpp)
    list(APPEND sources ${s})
  endforeach()
  foreach(g ${M_GLOBS})
    file(GLOB s CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${g})
    list(APPEND sources ${s})
  endforeach()
  # Platform services: Windows builds take the *_win32.cpp files, the others
  # the Linux replacements of the same services.
  if(WIN32)
    list(FILTER sources EXCLUDE REGEX "${VEK_LINUX_ONLY_SOURCES}")
  else()
    list(FILTER sources EXCLUDE REGEX "_win32\\.cpp$")
  endif()
  if(NOT sources)
    return()  # not built yet
  endif()
  add_library(${name} OBJECT ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src)
  # The exports are marked for export only while the library is built.
  target_compile_definitions(${name} PRIVATE VEK_BUILDING_LIBRARY)
  if(WIN32)
    # An access fault inside an export is thrown at the faulting instruction
    # (platform/system_fault_win32.cpp): every instruction that may trap needs its
    # unwind and clean-up entries, not only calls.
    target_compile_options(${name} PRIVATE -fnon-call-exceptions -fasynchronous-unwind-tables)
  endif()
  if(M_DEPS)
    foreach(dep ${M_DEPS})
      if(TARGET ${dep})
        target_link_libraries(${name} PUBLIC ${dep})
      endif()
    endforeach()
  endif()
  set(VEK_MODULES ${VEK_MODULES} ${name} CACHE INTERNAL "")
endfunction()

# vek_test(NAME SOURCES... LIBS libs...): a GoogleTest executable registered with CTest.
function(vek_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE VEK_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data"
                                             VEK_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

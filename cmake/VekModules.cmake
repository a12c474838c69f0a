# vek_module(NAME [DIRS dir...] [SOURCES file...] [DEPS libs...]): an object
# library of every source in the given folders and of the listed files (both
# below src/), added to the library's module list. The per-OS backends of the
# platform services come in through SOURCES, chosen by src/CMakeLists.txt.
set(VEK_MODULES "" CACHE INTERNAL "")
function(vek_module name)
  cmake_parse_arguments(M "" "" "DIRS;SOURCES;DEPS" ${ARGN})
  set(sources)
  foreach(d ${M_DIRS})
    file(GLOB s CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${d}/*.cpp)
    if(NOT s)
      message(FATAL_ERROR "vek_module(${name}): no sources in src/${d}")
    endif()
    list(APPEND sources ${s})
  endforeach()
  foreach(f ${M_SOURCES})
    if(NOT EXISTS ${CMAKE_SOURCE_DIR}/src/${f})
      message(FATAL_ERROR "vek_module(${name}): src/${f} does not exist")
    endif()
    list(APPEND sources ${CMAKE_SOURCE_DIR}/src/${f})
  endforeach()
  if(NOT sources)
    message(FATAL_ERROR "vek_module(${name}): no sources")
  endif()
  add_library(${name} OBJECT ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src)
  # The exports are marked for export only while the library is built.
  target_compile_definitions(${name} PRIVATE VEK_BUILDING_LIBRARY)
  if(WIN32)
    # An access fault inside an export is thrown at the faulting instruction
    # (platform/system/system_fault_win32.cpp): every instruction that may trap needs its
    # unwind and clean-up entries, not only calls.
    target_compile_options(${name} PRIVATE -fnon-call-exceptions -fasynchronous-unwind-tables)
  endif()
  foreach(dep ${M_DEPS})
    if(NOT TARGET ${dep})
      message(FATAL_ERROR "vek_module(${name}): dependency ${dep} is not a target")
    endif()
    target_link_libraries(${name} PUBLIC ${dep})
  endforeach()
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
  if(WIN32)
    # The modules are linked in: their exports are called directly, not imported.
    target_compile_definitions(${name} PRIVATE VEK_STATIC)
    # The cases this build does not have skip with the reason (tests/windows_expect).
    target_link_libraries(${name} PRIVATE vek_windows_expect)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS ${name})
endfunction()

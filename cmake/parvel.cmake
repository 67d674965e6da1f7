# Helpers shared by every subsystem's CMakeLists.txt.

# A portable-core library: formats, parsers and decisions, no <windows.h>.
# It builds for every preset, so the same code is unit tested natively and
# linked into the Windows deliverables.
function(parvel_core_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  set_property(GLOBAL APPEND PROPERTY PARVEL_CORE_LIBS ${name})
endfunction()

# GoogleTest: the host's packaged library natively, and Debian's googletest
# sources cross-built for the Windows presets.
macro(parvel_find_gtest)
  if(NOT TARGET GTest::gtest_main)
    if(WIN32)
      set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
      # The sources define the GTest:: targets themselves.
      add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    else()
      find_package(GTest REQUIRED)
    endif()
  endif()
endmacro()

if(WIN32 AND CMAKE_CROSSCOMPILING)
  # Windows test programs run under Wine through our wrapper, which keeps a
  # private prefix (with its own HOME) inside this build tree.
  set(PARVEL_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run)
endif()

# A Windows test program: one GoogleTest executable, run once under Wine
# (start-up costs seconds, so never one process per test case).
function(parvel_wine_test name)
  cmake_parse_arguments(arg "" "TIMEOUT" "SOURCES;LIBS;DEPENDS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gmock ${arg_LIBS})
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${arg_TIMEOUT}
    ENVIRONMENT "PARVEL_WINE_DIR=${PARVEL_WINE_DIR}"
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    FIXTURES_REQUIRED parvel_server
    # All Windows test programs share one scripted server and one display.
    RESOURCE_LOCK parvel_server)
endfunction()

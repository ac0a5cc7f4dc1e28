# cmake/Testing.cmake — GoogleTest for both builds and one helper that registers a test program.
#
# The Linux build uses Debian's packaged GoogleTest. The Windows build compiles it from Debian's
# source in /usr/src/googletest with the MinGW toolchain, and every test program then runs under
# Wine through CMAKE_CROSSCOMPILING_EMULATOR.
if(NOT BUILD_TESTING)
  return()
endif()

if(CMAKE_CROSSCOMPILING)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
  # Keep googletest's own sources out of our warning set.
  foreach(t gtest gtest_main gmock gmock_main)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -w)
      # googletest 1.12 names its own GTest:: aliases; older sources don't.
      if(NOT TARGET GTest::${t})
        add_library(GTest::${t} ALIAS ${t})
      endif()
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()

# busfinder_add_test(NAME <name> SOURCES <src...> [LIBS <lib...>] [LABELS <label...>] [TIMEOUT <s>]
#                     [ENVIRONMENT <VAR=value...>] [DRIVER <command...>] [RESOURCE_LOCK <resource...>])
# One executable, one ctest entry (a Wine start costs seconds, so the Windows build never splits a
# program into one entry per case). Labels: unit, posix, wine, e2e, ui, reliability.
# DRIVER: the entry runs `<command...> <path of the program>` instead of the program itself, for a
# test whose program needs a partner on the host (for example a peer on a pseudo-terminal that
# then starts the Windows program under Wine itself). RESOURCE_LOCK: ctest never runs two entries
# holding the same resource at once (use `wine` for anything that touches the Wine prefix's
# registry, its dosdevices or its wineserver).
function(busfinder_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT;DRIVER;RESOURCE_LOCK" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 reports a false -Wrestrict inside libstdc++ for `"text" + std::string` once inlined
    # (GCC bug 105651; MinGW's -O2 inlines it). Test programs build messages that way.
    target_compile_options(${T_NAME} PRIVATE -Wno-restrict)
  endif()
  if(T_DRIVER)
    # A command that is not a target is run as given, not through the cross-compiling emulator.
    add_test(NAME ${T_NAME} COMMAND ${T_DRIVER} $<TARGET_FILE:${T_NAME}>)
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(labels ${T_LABELS})
  if(CMAKE_CROSSCOMPILING)
    list(APPEND labels windows)
  else()
    list(APPEND labels linux)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT})
  if(T_ENVIRONMENT)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
  if(T_RESOURCE_LOCK)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
endfunction()

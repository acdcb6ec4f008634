# Tests run under Wine in a prefix of the build's own (created by the "wine" fixture),
# with a display of their own when none is given. GoogleTest comes from an installed
# package, else from its sources (Debian's googletest package); without either, or with
# CARROWICK_TESTS off, the program, the inspector and the stand-ins build alone.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CARROWICK_ARCH x64)
else()
  set(CARROWICK_ARCH x86)
endif()

option(CARROWICK_TESTS "Build the test suites and the benchmarks (needs GoogleTest)" ON)
set(CARROWICK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources, when no installed GoogleTest is found")
set(CARROWICK_HAVE_TESTS OFF)
if(CARROWICK_TESTS)
  find_package(GTest QUIET)
  if(GTest_FOUND AND TARGET GTest::gmock)
    foreach(lib gtest gtest_main gmock)
      add_library(${lib} INTERFACE IMPORTED)
      target_link_libraries(${lib} INTERFACE GTest::${lib})
    endforeach()
    set(CARROWICK_HAVE_TESTS ON)
  elseif(EXISTS ${CARROWICK_GTEST_SOURCE_DIR}/CMakeLists.txt)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${CARROWICK_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set(CARROWICK_HAVE_TESTS ON)
  else()
    message(STATUS "Carrowick: no GoogleTest (no installed package, no sources in ${CARROWICK_GTEST_SOURCE_DIR}): "
                   "building the program, the inspector and the stand-ins without tests")
  endif()
else()
  message(STATUS "Carrowick: CARROWICK_TESTS is off: building the program, the inspector and the stand-ins without tests")
endif()

set(CARROWICK_IN_PREFIX ${CMAKE_SOURCE_DIR}/scripts/in-prefix)
# Stand-in DLLs land here; the fixture installs them into the prefix's system folder and
# starts the desktop holder from here.
set(CARROWICK_SIM_DIR ${CMAKE_BINARY_DIR}/sim-dlls)

if(CARROWICK_HAVE_TESTS)
  add_test(NAME wine_fixture_start
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-fixture start ${CMAKE_BINARY_DIR} ${CARROWICK_ARCH})
  set_tests_properties(wine_fixture_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  add_test(NAME wine_fixture_stop
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-fixture stop ${CMAKE_BINARY_DIR} ${CARROWICK_ARCH})
  set_tests_properties(wine_fixture_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endif()

# carrowick_gtest(name SOURCES ... LIBS ... [ENV k=v ...] [GUI]): a GoogleTest exe run under Wine.
function(carrowick_gtest name)
  cmake_parse_arguments(T "GUI" "TIMEOUT" "SOURCES;LIBS;ENV;ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gmock)
  if(NOT T_LIBS MATCHES "carrowick_testmain")
    target_link_libraries(${name} PRIVATE gtest_main)
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  carrowick_warnings(${name})
  add_test(NAME ${name} COMMAND ${CARROWICK_IN_PREFIX} ${CMAKE_BINARY_DIR} $<TARGET_FILE:${name}> ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "${T_ENV}")
  if(T_GUI)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK display)
  endif()
endfunction()

# carrowick_sim_dll(name SOURCES ... [DEF file]): a stand-in DLL, installed into the prefix by the fixture.
function(carrowick_sim_dll name)
  cmake_parse_arguments(D "" "OUTPUT_NAME" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${D_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${D_LIBS})
  set_target_properties(${name} PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CARROWICK_SIM_DIR})
  if(D_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${D_OUTPUT_NAME})
  endif()
  carrowick_warnings(${name})
endfunction()

# Tests run under Wine in lanes (below), each a prefix and a display of the build's own.
# GoogleTest comes from an installed package, else from its sources (Debian's googletest
# package); without either configure stops, unless CARROWICK_TESTS is off: then the
# program, the inspector and the stand-ins build alone.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CARROWICK_ARCH x64)
else()
  set(CARROWICK_ARCH x86)
endif()

option(CARROWICK_TESTS "Build the test suites and the benchmarks (needs GoogleTest)" ON)
set(CARROWICK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources, when no installed GoogleTest is found")
set(CARROWICK_HAVE_TESTS OFF)
if(CARROWICK_TESTS)
  # Line tables are enough to read a failing test's stack; full debug information costs about
  # a third of the compile time. What is shipped comes from builds without tests, with all of it.
  add_compile_options($<$<CONFIG:RelWithDebInfo>:-g1>)
  find_package(GTest QUIET)
  if(GTest_FOUND)
    foreach(lib gtest gtest_main)
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
    message(FATAL_ERROR "Carrowick: the tests need GoogleTest, and there is none (no installed package, no sources "
                        "in ${CARROWICK_GTEST_SOURCE_DIR}). Install it (scripts/setup), name its sources with "
                        "-DCARROWICK_GTEST_SOURCE_DIR=..., or build without tests: -DCARROWICK_TESTS=OFF")
  endif()
else()
  message(STATUS "Carrowick: CARROWICK_TESTS is off: building the program, the inspector and the stand-ins without tests")
endif()

set(CARROWICK_IN_PREFIX ${CMAKE_SOURCE_DIR}/scripts/in-prefix)
# Stand-in DLLs land here; the fixture installs them into the prefix's system folder and
# starts the desktop holder from here.
set(CARROWICK_SIM_DIR ${CMAKE_BINARY_DIR}/sim-dlls)

# Lanes: the Wine suites run side by side, each lane in a Wine prefix and on a display of its
# own (build/<arch>/lanes/<lane>, started and stopped by the lane's fixture). Suites that name
# the Zeph library in the prefix's registry or find the program's boxes by caption then never
# meet a suite of another lane, and the real program's pauses in one lane pass while the
# others work. Inside a lane, suites that show windows (GUI) or write the Zeph registry value
# (ZEPH) take turns.
set(CARROWICK_LANES_DIR ${CMAKE_BINARY_DIR}/lanes)

# carrowick_lane(lane var): the lane's folder into var, its fixture made on first use.
function(carrowick_lane lane var)
  set(dir ${CARROWICK_LANES_DIR}/${lane})
  set(${var} ${dir} PARENT_SCOPE)
  get_property(known GLOBAL PROPERTY CARROWICK_LANES)
  if(lane IN_LIST known)
    return()
  endif()
  set_property(GLOBAL APPEND PROPERTY CARROWICK_LANES ${lane})
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${CARROWICK_SIM_DIR} ${dir}/sim-dlls SYMBOLIC)
  foreach(action start stop)
    add_test(NAME wine_fixture_${action}_${lane}
      COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-fixture ${action} ${dir} ${CARROWICK_ARCH})
  endforeach()
  set_tests_properties(wine_fixture_start_${lane} PROPERTIES FIXTURES_SETUP wine_${lane} TIMEOUT 300)
  set_tests_properties(wine_fixture_stop_${lane} PROPERTIES FIXTURES_CLEANUP wine_${lane} TIMEOUT 60)
endfunction()

# carrowick_in_lane(test lane [GUI] [ZEPH] [COST seconds]): runs an added test in a lane.
# COST is what the test takes about, so a fresh build folder starts its longest tests first.
function(carrowick_in_lane test lane)
  cmake_parse_arguments(L "GUI;ZEPH" "COST" "" ${ARGN})
  carrowick_lane(${lane} dir)
  set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED wine_${lane})
  foreach(kind GUI ZEPH)
    if(L_${kind})
      string(TOLOWER ${kind} lock)
      set_property(TEST ${test} APPEND PROPERTY RESOURCE_LOCK ${lock}_${lane})
    endif()
  endforeach()
  if(L_COST)
    set_property(TEST ${test} PROPERTY COST ${L_COST})
  endif()
endfunction()

# carrowick_test_code(target): a target of test code, with the headers precompiled by
# carrowick_testsupport (tests/) instead of parsed again in each of its files. The tests'
# own code is optimized for compile time (half of what -O2 takes); the code under test,
# in its libraries, is built as the program is.
function(carrowick_test_code target)
  carrowick_warnings(${target})
  target_compile_options(${target} PRIVATE $<$<CONFIG:RelWithDebInfo>:-Og>)
  if(NOT target STREQUAL carrowick_testsupport)
    target_precompile_headers(${target} REUSE_FROM carrowick_testsupport)
  endif()
endfunction()

# carrowick_gtest(name SOURCES ... LIBS ... [ENV k=v ...] [ARGS ...] [TIMEOUT s] [LANE lane] [GUI] [ZEPH]
#                 [COST s]): a GoogleTest exe run under Wine in a lane (default: unit).
function(carrowick_gtest name)
  if(NOT CARROWICK_HAVE_TESTS)
    return()  # a stand-in's own test, declared beside it, is no test without GoogleTest
  endif()
  cmake_parse_arguments(T "GUI;ZEPH" "TIMEOUT;LANE;COST" "SOURCES;LIBS;ENV;ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest)
  if(NOT T_LIBS MATCHES "carrowick_testmain")
    target_link_libraries(${name} PRIVATE gtest_main)
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  carrowick_test_code(${name})
  if(NOT T_LANE)
    set(T_LANE unit)
  endif()
  carrowick_lane(${T_LANE} dir)
  add_test(NAME ${name} COMMAND ${CARROWICK_IN_PREFIX} ${dir} $<TARGET_FILE:${name}> ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${T_ENV}")
  set(flags)
  foreach(kind GUI ZEPH)
    if(T_${kind})
      list(APPEND flags ${kind})
    endif()
  endforeach()
  if(T_COST)
    list(APPEND flags COST ${T_COST})
  endif()
  carrowick_in_lane(${name} ${T_LANE} ${flags})
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

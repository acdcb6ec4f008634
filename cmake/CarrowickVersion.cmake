# The program's version, from the one number in the top CMakeLists.txt: as it stands when
# the commit is tagged v<number>, else marked as a development build of its commit
# (1.1.0-dev+1d5f178), with ".dirty" when the tree has uncommitted changes, and
# 1.1.0-dev+unknown outside a git checkout.
#
# Included from the top CMakeLists.txt it adds the target carrowick_version, which writes
# CarrowickVersion.h into CARROWICK_VERSION_DIR on every build (rewritten only when the
# text changes, so a new commit rebuilds the few files that name the version and no more).
# Run with cmake -P it writes that header: -DVERSION_NUMBER= -DSOURCE_DIR= -DOUTPUT=.

cmake_minimum_required(VERSION 3.25)

function(carrowick_describe_version number source_dir out)
  set(text "${number}-dev+unknown")
  find_package(Git QUIET)
  if(NOT GIT_FOUND)
    set(${out} "${text}" PARENT_SCOPE)
    return()
  endif()
  macro(git output)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} ${ARGN}
      OUTPUT_VARIABLE ${output} OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  endmacro()
  # Sources unpacked inside some other checkout are not that checkout's commit.
  git(top rev-parse --show-toplevel)
  file(REAL_PATH "${source_dir}" source_dir)
  if(failed OR NOT top STREQUAL source_dir)
    set(${out} "${text}" PARENT_SCOPE)
    return()
  endif()
  git(hash rev-parse --short=7 HEAD)
  git(tags tag --points-at HEAD)
  git(changes status --porcelain --untracked-files=no)
  string(REPLACE "\n" ";" tags "${tags}")
  if(changes)
    # Not what any commit holds: never the release, whatever the tag says.
    set(text "${number}-dev+${hash}.dirty")
  elseif("v${number}" IN_LIST tags)
    set(text "${number}")
  else()
    set(text "${number}-dev+${hash}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(carrowick_write_version_header number source_dir output)
  carrowick_describe_version(${number} ${source_dir} text)
  string(REPLACE "." "," numbers "${number}")
  file(CONFIGURE OUTPUT ${output} @ONLY CONTENT [=[
#pragma once
// Written by cmake/CarrowickVersion.cmake on every build.
#define CARROWICK_VERSION "@text@"
#define CARROWICK_VERSION_NUMBERS @numbers@,0
#define CARROWICK_ABOUT_LINE1 "Carrowick, Version @text@"
]=])
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  carrowick_write_version_header(${VERSION_NUMBER} ${SOURCE_DIR} ${OUTPUT})
  return()
endif()

# The version resource and the manifest take it as four numbers: three given, the last 0.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "project(VERSION ${PROJECT_VERSION}): give major.minor.patch")
endif()
set(CARROWICK_VERSION_DIR ${CMAKE_BINARY_DIR}/version)
add_custom_target(carrowick_version
  COMMAND ${CMAKE_COMMAND} -DVERSION_NUMBER=${PROJECT_VERSION} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
          -DOUTPUT=${CARROWICK_VERSION_DIR}/CarrowickVersion.h -P ${CMAKE_CURRENT_LIST_FILE}
  BYPRODUCTS ${CARROWICK_VERSION_DIR}/CarrowickVersion.h
  COMMENT "Carrowick version" VERBATIM)
# Configure writes it once too, so a first build finds it before the target ran.
carrowick_write_version_header(${PROJECT_VERSION} ${CMAKE_SOURCE_DIR} ${CARROWICK_VERSION_DIR}/CarrowickVersion.h)
# carrowick_uses_version(target): the target's sources may include CarrowickVersion.h.
function(carrowick_uses_version target)
  add_dependencies(${target} carrowick_version)
  target_include_directories(${target} PRIVATE ${CARROWICK_VERSION_DIR})
endfunction()

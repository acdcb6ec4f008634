# The program's version, from the one number in the top CMakeLists.txt: as it stands when
# the commit is tagged v<number>, else marked as a development build of its commit
# (1.1.0-dev+1d5f178), with ".dirty" when the tree has uncommitted changes.
#
# Included from the top CMakeLists.txt it adds the target carrowick_version, which writes
# CarrowickVersion.h into CARROWICK_VERSION_DIR on every build (rewritten only when the
# text changes, so a new commit rebuilds the few files that name the version and no more).
# Run with cmake -P it writes that header: -DVERSION_NUMBER= -DSOURCE_DIR= -DOUTPUT=.

cmake_minimum_required(VERSION 3.25)

function(carrowick_describe_version number source_dir out)
  set(text "${number}-dev+unknown")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} rev-parse --short=7 HEAD
      OUTPUT_VARIABLE hash OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed)
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} tag --points-at HEAD
        OUTPUT_VARIABLE tags OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      string(REPLACE "\n" ";" tags "${tags}")
      if("v${number}" IN_LIST tags)
        set(text "${number}")
      else()
        set(text "${number}-dev+${hash}")
      endif()
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} status --porcelain --untracked-files=no
        OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(changes)
        string(APPEND text ".dirty")
      endif()
    endif()
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
#define CARROWICK_VERSION_DOTTED "@number@.0"
#define CARROWICK_ABOUT_LINE1 "Carrowick, Version @text@"
]=])
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  carrowick_write_version_header(${VERSION_NUMBER} ${SOURCE_DIR} ${OUTPUT})
  return()
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

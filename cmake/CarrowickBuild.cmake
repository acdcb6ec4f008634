# Common compile settings for every target of the project.
function(carrowick_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-cast-function-type)
  if(CARROWICK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

option(CARROWICK_WERROR "Treat warnings as errors" ON)

if(WIN32)
  # Oldest Windows whose APIs we name (SetDefaultDllDirectories is looked up at run time).
  add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
endif()

# carrowick_library(name SOURCES ... [DEPS ...]): one subsystem folder as a static library.
function(carrowick_library name)
  cmake_parse_arguments(L "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_DEPS})
  carrowick_warnings(${name})
endfunction()

# A release must come out the same, byte for byte, from the same commit in any folder at
# any time, so anyone can check that a shipped exe was built from it: no folder names in
# the objects and their debug information, no link time in the PE headers.
option(CARROWICK_REPRODUCIBLE "Build the same bytes from the same sources in any folder" OFF)
if(CARROWICK_REPRODUCIBLE)
  # Paths are kept relative to the top folder, so a debugger started there finds the sources.
  file(RELATIVE_PATH binary_dir ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=./${binary_dir})
  unset(binary_dir)
  # ccache with a base folder hands the compiler relative paths instead of the absolute ones
  # the maps turn into ./, and the debug information would depend on where the tree is.
  foreach(lang C CXX)
    if(CMAKE_${lang}_COMPILER_LAUNCHER)
      set(CMAKE_${lang}_COMPILER_LAUNCHER env -u CCACHE_BASEDIR -u CCACHE_NOHASHDIR ${CMAKE_${lang}_COMPILER_LAUNCHER})
    endif()
  endforeach()
  if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
  endif()
endif()

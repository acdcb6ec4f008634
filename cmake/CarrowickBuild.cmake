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

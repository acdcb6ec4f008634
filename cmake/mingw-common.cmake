# Shared by both mingw toolchains: the -posix compilers carry std::thread.
set(CMAKE_C_COMPILER ${CARROWICK_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CARROWICK_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CARROWICK_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${CARROWICK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-loader)
# No runtime DLL travels with the exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

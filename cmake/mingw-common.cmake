# Cross-build for Windows with Debian's mingw-w64 (posix thread model, needed
# for std::thread and std::mutex), for the processor the including toolchain
# file names. The runtime is linked statically so the programs need no DLLs
# beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(ZANDREL_MINGW_PREFIX ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER ${ZANDREL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZANDREL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZANDREL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZANDREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

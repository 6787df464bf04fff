# Cross-compiles for 64-bit Windows with Debian's mingw-w64 GCC, posix threading model
# (std::thread and friends come from winpthreads). Everything is linked statically, so the
# programs need no DLL beyond the ones every Windows install has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CONSYNTH_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CONSYNTH_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CONSYNTH_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CONSYNTH_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CONSYNTH_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and tools run on this machine through Wine.
find_program(CONSYNTH_WINE wine)
if(CONSYNTH_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CONSYNTH_WINE})
endif()

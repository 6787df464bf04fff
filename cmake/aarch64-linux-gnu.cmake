# Cross-compiles for 64-bit ARM Linux (Raspberry Pi 3, 4 and 5 with a 64-bit system) with
# Debian's aarch64-linux-gnu GCC. Libraries for the target come from Debian's multiarch
# packages (libasound2-dev:arm64 and friends, under /usr/lib/aarch64-linux-gnu).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CONSYNTH_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${CONSYNTH_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CONSYNTH_CROSS_TRIPLE}-g++)
# find_library and find_package then look in /usr/lib/aarch64-linux-gnu, not in the build
# machine's /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${CONSYNTH_CROSS_TRIPLE})

# Tests and tools run on this machine through qemu's user-mode emulator; the target's
# dynamic loader and libraries are the multiarch ones, so it needs no sysroot.
find_program(CONSYNTH_QEMU qemu-aarch64)
if(CONSYNTH_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CONSYNTH_QEMU})
endif()

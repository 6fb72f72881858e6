# Cross-compiling for 64-bit ARM Linux with the distribution's
# aarch64-linux-gnu toolchain. Programs built for the target (test discovery,
# ctest) run under qemu-aarch64 when it is installed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TARSIM_QEMU_AARCH64 qemu-aarch64)
if(TARSIM_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARSIM_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
endif()

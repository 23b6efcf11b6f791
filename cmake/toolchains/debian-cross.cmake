# Shared part of the Linux cross toolchains: Debian 12's cross compilers
# (g++-TRIPLE) and their sysroot /usr/TRIPLE, with qemu-user as the emulator
# that CTest runs the test binaries under. Included by one file per Debian
# architecture, which sets KETROVA_CROSS_TRIPLE, KETROVA_DEBIAN_ARCH (the
# package's Architecture), CMAKE_SYSTEM_PROCESSOR and, where this machine
# cannot run the target's code itself, KETROVA_QEMU.
set(CMAKE_SYSTEM_NAME Linux)

find_program(CMAKE_C_COMPILER NAMES ${KETROVA_CROSS_TRIPLE}-gcc-12 ${KETROVA_CROSS_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KETROVA_CROSS_TRIPLE}-g++-12 ${KETROVA_CROSS_TRIPLE}-g++ REQUIRED)
# The cross strip, for the packaged binary (CPACK_STRIP_FILES).
find_program(CMAKE_STRIP NAMES ${KETROVA_CROSS_TRIPLE}-strip REQUIRED)

set(KETROVA_CROSS_SYSROOT /usr/${KETROVA_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${KETROVA_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-user from qemu-user-static, with the sysroot's dynamic loader and C
# library; only the tests need it, so a package build does without.
if(KETROVA_QEMU)
  find_program(KETROVA_QEMU_PROGRAM ${KETROVA_QEMU})
  if(KETROVA_QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KETROVA_QEMU_PROGRAM} -L ${KETROVA_CROSS_SYSROOT})
  endif()
endif()

# Cross-compiles for Debian's armhf (32-bit ARM, hard float) with
# g++-arm-linux-gnueabihf; the tests run under qemu-arm. 32-bit: CMakeLists.txt
# asks for 64-bit time_t and file offsets.
set(KETROVA_DEBIAN_ARCH armhf)
set(KETROVA_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(KETROVA_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

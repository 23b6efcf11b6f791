# Cross-compiles for Debian's arm64 (64-bit ARM) with g++-aarch64-linux-gnu;
# the tests run under qemu-aarch64.
set(KETROVA_DEBIAN_ARCH arm64)
set(KETROVA_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KETROVA_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

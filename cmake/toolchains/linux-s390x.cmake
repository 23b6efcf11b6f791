# Cross-compiles for Debian's s390x (64-bit IBM Z, big-endian, the one
# big-endian release architecture) with g++-s390x-linux-gnu; the tests run
# under qemu-s390x.
set(KETROVA_DEBIAN_ARCH s390x)
set(KETROVA_CROSS_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(KETROVA_QEMU qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

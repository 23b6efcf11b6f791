# Cross-compiles for Debian's ppc64el (64-bit POWER, little-endian) with
# g++-powerpc64le-linux-gnu; the tests run under qemu-ppc64le.
set(KETROVA_DEBIAN_ARCH ppc64el)
set(KETROVA_CROSS_TRIPLE powerpc64le-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(KETROVA_QEMU qemu-ppc64le-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

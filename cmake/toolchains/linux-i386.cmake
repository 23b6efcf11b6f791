# Cross-compiles for Debian's i386 (32-bit x86) with g++-i686-linux-gnu. The
# x86-64 kernel runs its code itself (IA-32 emulation), so the tests run
# natively, with kernel stamps. 32-bit: CMakeLists.txt asks for 64-bit time_t
# and file offsets.
set(KETROVA_DEBIAN_ARCH i386)
set(KETROVA_CROSS_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

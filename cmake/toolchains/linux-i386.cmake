# Cross-compiles for Debian's i386 (32-bit x86) with g++-i686-linux-gnu.
# 32-bit: CMakeLists.txt asks for 64-bit time_t and file offsets.
#
# Where this machine runs i386 code itself, the tests run natively, with
# kernel stamps; elsewhere under qemu-i386 like the other architectures. A
# 64-bit x86 kernel may be built without IA-32 emulation, or start with it
# switched off (ia32_emulation=0), and its configuration does not tell which:
# running something does. The sysroot's own dynamic loader is run with
# --version. A binfmt_misc registration of an emulator for i386 code would
# make that run succeed under emulation, so where one is enabled the tests
# name qemu-i386 themselves.
set(KETROVA_DEBIAN_ARCH i386)
set(KETROVA_CROSS_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)

if(NOT DEFINED KETROVA_I386_NATIVE)
  set(ketrova_native FALSE)
  execute_process(COMMAND /usr/${KETROVA_CROSS_TRIPLE}/lib/ld-linux.so.2 --version
                  RESULT_VARIABLE ketrova_loader_status OUTPUT_QUIET ERROR_QUIET)
  if(ketrova_loader_status STREQUAL "0")
    set(ketrova_native TRUE)
    # An enabled registration whose magic is an ELF header of class 32,
    # little-endian, machine 3 (i386) or 6 (i486).
    file(GLOB ketrova_binfmts /proc/sys/fs/binfmt_misc/*)
    foreach(entry IN LISTS ketrova_binfmts)
      if(entry MATCHES "/(register|status)$")
        continue()
      endif()
      file(READ ${entry} ketrova_binfmt)
      if(ketrova_binfmt MATCHES "(^|\n)enabled\n" AND
         ketrova_binfmt MATCHES "\nmagic 7f454c460101[0-9a-f]*\n")
        string(REGEX MATCH "\nmagic ([0-9a-f]*)" ketrova_magic "${ketrova_binfmt}")
        string(LENGTH "${CMAKE_MATCH_1}" ketrova_magic_length)
        if(ketrova_magic_length GREATER_EQUAL 40)
          string(SUBSTRING "${CMAKE_MATCH_1}" 36 4 ketrova_machine)
          if(ketrova_machine STREQUAL "0300" OR ketrova_machine STREQUAL "0600")
            set(ketrova_native FALSE)
          endif()
        endif()
      endif()
    endforeach()
  endif()
  set(KETROVA_I386_NATIVE ${ketrova_native} CACHE BOOL
      "Whether this machine runs i386 code itself (found at configure time)")
endif()
if(NOT KETROVA_I386_NATIVE)
  set(KETROVA_QEMU qemu-i386-static)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

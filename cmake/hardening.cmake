# The Linux build, hardened the way a distribution builds a binary that holds
# a capability, for every target (the probe, the tests, the sanitizer and
# fuzzing builds): a position-independent executable on the shared C library,
# with the stack protector, stack clash protection, control-flow protection,
# fortified libc calls where the build optimises, and relocations read-only
# and bound at start-up.
#
# Start-up is most of a run whose replies come at once, so the link keeps the
# dynamic loader's work small: the C++ runtime and libgcc are linked in (only
# the C library is loaded, and the few parts of libstdc++ that are used are
# relocated with the program instead of all of libstdc++.so), libraries that
# nothing uses are dropped, and relative relocations are packed (DT_RELR).
#
# Windows (mingw) keeps its self-contained static link, set in CMakeLists.txt.

if(WIN32)
  return()
endif()

include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
check_pie_supported(OUTPUT_VARIABLE ketrova_pie_output LANGUAGES CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
  message(FATAL_ERROR "the toolchain cannot link position-independent executables: ${ketrova_pie_output}")
endif()

# Code generation; each flag only where the compiler has it (clang 14 has no
# -fstack-clash-protection on every target, for one).
foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection=full)
  string(MAKE_C_IDENTIFIER "KETROVA_HAS${flag}" has_flag)
  check_cxx_compiler_flag(${flag} ${has_flag})
  if(${has_flag})
    add_compile_options(${flag})
  endif()
endforeach()
add_compile_options(-Wformat -Werror=format-security)

# Fortified libc calls need an optimising build (glibc warns, and -Werror
# fails, without one), and they get in the way of the sanitizers' own checks
# of the same calls.
if(NOT KETROVA_SANITIZE AND NOT KETROVA_FUZZ)
  add_compile_options(
    "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()

# Read-only relocations, bound at start-up; unused libraries dropped; the
# linker's own optimisation of the hash tables.
add_link_options(-Wl,-z,relro -Wl,-z,now -Wl,--as-needed -Wl,-O1)

# Binutils 2.40 has DT_RELR for x86 only; elsewhere ld accepts the option
# with a warning and ignores it, so the check takes a warning for a no.
check_linker_flag(CXX -Wl,--fatal-warnings,-z,pack-relative-relocs KETROVA_HAS_PACK_RELATIVE_RELOCS)
if(KETROVA_HAS_PACK_RELATIVE_RELOCS)
  add_link_options(-Wl,-z,pack-relative-relocs)
endif()

# The C++ runtime linked in. The sanitizers bring their own runtime, which
# expects the shared one.
if(NOT KETROVA_SANITIZE AND NOT KETROVA_FUZZ)
  add_link_options(-static-libstdc++ -static-libgcc)
endif()

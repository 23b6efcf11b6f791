# Read by cpack in a cross build (CPACK_PROJECT_CONFIG_FILE): the package's
# dependencies on shared libraries, as dpkg-shlibdeps finds them with the
# cross sysroot's libraries. Those belong to Debian's libc6-ARCH-cross
# packages, whose shlibs files name the architecture's own package with its
# qualifier ("libc6:arm64 (>= 2.36)"); in a package of that very
# architecture the qualifier is dropped. CPack's own dpkg-shlibdeps run would
# keep it, so this replaces it.
if(NOT CPACK_GENERATOR STREQUAL DEB)
  return()
endif()
file(MAKE_DIRECTORY ${CPACK_KETROVA_SHLIBDEPS_DIR}/debian)
file(WRITE ${CPACK_KETROVA_SHLIBDEPS_DIR}/debian/control "")
execute_process(
  COMMAND dpkg-shlibdeps -O -l${CPACK_KETROVA_SYSROOT}/lib ${CPACK_KETROVA_BINARY}
  WORKING_DIRECTORY ${CPACK_KETROVA_SHLIBDEPS_DIR}
  OUTPUT_VARIABLE ketrova_shlibdeps
  ERROR_VARIABLE ketrova_shlibdeps_error
  RESULT_VARIABLE ketrova_shlibdeps_status
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT ketrova_shlibdeps_status EQUAL 0 OR NOT ketrova_shlibdeps MATCHES "^shlibs:Depends=(.+)$")
  message(FATAL_ERROR "dpkg-shlibdeps on ${CPACK_KETROVA_BINARY}: ${ketrova_shlibdeps_error}")
endif()
string(REGEX REPLACE ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}([ ,]|$)" "\\1" ketrova_depends "${CMAKE_MATCH_1}")
# After the package's own, as CPack orders them in a native build.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}, ${ketrova_depends}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)

# Install rules and packages.
#
# Linux: `cmake --install` puts the binary in bin, the manual page in
# share/man/man1, README.md, the copyright file and the changelog in the
# documentation directory, the units' launcher (uplink-probe) in
# lib/ketrova-probe, and the systemd template units ketrova-probe@ and
# ketrova-probe-textfile@ (.service and .timer) in lib/systemd/system.
# `cpack -G DEB` makes a Debian package for the configured prefix (configure
# with -DCMAKE_INSTALL_PREFIX=/usr, as scripts/package.sh does) whose
# postinst gives the binary CAP_NET_RAW, so that any user can run it without
# sudo.
#
# Windows: a flat zip with ketrova-probe.exe, README.md and LICENSE.txt at its
# top; `cpack -G ZIP` in a build made with the windows preset. The same three
# files in a Windows Installer package, ketrova-probe-VERSION-x64.msi in the
# build directory, built with the rest where wixl is installed (target msi,
# cmake/msi.cmake).

include(GNUInstallDirs)

if(WIN32)
  install(TARGETS ketrova-probe RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  set(KETROVA_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING
      "Where the systemd units go, relative to the prefix or absolute")
  # The directories that this install makes, each one that did not exist
  # before it, are added to install_directories.txt in the build directory
  # (beside install_manifest.txt), so that removing what was installed can
  # remove them too and no other (the README's uninstall). Staged installs
  # (DESTDIR, as cpack makes them) are not recorded.
  set(ketrova_install_dirs ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_DOCDIR}
      ${CMAKE_INSTALL_MANDIR}/man1 ${KETROVA_SYSTEMD_UNITDIR}
      lib/ketrova-probe lib/nagios/plugins ${CMAKE_INSTALL_DOCDIR}/examples lib/sysusers.d)
  install(CODE "set(ketrova_install_dirs \"${ketrova_install_dirs}\")
set(ketrova_install_record \"${CMAKE_CURRENT_BINARY_DIR}/install_directories.txt\")")
  install(CODE [=[
if("$ENV{DESTDIR}" STREQUAL "")
  set(ketrova_made "")
  foreach(dir IN LISTS ketrova_install_dirs)
    if(NOT IS_ABSOLUTE "${dir}")
      set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
    endif()
    # The directory and each parent of it up to one that exists.
    while(NOT EXISTS "${dir}")
      list(APPEND ketrova_made "${dir}")
      get_filename_component(dir "${dir}" DIRECTORY)
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES ketrova_made)
  foreach(dir IN LISTS ketrova_made)
    file(APPEND "${ketrova_install_record}" "${dir}\n")
  endforeach()
endif()
]=])
  install(TARGETS ketrova-probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The monitoring outputs: the converter for node_exporter's textfile
  # collector in the package's own directory, the plugin where monitoring
  # systems look for plugins, and example definitions for the plugin.
  install(TARGETS prometheus-textfile RUNTIME DESTINATION lib/ketrova-probe)
  install(TARGETS check_ketrova_probe RUNTIME DESTINATION lib/nagios/plugins)
  install(FILES packaging/monitoring/icinga2-ketrova-probe.conf packaging/monitoring/nagios-ketrova-probe.cfg
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # The licence goes in as the machine-readable copyright file.
  install(FILES README.md packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # Manual pages and the changelog are installed compressed, as Debian's
  # policy asks (uncompressed where there is no gzip).
  find_program(KETROVA_GZIP gzip)
  function(ketrova_install_compressed source destination)
    get_filename_component(name ${source} NAME)
    if(NOT KETROVA_GZIP)
      install(FILES ${source} DESTINATION ${destination})
      return()
    endif()
    set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
    add_custom_command(
      OUTPUT ${compressed}
      COMMAND ${KETROVA_GZIP} -9 -n -c ${source} > ${compressed}
      DEPENDS ${source}
      COMMENT "Compressing ${name}"
      VERBATIM)
    string(MAKE_C_IDENTIFIER "ketrova_compress_${name}" target)
    add_custom_target(${target} ALL DEPENDS ${compressed})
    install(FILES ${compressed} DESTINATION ${destination})
  endfunction()

  ketrova_install_compressed(${CMAKE_CURRENT_SOURCE_DIR}/docs/ketrova-probe.1
                             ${CMAKE_INSTALL_MANDIR}/man1)

  # The changelog, in Debian's format; its latest entry is this version.
  set(KETROVA_CHANGELOG ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/changelog)
  file(STRINGS ${KETROVA_CHANGELOG} KETROVA_CHANGELOG_TOP LIMIT_COUNT 1)
  if(NOT KETROVA_CHANGELOG_TOP MATCHES "^ketrova-probe \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog: the latest entry is not version "
                        "${PROJECT_VERSION}: ${KETROVA_CHANGELOG_TOP}")
  endif()
  ketrova_install_compressed(${KETROVA_CHANGELOG} ${CMAKE_INSTALL_DOCDIR})

  # systemd template units, the instance name being the uplink (a source
  # address or an interface): the services run the launcher where this
  # configuration installs it, which runs the probe.
  set(KETROVA_UNIT_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR}/ketrova-probe)
  set(KETROVA_UPLINK_PROGRAM ${CMAKE_INSTALL_PREFIX}/${KETROVA_HELPER_DIR}/uplink-probe)
  install(TARGETS uplink-probe RUNTIME DESTINATION ${KETROVA_HELPER_DIR})
  foreach(unit ketrova-probe@ ketrova-probe-textfile@)
    configure_file(packaging/systemd/${unit}.service.in
                   ${CMAKE_CURRENT_BINARY_DIR}/systemd/${unit}.service @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/systemd/${unit}.service
                  packaging/systemd/${unit}.timer
            DESTINATION ${KETROVA_SYSTEMD_UNITDIR})
  endforeach()
  # The units' system user, made by the postinst.
  install(FILES packaging/systemd/ketrova-probe.sysusers DESTINATION lib/sysusers.d
          RENAME ketrova-probe.conf)
endif()

set(CPACK_PACKAGE_NAME ketrova-probe)
set(CPACK_PACKAGE_VENDOR "the ketrova-probe developers")
set(CPACK_PACKAGE_CONTACT "the ketrova-probe developers <maintainers@ketrova-probe.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "ICMP path probe that judges one source address and prints a JSON line")
# The extended description as Debian wants it: lines of at most 80
# characters, which the DEB generator indents by one space.
set(CPACK_PACKAGE_DESCRIPTION
    "ketrova-probe sends ten ICMP echo requests from one local IPv4 source
address to a target and prints one JSON line with a verdict (available,
unstable or unavailable), the loss rate, the average latency and the jitter.
It is meant for scripts, timers and monitoring agents that need to know
whether a given uplink of a multi-homed host can reach the network.
.
Template units for systemd probe one source address each, every minute,
with the report lines in the journal.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)

  include(cmake/msi.cmake)
  if(KETROVA_WIXL)
    ketrova_add_msi(msi ${CPACK_PACKAGE_VERSION} ${KETROVA_MSI_FILE})
    if(KETROVA_BUILD_TESTS)
      # The later version that the Wine tests upgrade to: the next patch
      # level (MSI compares the first three fields of a version).
      math(EXPR ketrova_later_patch "0${PROJECT_VERSION_PATCH} + 1")
      ketrova_add_msi(msi_later
                      ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${ketrova_later_patch}
                      ${KETROVA_MSI_LATER_FILE})
    endif()
  else()
    message(STATUS "wixl not found: no Windows Installer package (install the package wixl)")
  endif()
else()
  set(CPACK_GENERATOR DEB)

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The shared libraries' packages come from the binary (dpkg-shlibdeps);
  # setcap, for the capability that the postinst sets, is added to them.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin")
  if(CMAKE_CROSSCOMPILING)
    # A cross build (cmake/toolchains/linux-*.cmake) is packaged for its
    # architecture, its dependencies read with the cross sysroot's C library
    # (cmake/cross-depends.cmake, when cpack runs).
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KETROVA_DEBIAN_ARCH})
    set(CPACK_KETROVA_BINARY ${CMAKE_CURRENT_BINARY_DIR}/ketrova-probe
        ${CMAKE_CURRENT_BINARY_DIR}/uplink-probe ${CMAKE_CURRENT_BINARY_DIR}/prometheus-textfile
        ${CMAKE_CURRENT_BINARY_DIR}/check_ketrova_probe)
    set(CPACK_KETROVA_SYSROOT ${KETROVA_CROSS_SYSROOT})
    set(CPACK_KETROVA_SHLIBDEPS_DIR ${CMAKE_CURRENT_BINARY_DIR}/shlibdeps)
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/cross-depends.cmake)
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()

  # The raw-socket capability in the permitted and effective sets of the file,
  # as Debian's ping gets it. With a ping_group_range that admits the user the
  # probe uses a datagram ICMP socket and the capability goes unused.
  set(KETROVA_POSTINST ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst)
  file(CONFIGURE OUTPUT ${KETROVA_POSTINST} @ONLY CONTENT [=[#!/bin/sh
set -e

PROGRAM=@KETROVA_UNIT_PROGRAM@

if [ "$1" = configure ]; then
    # Let users without privileges open the raw ICMP socket. Without setcap,
    # or on a file system without extended attributes, leave the binary as it
    # is: it still works for root and, where net.ipv4.ping_group_range admits
    # the user, for everyone.
    if command -v setcap > /dev/null; then
        if ! setcap cap_net_raw+ep "$PROGRAM"; then
            echo "Setcap failed on $PROGRAM; unprivileged users need net.ipv4.ping_group_range" >&2
        fi
    else
        echo "Setcap is not installed; unprivileged users need net.ipv4.ping_group_range" >&2
    fi
fi

# The units' user, from the package's sysusers.d file (systemd-sysusers
# comes with systemd, without which the units have no use).
if [ "$1" = configure ] && command -v systemd-sysusers > /dev/null; then
    systemd-sysusers ${DPKG_ROOT:+--root="$DPKG_ROOT"} ketrova-probe.conf
fi

# The units are new or changed: systemd reads them again, where it runs
# (not in a chroot or a container without it), as dh_installsystemd does.
if [ "$1" = configure ] || [ "$1" = abort-upgrade ] || [ "$1" = abort-deconfigure ] ||
    [ "$1" = abort-remove ]; then
    if [ -d /run/systemd/system ]; then
        systemctl --system daemon-reload > /dev/null || true
    fi
fi

exit 0
]=])

  # On removal (not on upgrade), every instance of the template units goes:
  # stopped where systemd runs, timers and services alike, so that no timer
  # starts a service whose binary is gone, and disabled. The instances were
  # enabled by the administrator with systemctl, which deb-systemd-helper does
  # not know of (it disables only what it enabled itself), so the prerm
  # removes the links that enabling made, as systemctl disable would; that
  # is a change of files alone, right in a chroot too.
  set(KETROVA_PRERM ${CMAKE_CURRENT_BINARY_DIR}/debian/prerm)
  file(CONFIGURE OUTPUT ${KETROVA_PRERM} @ONLY CONTENT [=[#!/bin/sh
set -e

if [ "$1" = remove ]; then
    if [ -z "${DPKG_ROOT:-}" ] && [ -d /run/systemd/system ]; then
        # The timers first, so that none starts a run while the runs stop.
        deb-systemd-invoke stop 'ketrova-probe@*.timer' 'ketrova-probe-textfile@*.timer' > /dev/null || true
        deb-systemd-invoke stop 'ketrova-probe@*.service' 'ketrova-probe-textfile@*.service' > /dev/null || true
    fi
    for link in "${DPKG_ROOT:-}"/etc/systemd/system/*.wants/ketrova-probe@?*.timer         "${DPKG_ROOT:-}"/etc/systemd/system/*.wants/ketrova-probe@?*.service         "${DPKG_ROOT:-}"/etc/systemd/system/*.requires/ketrova-probe@?*.timer         "${DPKG_ROOT:-}"/etc/systemd/system/*.requires/ketrova-probe@?*.service \
        "${DPKG_ROOT:-}"/etc/systemd/system/*.wants/ketrova-probe-textfile@?*.timer \
        "${DPKG_ROOT:-}"/etc/systemd/system/*.wants/ketrova-probe-textfile@?*.service; do
        if [ -L "$link" ]; then
            rm -f "$link"
        fi
    done
fi

exit 0
]=])

  # The units are gone: systemd forgets them, where it runs.
  set(KETROVA_POSTRM ${CMAKE_CURRENT_BINARY_DIR}/debian/postrm)
  file(CONFIGURE OUTPUT ${KETROVA_POSTRM} @ONLY CONTENT [=[#!/bin/sh
set -e

if [ "$1" = remove ] && [ -d /run/systemd/system ]; then
    systemctl --system daemon-reload > /dev/null || true
fi

# What the units left behind would read as uplinks whose state stands
# still: the last reports, and the metrics that node_exporter would go on
# exporting.
if [ "$1" = remove ]; then
    rm -rf "${DPKG_ROOT:-}/run/ketrova-probe"
    rm -f "${DPKG_ROOT:-}"/var/lib/prometheus/node-exporter/ketrova-probe-?*.prom
fi

exit 0
]=])
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KETROVA_POSTINST} ${KETROVA_PRERM} ${KETROVA_POSTRM})
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)

#!/usr/bin/env bash
# Installs the Debian packages that building ("build"), building the amd64
# and Windows packages ("package"), Debian's cross compilers for the other
# architectures' packages ("cross-compilers"), building and testing those
# under qemu-user ("cross"), or building and testing everything ("test")
# need; several sets may be named. Does nothing for packages already present.
#
#   scripts/install-deps.sh [build|package|cross-compilers|cross|test]...
set -euo pipefail
sets=" ${*:-build} "
has() { [[ $sets == *" $1 "* ]]; }
packages=(cmake ninja-build g++ iproute2)
if has package || has test; then
  # wixl makes the Windows Installer package.
  packages+=(dpkg-dev file mingw-w64 wixl)
fi
if has cross-compilers || has cross || has test; then
  packages+=(dpkg-dev file g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-i686-linux-gnu
             g++-powerpc64le-linux-gnu g++-s390x-linux-gnu)
fi
if has cross || has test; then
  # qemu-user runs the other architectures' tests; GoogleTest is built from
  # its sources for each; the namespace series needs python3 and setpriv.
  packages+=(qemu-user-static googletest python3 util-linux)
fi
if has test; then
  # ccache: the stages of scripts/test.sh share their compiled objects.
  packages+=(ccache)
  packages+=(libgtest-dev libgmock-dev python3 iputils-ping libcap2-bin util-linux dpkg-dev file groff-base man-db
             clang libclang-rt-14-dev valgrind strace nftables
             mingw-w64 googletest wine wine64)
  # The Windows Installer package's tests read its tables with msiinfo.
  packages+=(msitools)
  # The package test's judges: lintian, hardening-check, systemd-analyze.
  packages+=(lintian devscripts systemd strace)
  # The package under systemd as PID 1: a Debian tree booted in a container.
  packages+=(systemd-container debootstrap)
  # The monitoring outputs' real clients: node_exporter's textfile collector
  # and Nagios 4 and Icinga 2 (none left running: the package test starts
  # its own).
  packages+=(prometheus-node-exporter nagios4-core icinga2-bin)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

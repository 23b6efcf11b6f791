#!/usr/bin/env bash
# Installs the Debian packages that building ("build"), building every
# package ("package"), or building and testing ("test") needs. Does nothing
# for packages already present.
set -euo pipefail
what=${1:-build}
packages=(cmake ninja-build g++ iproute2)
if [ "$what" = package ] || [ "$what" = test ]; then
  packages+=(dpkg-dev file mingw-w64)
fi
if [ "$what" = test ]; then
  packages+=(libgtest-dev libgmock-dev python3 iputils-ping libcap2-bin util-linux dpkg-dev file groff-base man-db
             clang libclang-rt-14-dev valgrind strace nftables
             mingw-w64 googletest wine wine64)
  # The package test's judges: lintian, hardening-check, systemd-analyze.
  packages+=(lintian devscripts systemd strace)
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

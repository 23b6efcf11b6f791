#!/usr/bin/env bash
# Builds every package into dist/ (or the directory given): the Debian
# package of the hardened Linux build, for /usr, on amd64 and, with Debian's
# cross compilers, on arm64, armhf, i386, ppc64el and s390x; and the Windows
# zip and Windows Installer package (wixl) of the mingw-w64 cross build.
# Naming some of them (win64 for the zip and the installer) builds only
# those, which keeps a local run short. Installs what it needs first (Debian
# 12, as root; without root it needs everything installed already).
#
#   scripts/package.sh [OUTPUT_DIRECTORY] [amd64|arm64|armhf|i386|ppc64el|s390x|win64]...
set -euo pipefail
cd "$(dirname "$0")/.."
all=(amd64 arm64 armhf i386 ppc64el s390x win64)
out=dist
chosen=()
for arg in "$@"; do
  if [[ " ${all[*]} " == *" $arg "* ]]; then
    chosen+=("$arg")
  else
    out=$arg
  fi
done
[ "${#chosen[@]}" -gt 0 ] || chosen=("${all[@]}")
jobs=${PACKAGE_JOBS:-$(nproc 2>/dev/null || echo 2)}

# The cross compilers only where a cross package is asked for.
sets=(package)
for target in "${chosen[@]}"; do
  case $target in amd64 | win64) ;; *) sets=(package cross-compilers) ;; esac
done
scripts/install-deps.sh "${sets[@]}"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Each step's own output is shown only when it fails.
quietly() {
  "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "package: failed: $*" >&2; return 1; }
}

mkdir -p "$out"
made=()

# debian ARCH: the Debian package for ARCH, natively for amd64, with the
# toolchain file cmake/toolchains/linux-ARCH.cmake for the others.
debian() {
  local arch=$1 dir=build/package-$1 toolchain=()
  [ "$arch" = amd64 ] || toolchain=(--toolchain "cmake/toolchains/linux-$arch.cmake")
  quietly cmake --preset release -B "$dir" "${toolchain[@]}" -DKETROVA_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr
  quietly cmake --build "$dir" -j "$jobs"
  rm -f "$dir"/ketrova-probe_*.deb
  (cd "$dir" && quietly cpack -G DEB)
  cp "$dir/ketrova-probe_${PROJECT_VERSION}_$arch.deb" "$out"/
  made+=("$out/ketrova-probe_${PROJECT_VERSION}_$arch.deb")
}

windows() {
  local dir=build/package-windows
  quietly cmake --preset windows -B "$dir" -DKETROVA_BUILD_TESTS=OFF
  rm -f "$dir"/ketrova-probe-*.zip "$dir"/ketrova-probe-*.msi
  # strip writes the moment it runs into the program's PE header. One moment
  # for both copies (the installer's and the zip's), the last commit's, so
  # that they are the same file, and the same from one build to the next.
  local epoch
  epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}
  # (No target msi where wixl is missing: the build fails here.)
  quietly env SOURCE_DATE_EPOCH="$epoch" cmake --build "$dir" -j "$jobs" --target all msi
  (cd "$dir" && quietly env SOURCE_DATE_EPOCH="$epoch" cpack -G ZIP)
  cp "$dir/ketrova-probe-$PROJECT_VERSION-win64.zip" "$dir/ketrova-probe-$PROJECT_VERSION-x64.msi" "$out"/
  made+=("$out/ketrova-probe-$PROJECT_VERSION-win64.zip" "$out/ketrova-probe-$PROJECT_VERSION-x64.msi")
}

PROJECT_VERSION=$(sed -n 's/^project(ketrova-probe VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
for target in "${chosen[@]}"; do
  case $target in
    win64) windows ;;
    *) debian "$target" ;;
  esac
done
printf '%s\n' "${made[@]}"

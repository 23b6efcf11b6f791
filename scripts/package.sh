#!/usr/bin/env bash
# Builds every package into dist/ (or the directory given): the Debian
# package of the hardened Linux build, for /usr, and the Windows zip of the
# mingw-w64 cross build. Installs what it needs first (Debian 12, as root;
# without root it needs everything installed already).
#
#   scripts/package.sh [OUTPUT_DIRECTORY]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
jobs=${PACKAGE_JOBS:-$(nproc 2>/dev/null || echo 2)}

scripts/install-deps.sh package

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Each step's own output is shown only when it fails.
quietly() {
  "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "package: failed: $*" >&2; return 1; }
}

mkdir -p "$out"

linux=build/package
quietly cmake --preset release -B "$linux" -DKETROVA_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
quietly cmake --build "$linux" -j "$jobs"
rm -f "$linux"/ketrova-probe_*.deb
(cd "$linux" && quietly cpack -G DEB)
cp "$linux"/ketrova-probe_*.deb "$out"/

windows=build/package-windows
quietly cmake --preset windows -B "$windows" -DKETROVA_BUILD_TESTS=OFF
quietly cmake --build "$windows" -j "$jobs"
rm -f "$windows"/ketrova-probe-*.zip
(cd "$windows" && quietly cpack -G ZIP)
cp "$windows"/ketrova-probe-*-win64.zip "$out"/

for file in "$linux"/ketrova-probe_*.deb "$windows"/ketrova-probe-*-win64.zip; do
  echo "$out/$(basename "$file")"
done

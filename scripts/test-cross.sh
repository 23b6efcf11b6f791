#!/usr/bin/env bash
# The other architectures: arm64, armhf, i386, ppc64el and s390x (or those
# named). Builds each one's Debian package with scripts/package.sh and judges
# it as the amd64 one is judged (lintian with any error or warning failing,
# hardening-check, its Architecture, its C library dependency, the binary's
# machine), then cross-compiles the tests with Debian's cross compilers and
# runs them under qemu-user (CMake's emulator): the unit tests, and in
# network namespaces with the cross-built binary the integration series
# (label cross), or on arm64 every integration scenario. i386 runs natively,
# with kernel stamps, where this machine's kernel runs 32-bit x86 code
# (cmake/toolchains/linux-i386.cmake finds out by trying), and under
# qemu-i386 where it does not.
#
#   scripts/test-cross.sh [--build-only] [arm64|armhf|i386|ppc64el|s390x]...
#
# (--build-only: the packages and the test builds, nothing run or judged.)
#
# Run as root on Debian 12. Packets go only between the namespaces' pair.
set -euo pipefail
cd "$(dirname "$0")/.."
build_only=no
if [ "${1:-}" = --build-only ]; then
  build_only=yes
  shift
fi
arches=("$@")
[ "${#arches[@]}" -gt 0 ] || arches=(arm64 armhf i386 ppc64el s390x)
jobs=$(nproc 2>/dev/null || echo 2)
# The architecture that runs every integration scenario under qemu-user, not
# only the series labelled cross: arm64, or the first one named.
whole=arm64
[[ " ${arches[*]} " == *" arm64 "* ]] || whole=${arches[0]}

scripts/install-deps.sh cross
command -v lintian >/dev/null && command -v hardening-check >/dev/null ||
  scripts/install-deps.sh test

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# shellcheck source=SCRIPTDIR/checks.sh
source scripts/checks.sh
timed() {  # timed WHAT COMMAND...: runs COMMAND and says how long it took
  local what=$1 start=$SECONDS status=0
  shift
  "$@" || status=$?
  echo "  ($what: $((SECONDS - start)) s)"
  return "$status"
}

# The machine that file(1) names for each architecture's binaries.
declare -A machine=([arm64]="ARM aarch64" [armhf]="ARM, EABI5" [i386]="Intel 80386"
  [ppc64el]="64-bit PowerPC or cisco 7500" [s390x]="IBM S/390")

# --- the packages ------------------------------------------------------------
dist=$scratch/dist
start=$SECONDS
if ! scripts/package.sh "$dist" "${arches[@]}" >"$scratch/package.log" 2>&1; then
  cat "$scratch/package.log"
  echo "test-cross: scripts/package.sh failed" >&2
  exit 1
fi
echo "packages built in $((SECONDS - start)) s"

# build_tests ARCH: its test build in build/cross-ARCH, its log in $scratch/build.log.
build_tests() {
  local build=build/cross-$1
  cmake --preset release -B "$build" --toolchain "cmake/toolchains/linux-$1.cmake" \
    -DKETROVA_BUILD_TESTS=ON -DKETROVA_GTEST_SOURCE_DIR=/usr/src/googletest >"$scratch/build.log" 2>&1 &&
    cmake --build "$build" -j "$jobs" >>"$scratch/build.log" 2>&1
}
if [ "$build_only" = yes ]; then
  status=0
  for arch in "${arches[@]}"; do
    build_tests "$arch" || { cat "$scratch/build.log"; status=1; }
  done
  exit "$status"
fi
mkdir -p "$scratch/tmp"
for arch in "${arches[@]}"; do
  deb=$(ls "$dist"/ketrova-probe_*_"$arch".deb)
  echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
  check "$arch: Architecture: $arch" test "$(dpkg-deb --field "$deb" Architecture)" = "$arch"
  depends=$(dpkg-deb --field "$deb" Depends)
  echo "  Depends: $depends"
  # The C library's package for that architecture, without a qualifier
  # (the cross sysroot's shlibs name it libc6:ARCH).
  check "$arch: depends on libc6 (>= ...) and libcap2-bin" \
    eval '[[ $depends =~ (^|, )libc6\ \(\>=\ 2\.[0-9]+\)(,|$) && $depends == *libcap2-bin* && $depends != *:* ]]'
  lintian_status=0
  TMPDIR=$scratch/tmp lintian --fail-on error,warning --display-level '>=info' "$deb" \
    >"$scratch/lintian.out" 2>&1 || lintian_status=$?
  grep -v 'running with root privileges is not recommended' "$scratch/lintian.out" | sed "s/^/  lintian: /"
  check "$arch: lintian: no error and no warning" test "$lintian_status" -eq 0
  check "$arch: no lintian overrides shipped" eval '! dpkg-deb --contents "$deb" | grep -q lintian/overrides'
  rm -rf "$scratch/root"
  dpkg-deb -x "$deb" "$scratch/root"
  # The probe, the monitoring outputs' converter and plugin, and the units' launcher, built alike.
  for packaged in "$scratch"/root/usr/bin/ketrova-probe "$scratch"/root/usr/lib/ketrova-probe/prometheus-textfile \
    "$scratch"/root/usr/lib/nagios/plugins/check_ketrova_probe "$scratch"/root/usr/lib/ketrova-probe/uplink-probe; do
    name=${packaged#"$scratch"/root}
    [ "$name" = /usr/bin/ketrova-probe ] && name= || name=" $name"
    # (hardening-check's look for stack clash code disassembles with the
    # host's objdump, which knows no other machine: "unknown", as on amd64.)
    hardening=$(hardening-check "$packaged" 2>/dev/null || true)
    sed -e '1d' -e 's/^ */  hardening-check: /' <<<"$hardening"
    for property in "Position Independent Executable" "Stack protected" "Read-only relocations" \
      "Immediate binding"; do
      check "$arch: hardening-check$name: $property: yes" grep -q "^ $property: yes" <<<"$hardening"
    done
    description=$(file -b "$packaged")
    check "$arch: packaged binary$name is ${machine[$arch]}, stripped, dynamically linked" \
      eval 'contains "$description" "${machine[$arch]}" && contains "$description" ", stripped" &&
        contains "$description" "dynamically linked"'
  done
done

# --- the tests under qemu-user -----------------------------------------------------
for arch in "${arches[@]}"; do
  build=build/cross-$arch
  echo "tests: $arch"
  start=$SECONDS
  if ! build_tests "$arch"; then
    cat "$scratch/build.log"
    check "$arch: builds" false
    continue
  fi
  echo "  ($arch build: $((SECONDS - start)) s)"
  emulator=$(sed -n 's/^KETROVA_QEMU_PROGRAM:[A-Z]*=//p' "$build/CMakeCache.txt")
  if [ -n "$emulator" ]; then
    echo "  $arch tests run under $emulator"
  else
    echo "  $arch tests run natively (this kernel runs $arch code itself)"
  fi
  # Unit tests, and where the binary runs natively the output tests too.
  check "$arch: unit tests" timed "$arch unit tests" ctest --test-dir "$build" -R '^(unit_tests|linux_unit_tests|cli_)' \
    --output-on-failure
  # On one architecture every scenario, four at a time (those that need what
  # qemu-user cannot give skip, each with its reason); on the others the
  # short series.
  if [ "$arch" = "$whole" ]; then
    check "$arch: integration scenarios, all" timed "$arch integration scenarios" \
      ctest --test-dir "$build" -L integration -j 4 --output-on-failure
  else
    check "$arch: integration series" timed "$arch integration series" ctest --test-dir "$build" -L cross \
      -j 4 --output-on-failure
  fi
done

echo
echo "test-cross: $passes passed, $failures failed"
[ "$failures" -eq 0 ]

#!/usr/bin/env bash
# Installs what the tests need (Debian, as root), builds every configuration
# and runs every test. The last stage is the native suite, so the output ends
# with its CTest summary.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh test

# One compiler cache for every stage: the stages build the same sources for
# the same targets in trees of their own (the packages, then the tests of
# each architecture), so each object is compiled once. Paths below the
# project root are hashed as relative ones, so that the trees share it.
if command -v ccache >/dev/null; then
  export CCACHE_DIR=${CCACHE_DIR:-$PWD/build/ccache} CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  ccache --zero-stats >/dev/null
fi

# Each stage's heading; the one before it is timed when the next begins, in
# seconds of the clock and of the processors (what its commands used, summed
# over both: the room left for running stages side by side).
ticks=$(getconf CLK_TCK)
cpu_seconds() { awk -v ticks="$ticks" '{ print int(($16 + $17) / ticks) }' "/proc/$$/stat"; }
current='' started=$SECONDS used=$(cpu_seconds)
stage() {
  [ -z "$current" ] ||
    printf '\n---- %s: %d s (processor time %d s)\n' "$current" $((SECONDS - started)) $(($(cpu_seconds) - used))
  current=$* started=$SECONDS used=$(cpu_seconds)
  printf '\n==== %s ====\n' "$*"
}

stage "Debian package: build, install, run as nobody"
scripts/test-package.sh

stage "Debian package under systemd as PID 1 (systemd-nspawn)"
scripts/test-systemd.sh

stage "fuzzing (libFuzzer, ASan + UBSan)"
scripts/test-fuzz.sh

stage "sanitizers (ASan + UBSan suite) and valgrind"
scripts/test-sanitizers.sh

stage "Windows: mingw-w64 build, tests under Wine"
scripts/test-windows.sh

stage "other architectures: packages, tests under qemu-user"
scripts/test-cross.sh

stage "native build and tests"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
! command -v ccache >/dev/null ||
  ccache --print-stats | awk '$1 ~ /_cache_hit$/ { hit += $2 } $1 == "cache_miss" { miss = $2 }
    END { print "ccache: " hit + 0 " objects from the cache, " miss + 0 " compiled" }'
# Four tests at a time: each integration test makes namespaces of its own,
# and those that must run alone (scenarios.list: alone) do.
ctest --preset dev -j 4

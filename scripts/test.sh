#!/usr/bin/env bash
# Installs what the tests need (Debian, as root), builds every configuration
# and runs every test, stage by stage, each one's time printed as the next
# begins.
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
# (The builds ahead, below, are left out of it: counted in the stage during
# which they end, they are taken off again there.)
cpu_seconds() { awk -v ticks="$ticks" '{ print int(($16 + $17) / ticks) }' "/proc/${1:-$$}/stat"; }
current='' started=$SECONDS used=$(cpu_seconds) ahead_cpu=''
stage_done() {
  local ahead_used=0
  if [ -z "$ahead_cpu" ] && [ -s "$ahead/cpu" ]; then
    ahead_cpu=$(cat "$ahead/cpu")
    ahead_used=$ahead_cpu
  fi
  [ -z "$current" ] ||
    printf '\n---- %s: %d s (processor time %d s)\n' "$current" $((SECONDS - started)) \
      $(($(cpu_seconds) - used - ahead_used))
}
stage() {
  stage_done
  current=$* started=$SECONDS used=$(cpu_seconds)
  printf '\n==== %s ====\n' "$*"
}

# The stages' builds run ahead of them, in the background at the
# scheduler's idle priority (SCHED_IDLE), beside the stages whose tests
# mostly wait (the packages, systemd, Wine): they take the processor time
# that those leave. The timing-bound suites (the sanitizer and native stages,
# and the other architectures' under qemu-user once every build is done) run
# with the builds stopped, as they would run alone. Each stage first waits for
# the builds it needs, then finds its trees up to date; should one of them
# have failed here, the stage builds it again and fails with the compiler's
# output in its own.
scripts/install-deps.sh cross
ahead=$(mktemp -d)
jobs_ahead=()
finish() {  # (each background job is a process group of its own: set -m)
  for job in "${jobs_ahead[@]}"; do
    kill -- "-$job" 2>/dev/null || true
    kill -CONT -- "-$job" 2>/dev/null || true
  done
  wait
  rm -rf "$ahead"
}
trap finish EXIT
idle() { chrt --idle --pid 0 "$BASHPID" 2>/dev/null || renice -n 19 -p "$BASHPID" >/dev/null; }
build() {  # build STAGE COMMAND...: runs COMMAND, then marks STAGE's builds done
  local name=$1
  shift
  "$@" >"$ahead/$name.log" 2>&1 || echo "(builds ahead: $name failed; the stage builds again)" >"$ahead/$name.failed"
  touch "$ahead/$name.done"
}
preset() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs"; }
ready() {  # ready STAGE: waits for STAGE's builds; says how long
  local start=$SECONDS
  while [ ! -e "$ahead/$1.done" ] && kill -0 "${jobs_ahead[0]}" 2>/dev/null; do sleep 1; done
  cat "$ahead/$1.failed" 2>/dev/null || true
  echo "(waited $((SECONDS - start)) s for the builds ahead)"
}
with_builds_stopped() {  # with_builds_stopped COMMAND...: runs COMMAND with the builds ahead stopped meanwhile
  local status=0
  kill -STOP -- "-${jobs_ahead[0]}" 2>/dev/null || true
  "$@" || status=$?
  kill -CONT -- "-${jobs_ahead[0]}" 2>/dev/null || true
  return "$status"
}
set -m
(
  idle
  build deb scripts/package.sh "$ahead/dist" amd64
  build package scripts/package.sh "$ahead/dist" win64
  build windows preset windows
  build sanitizers scripts/test-sanitizers.sh --build-only
  build native preset dev
  build fuzz preset fuzz
  build cross scripts/test-cross.sh --build-only
  cpu_seconds "$BASHPID" >"$ahead/cpu"
) &
jobs_ahead+=($!)
# The package under systemd runs beside the package stage, on the package
# built ahead, once its Debian tree is made (the download, at once): it
# boots a container of its own and mostly waits on timers and units.
(
  renice -n 5 -p "$BASHPID" >/dev/null
  scripts/test-systemd.sh --tree-only
  echo "(the Debian tree ready $SECONDS s into the run)"
  ready deb
  scripts/test-systemd.sh "$ahead"/dist/ketrova-probe_*_amd64.deb
  echo "(the package under systemd done $SECONDS s into the run)"
) >"$ahead/systemd.log" 2>&1 &
jobs_ahead+=($!)
set +m

stage "Debian package: build, install, run as nobody"
ready package
scripts/test-package.sh

stage "Debian package under systemd as PID 1 (systemd-nspawn), run beside the package stage"
status=0
wait "${jobs_ahead[1]}" || status=$?
cat "$ahead/systemd.log"
[ "$status" -eq 0 ]

stage "Windows: mingw-w64 build, tests under Wine"
ready windows
scripts/test-windows.sh

stage "sanitizers (ASan + UBSan suite) and valgrind (builds ahead stopped)"
ready sanitizers
with_builds_stopped scripts/test-sanitizers.sh

stage "native build and tests (builds ahead stopped)"
ready native
preset dev
# Four tests at a time: each integration test makes namespaces of its own,
# and those that must run alone (scenarios.list: alone) do.
with_builds_stopped ctest --preset dev -j 4

stage "other architectures: packages, tests under qemu-user"
ready cross
echo "(the builds ahead used $(cat "$ahead/cpu" 2>/dev/null || echo '?') s of processor time in all)"
! command -v ccache >/dev/null ||
  ccache --print-stats | awk '$1 ~ /_cache_hit$/ { hit += $2 } $1 == "cache_miss" { miss = $2 }
    END { print "ccache: " hit + 0 " objects from the cache, " miss + 0 " compiled" }'
scripts/test-cross.sh

# Last, by itself: it keeps both processors busy for a time set by the clock.
stage "fuzzing (libFuzzer, ASan + UBSan)"
scripts/test-fuzz.sh
stage_done
echo "scripts/test.sh: every stage passed in $SECONDS s"

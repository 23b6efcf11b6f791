#!/usr/bin/env bash
# Memory and undefined-behaviour checks:
#  1. the whole test suite built with AddressSanitizer + UndefinedBehaviorSanitizer
#     (the 'asan' preset; its integration tests need root, as CI has);
#  2. the unit tests, the probe's offline paths (missing source, invalid
#     source, invalid target) and, as root, echo series over both kinds of
#     ICMP socket in network namespaces, under valgrind, built without
#     sanitizers in build/valgrind. Any memcheck error or definitely lost block fails. The
#     probe ends with _exit right after writing its line, so memory that is
#     still reachable then is expected and not reported.
#
#   scripts/test-sanitizers.sh [--build-only]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

# Both builds first (--build-only: nothing else).
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
tree=build/valgrind
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKETROVA_BUILD_TESTS=ON >/dev/null
cmake --build "$tree" -j "$jobs" --target ketrova_unit_tests ketrova_linux_unit_tests ketrova-probe
[ "${1:-}" != --build-only ] || exit 0

echo "-- AddressSanitizer + UndefinedBehaviorSanitizer: whole suite"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Four tests at a time: each integration test makes namespaces of its own,
# and those that must run alone (scenarios.list: alone) do.
ctest --preset asan -j 4

echo "-- valgrind: unit tests and offline probe runs"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
grind() {
  local name=$1
  shift
  local status=0
  valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --suppressions=scripts/valgrind.supp \
    --log-file="$logs/$name.valgrind" "$@" \
    >"$logs/$name.out" 2>"$logs/$name.err" || status=$?
  if [ "$status" -eq 99 ] || [ -s "$logs/$name.valgrind" ]; then
    echo "valgrind: $name: memory errors or leaks" >&2
    cat "$logs/$name.valgrind" >&2
    return 1
  fi
  if [ "$status" -ne 0 ]; then
    echo "valgrind: $name: exit status $status" >&2
    tail -n 30 "$logs/$name.out" "$logs/$name.err" >&2
    return 1
  fi
}
expect_note() {
  local name=$1 note=$2
  if ! grep -qF "\"note\":\"$note\"}" "$logs/$name.out"; then
    echo "valgrind: $name: expected note \"$note\", got:" >&2
    cat "$logs/$name.out" >&2
    return 1
  fi
  echo "valgrind: $name: clean, $(cat "$logs/$name.out")"
}

grind unit_tests "$tree/tests/ketrova_unit_tests" --gtest_brief=1
echo "valgrind: unit tests: clean, $(grep -E '^\[  PASSED  \]' "$logs/unit_tests.out")"
grind linux_unit_tests "$tree/tests/ketrova_linux_unit_tests" --gtest_brief=1
echo "valgrind: Linux unit tests: clean, $(grep -E '^\[  PASSED  \]' "$logs/linux_unit_tests.out")"

probe=$tree/ketrova-probe
grind missing_source "$probe"
expect_note missing_source "missing --src-ip"
grind invalid_source "$probe" --src-ip 192.0.2.300 --target-ip 198.51.100.7
expect_note invalid_source "invalid --src-ip"
grind invalid_target "$probe" --src-ip=192.0.2.10 --target-ip 'not "an" \address'
expect_note invalid_target "invalid --target-ip"
grind invalid_utf8 "$probe" --src-ip $'\xff\xfe192.0.2.10' --target-ip=$'\xc0\xaf'
expect_note invalid_utf8 "invalid --src-ip"

# Echo series against the scripted responder, over both socket kinds: replies,
# duplicates, stray packets and ICMP errors all pass through the probe's
# packet handling while memcheck watches.
if [ "$(id -u)" -eq 0 ]; then
  series_logs=$(mktemp -d)
  chmod 1777 "$series_logs"
  trap 'rm -rf "$logs" "$series_logs"' EXIT
  export PROBE_WRAPPER="valgrind --quiet --error-exitcode=99 --leak-check=full \
--show-leak-kinds=definite --errors-for-leak-kinds=definite --log-file=$series_logs/%p.valgrind"
  # (Scenarios whose checks bound the jitter are left out: memcheck's first
  # pass over the send path can make one early sample tens of ms long.)
  for scenario in duplicate.raw duplicate.dgram foreign_error.raw foreign_error.dgram \
    late_and_own.raw; do
    if ! bash tests/integration/run_test.sh "$probe" "$scenario" >"$logs/$scenario.out" 2>&1; then
      echo "valgrind: series $scenario failed:" >&2
      cat "$logs/$scenario.out" "$series_logs"/*.valgrind >&2 2>/dev/null || true
      exit 1
    fi
    if find "$series_logs" -name '*.valgrind' -size +0 | grep -q .; then
      echo "valgrind: series $scenario: memory errors or leaks" >&2
      cat "$series_logs"/*.valgrind >&2
      exit 1
    fi
    echo "valgrind: series $scenario: clean, $(grep -m1 '^probe ' "$logs/$scenario.out" | sed 's/^probe .*: {/{/')"
  done
fi

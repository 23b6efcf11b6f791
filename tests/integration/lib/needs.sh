# shellcheck shell=bash
# What a scenario needs (the third column of scenarios.list), one function
# need_NAME each. It returns where the need is met, exits 77 (the test is
# skipped) where this run cannot meet it, with the reason, and fails where a
# host that runs the suite should have met it (scripts/install-deps.sh test
# installs what is missing). Every scenario needs root besides: need_root
# runs first, for all. Needs that only CTest reads (see tests.cmake):
#   alone   runs by itself (RUN_SERIAL): it measures to the millisecond or
#           floods the machine
#   long    may take up to 600 s (else 60)
#   cross   in the short series that scripts/test-cross.sh runs on every
#           architecture (label cross)
#
# PROBE_EMULATOR, set by tests.cmake in a cross build, runs the probe under
# qemu-user, which passes it no ancillary data, so no kernel stamp: the probe
# measures with its own clock readings, which under emulation come a
# millisecond or more after the request left (40 ms paths measured 39).
# qemu-user refuses SO_BINDTOIFINDEX and IP_UNICAST_IF but passes
# SO_BINDTODEVICE, so the probe holds its socket to its source's interface
# by the device's name there and the uplink scenarios run too.

skip() {
  echo "skipped: $*"
  exit 77
}

need_root() {
  [ "$(id -u)" -eq 0 ] || skip "needs root to create network namespaces"
}

# The scenario holds a round trip to a lower bound, or stalls the probe
# around its stamps.
need_kernel_stamps() {
  [ -z "${PROBE_EMULATOR:-}" ] || skip "needs kernel stamps, which qemu-user does not pass to the probe"
}

# The scenario traces the probe, stalls it or injects errors into its
# system calls (traced, traced_setuid).
need_strace() {
  [ -z "${PROBE_EMULATOR:-}" ] || skip "strace would trace qemu-user, not the probe's own system calls"
  command -v strace >/dev/null || fail "strace is not installed (scripts/install-deps.sh test)"
}

# A copy of the probe that is set-user-ID root or has file capabilities
# (PROBE_MODE, PROBE_FILECAPS, traced_setuid), run by nobody.
need_setuid() {
  [ -z "${PROBE_EMULATOR:-}" ] ||
    skip "a set-user-ID bit or file capability does not take effect through qemu-user"
  # The copy goes where netns_create makes its working directory.
  ! findmnt -no OPTIONS -T /tmp | grep -qw nosuid || fail "/tmp is on a nosuid mount"
}

# The preload libraries that refuse chosen calls (refusing; refuse_shim.c)
# and set the real-time clock (stepping; clock_step_shim.c).
need_shim() {
  [ -f "$(refuse_shim)" ] || fail "no preload shim at $(refuse_shim) (build the target ketrova_refuse_shim)"
  [ -f "$(clock_step_shim)" ] ||
    fail "no preload shim at $(clock_step_shim) (build the target ketrova_clock_step_shim)"
}

# The probe under memcheck (under_valgrind).
need_valgrind() {
  # valgrind cannot run a program built with AddressSanitizer.
  ! grep -qa __asan_init "$PROBE_BIN" || skip "a sanitizer build does not run under valgrind"
  [ -z "${PROBE_EMULATOR:-}" ] || skip "valgrind would check qemu-user, not the probe"
  command -v valgrind >/dev/null || fail "valgrind is not installed (scripts/install-deps.sh test)"
}

need_ping() {
  command -v ping >/dev/null || fail "ping is not installed (scripts/install-deps.sh test)"
}

# Firewall tables on the probe host (firewall, icmp_count_start, uplink_rules
# mark).
need_nft() {
  command -v nft >/dev/null || fail "nft is not installed (scripts/install-deps.sh test)"
}

need_alone() { :; }
need_long() { :; }
need_cross() { :; }

# needed NAME: the running scenario's row lists NAME; a helper that only
# works where a need is met calls this, so that a row cannot leave out what
# its scenario uses (and the skips of a cross build follow from the rows).
needed() {
  [[ " ${SCENARIO_NEEDS[*]} " == *" $1 "* ]] ||
    fail "the scenario needs $1, which its row in scenarios.list does not list"
}

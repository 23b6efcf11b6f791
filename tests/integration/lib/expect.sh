# shellcheck shell=bash
# Sets variables that the scenarios read (FLOOD_MARK, ...).
# shellcheck disable=SC2034
# Checks of a run's report, its time, what the responder saw, the flood that
# reached the probe host and the capabilities the probe's process starts
# with. Sourced by run_test.sh.

BIND_NOTE="source bind failed (WinError 1231)"
# A run that fails at bind time must not wait for anything.
FAST_MS=500

expect() {
  "$PYTHON" "$HERE/check_report.py" "$REPORT" "$@" || fail "report does not match"
}

# The report of a completed series, with numbers checked by the caller.
expect_series() {
  expect sent=10 src_ip="$PROBE_IP" target_ip="$TARGET_IP" "$@"
}

expect_elapsed() {  # MIN_MS MAX_MS
  if [ "$ELAPSED_MS" -lt "$1" ] || [ "$ELAPSED_MS" -gt "$2" ]; then
    fail "took $ELAPSED_MS ms, expected $1..$2 ms"
  fi
}

# The responder saw exactly N echo requests, each from the probe's source to
# the target and carrying the probe's payload.
expect_requests() {
  local seen good
  seen=$(responder_log | grep -c 'request #' || true)
  good=$(responder_log | grep -c "request #.* $PROBE_IP->$TARGET_IP .*data=b'Ketrova-Diagnostic-Probe':" || true)
  [ "$seen" -eq "$1" ] || fail "responder saw $seen requests, expected $1"
  [ "$good" -eq "$seen" ] || fail "only $good of $seen requests had the expected addresses and payload"
}

# Unrelated ICMP sent to the probe host during the flood scenarios, in
# packets per second, and the least that must arrive there.
FLOOD_RATE=${FLOOD_RATE:-5000}
FLOOD_MIN=2000

rx_packets() { in_probe cat "/sys/class/net/$PROBE_IF/statistics/rx_packets"; }

flood_mark() { FLOOD_MARK=("$(rx_packets)" "${EPOCHREALTIME//[!0-9]/}"); }

# The probe host received packets at FLOOD_MIN per second or more since
# flood_mark.
expect_flood() {
  local packets us rate
  packets=$(($(rx_packets) - FLOOD_MARK[0]))
  us=$((${EPOCHREALTIME//[!0-9]/} - FLOOD_MARK[1]))
  rate=$((packets * 1000000 / us))
  echo "flood: $packets packets reached the probe host in $((us / 1000)) ms ($rate per second)"
  [ "$rate" -ge "$FLOOD_MIN" ] || fail "flood reached the probe host at only $rate packets per second"
}

# The series ended between MIN_S and MAX_S seconds after the first request
# reached the responder (one veth hop, microseconds after it was sent).
# While WINDOW_RETRIES is above 0, a late end by no more than the time the
# probe was ready but waiting for a CPU plus the CPU time the hypervisor took
# from the machine meanwhile returns 1 instead, for the caller to measure
# again: the machine was busy or paused (on a shared two-core machine a
# wake-up came tens of milliseconds late with the probe never waiting for a
# CPU, while the hypervisor took seconds), and a wait that overruns is late
# every time.
expect_window() {  # MIN_S MAX_S
  # A late end with as much time spent waiting for a CPU, or taken by the
  # hypervisor, means a busy machine rather than a wait that overran.
  echo "probe: ${PROBE_ON_CPU} s on a CPU, ${PROBE_WAITING} s ready but waiting for one;" \
    "the hypervisor took ${PROBE_STOLEN} s of CPU time from the machine meanwhile"
  local out span
  if out=$("$PYTHON" "$HERE/timing.py" window "$NETNS_WORK/responder.log" "$PROBE_END" "$1" "$2"); then
    echo "$out"
    return 0
  fi
  echo "$out"
  span=$(sed -n 's/^end - first send = \([0-9.]*\) s.*/\1/p' <<<"$out")
  if [ "${WINDOW_RETRIES:-0}" -gt 0 ] &&
    awk -v span="$span" -v max="$2" -v busy="$PROBE_WAITING $PROBE_STOLEN" \
      'BEGIN { split(busy, b, " "); exit !(span > max && span - max <= b[1] + b[2]) }'; then
    echo "late by no more than a busy or paused machine explains: measuring again"
    return 1
  fi
  fail "series did not end $1..$2 s after the first request"
}

# expect_caps MASK: a process started on the probe host the way run_probe
# starts the probe holds exactly the capabilities in MASK in every set
# (inheritable, permitted, effective, bounding, ambient).
expect_caps() {
  local want status set got cmd
  want=$(printf '%016x' "$1")
  read -ra cmd <<<"$(as_nobody)"
  status=$(in_probe "${cmd[@]}" cat /proc/self/status)
  for set in CapInh CapPrm CapEff CapBnd CapAmb; do
    got=$(awk -v key="$set:" '$1 == key { print $2 }' <<<"$status")
    [ "$got" = "$want" ] || fail "$set of the probe's process would be $got, expected $want"
  done
  echo "capabilities of the probe's process: $want in every set"
}

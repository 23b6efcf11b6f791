#!/usr/bin/env bash
# One integration test of the probe against the real kernel:
#
#   run_test.sh PROBE_BINARY SCENARIO[.KIND]
#
# Builds a throwaway pair of network namespaces (netns.sh), starts the
# scripted responder (responder.py) on the responder host, runs the probe on
# the probe host and checks its report line. KIND chooses the probe's socket:
#   raw    run as root, with datagram ICMP sockets refused in the namespace
#   dgram  run as nobody, with datagram ICMP sockets admitted for its group
#          (no privilege, so only the datagram socket can work)
# Exits 77 (skipped) when not run as root.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root to create network namespaces"
  exit 77
fi
PROBE_BIN=$(realpath "$1")
SCENARIO=${2%%.*}
KIND=raw
[[ $2 == *.* ]] && KIND=${2#*.}
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=SCRIPTDIR/netns.sh
source "$HERE/netns.sh"

BIND_NOTE="source bind failed (WinError 1231)"
# A run that fails at bind time must not wait for anything.
FAST_MS=500

fail() {
  echo "FAIL ($SCENARIO.$KIND): $*" >&2
  echo "--- responder log" >&2
  responder_log >&2
  exit 1
}

# Who runs the probe and which ICMP sockets the probe host admits:
#   raw / dgram as above; none = nobody with no socket kind permitted.
use_socket() {
  local nogroup
  nogroup=$(getent group nogroup | cut -d: -f3)
  case $1 in
    raw) in_probe sysctl -qw net.ipv4.ping_group_range="1 0" ;;
    dgram) in_probe sysctl -qw net.ipv4.ping_group_range="$nogroup $nogroup" ;;
    none) in_probe sysctl -qw net.ipv4.ping_group_range="1 0" ;;
    *) fail "unknown socket kind $1" ;;
  esac
  PROBE_USER=root
  [ "$1" = raw ] || PROBE_USER=nobody
}

# run_probe ARGS...: runs the probe on the probe host; leaves its output in
# $REPORT and the wall time in ELAPSED_MS. It must exit 0 and write nothing
# to standard error.
run_probe() {
  local bin=$PROBE_BIN
  local cmd=()
  if [ "$PROBE_USER" != root ]; then
    # nobody may not be able to reach the build tree; give it its own copy.
    chmod 755 "$NETNS_WORK"
    install -m 755 "$PROBE_BIN" "$NETNS_WORK/ketrova-probe"
    bin=$NETNS_WORK/ketrova-probe
    cmd=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  fi
  REPORT=$NETNS_WORK/report
  local status=0 start end
  start=$(date +%s%N)
  in_probe "${cmd[@]}" "$bin" "$@" >"$REPORT" 2>"$NETNS_WORK/stderr" || status=$?
  end=$(date +%s%N)
  ELAPSED_MS=$(((end - start) / 1000000))
  echo "probe $* (as $PROBE_USER): $(cat "$REPORT") in $ELAPSED_MS ms"
  [ "$status" -eq 0 ] || fail "exit status $status"
  [ ! -s "$NETNS_WORK/stderr" ] || fail "standard error: $(cat "$NETNS_WORK/stderr")"
}

probe_default() { run_probe --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"; }

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

netns_create
use_socket "$KIND"

case $SCENARIO in
  available)
    responder_start
    probe_default
    expect_series status=available loss_rate=0 received=10 note= \
      avg_latency_ms\<=20 jitter_ms\<=50
    expect_requests 10
    ;;
  fixed_delay)
    # Every reply 40 ms late: the samples are whole milliseconds of the real
    # round trip, so the average is 40 or a little more (the responder's own
    # timing slips by a few milliseconds on a busy machine).
    responder_start --default reply@40
    probe_default
    expect_series status=available received=10 avg_latency_ms\>=40 avg_latency_ms\<=60 jitter_ms\<=20
    expect_elapsed 400 2000
    ;;
  one_loss)
    responder_start --at 3=drop
    probe_default
    expect_series status=unstable loss_rate=10 received=9 note=
    expect_elapsed 1000 2500
    expect_requests 10
    ;;
  jitter)
    # One reply 150 ms later than the rest: jitter above 100 ms, no loss.
    responder_start --at 5=reply@150
    probe_default
    expect_series status=unstable loss_rate=0 received=10 jitter_ms\>=140 jitter_ms\<=250 note=
    ;;
  no_reply)
    # Ten full waits of 1000 ms each, one after another.
    responder_start --default drop
    probe_default
    expect_series status=unavailable loss_rate=100 received=0 avg_latency_ms=0 jitter_ms=0 note=
    expect_elapsed 10000 11500
    expect_requests 10
    ;;
  late_only)
    # Each request is answered only while the probe waits for the next one;
    # none of those answers belongs to the request being waited for.
    responder_start --default late
    probe_default
    expect_series status=unavailable loss_rate=100 received=0 note=
    expect_elapsed 10000 11500
    ;;
  late_and_own)
    # Each request gets its own reply after 40 ms, and the previous request's
    # reply again as soon as it arrives. Counting the stale one would show as
    # near-zero samples.
    responder_start --default late+reply@40
    probe_default
    expect_series status=available received=10 avg_latency_ms\>=40 avg_latency_ms\<=60
    ;;
  duplicate)
    # Every reply sent twice and the last request unanswered: the duplicate of
    # the ninth reply arrives during the tenth wait and must not count.
    responder_start --default dup --at 10=drop
    probe_default
    expect_series status=unstable loss_rate=10 received=9 note=
    ;;
  foreign_id | wrong_seq | wrong_src | foreign_error)
    # Each request gets the stray packet at once and its reply 40 ms later;
    # request 4 gets only the stray packet.
    stray=${SCENARIO//_/-}
    responder_start --default "$stray+reply@40" --at 4="$stray" --error-src 198.51.100.1
    probe_default
    expect_series status=unstable loss_rate=10 received=9 note= \
      avg_latency_ms\>=40 avg_latency_ms\<=60
    ;;
  icmp_error)
    # Destination host unreachable for request 4 and time exceeded for request
    # 7, both from a router and quoting the request: each ends its wait at
    # once and counts as lost, with no note.
    responder_start --at 4=unreach:1 --at 7=exceeded --error-src 198.51.100.1
    probe_default
    expect_series status=unstable loss_rate=20 received=8 note=
    expect_elapsed 0 800
    ;;
  bind_unconfigured)
    # A source address the probe host does not have: every request fails at
    # once and nothing reaches the target.
    responder_start
    run_probe --src-ip 192.0.2.99 --target-ip "$TARGET_IP"
    expect status=unavailable loss_rate=100 sent=10 received=0 src_ip=192.0.2.99 note="$BIND_NOTE"
    expect_elapsed 0 "$FAST_MS"
    expect_requests 0
    ;;
  no_route)
    # The source is configured but there is no route from it to the target.
    run_probe --src-ip "$PROBE_IP" --target-ip 203.0.113.5
    expect status=unavailable loss_rate=100 sent=10 received=0 target_ip=203.0.113.5 note="$BIND_NOTE"
    expect_elapsed 0 "$FAST_MS"
    ;;
  service_unavailable)
    # Unprivileged and no datagram ICMP socket admitted: nothing can be opened.
    use_socket none
    responder_start
    probe_default
    expect status=unavailable loss_rate=100 sent=0 received=0 src_ip="$PROBE_IP" \
      target_ip="$TARGET_IP" note="IcmpCreateFile failed"
    expect_elapsed 0 "$FAST_MS"
    expect_requests 0
    ;;
  *)
    fail "unknown scenario $SCENARIO"
    ;;
esac
echo "PASS $SCENARIO.$KIND"

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
# shellcheck source=SCRIPTDIR/observe.sh
source "$HERE/observe.sh"

# PROBE_EMULATED: the probe runs under qemu-user (a cross build, see
# tests.cmake), which passes it no ancillary data, so no kernel stamp: the
# probe measures with its own clock readings, which under emulation come a
# millisecond or more after the request left (40 ms paths measured 39).
# Scenarios that hold a round trip to a lower bound or stall the probe
# around its stamps need kernel stamps; those that trace the probe with
# strace would trace the emulator instead. Both are skipped there, and so
# is a setuid copy (the wrapper starts qemu-user, which is not setuid). The
# other uplink scenarios run: the probe holds its socket to the device by
# name there, as qemu-user refuses the index form.
if [ -n "${PROBE_EMULATED:-}" ]; then
  case ${2%%.*} in
    fixed_delay | late_and_own | foreign_id | wrong_seq | wrong_src | foreign_error | \
      flood_answered | rtt_vs_ping | redirect | source_quench | udp_error | other_dst_error | \
      stall_* | late_answer_stalled | stalled_answer_in_time)
      echo "skipped: needs kernel stamps, which qemu-user does not pass to the probe"
      exit 77
      ;;
    caps_during_run | caps_fail_closed | start_limit_refused | netlink_refused | hold_refused | \
      error_behind_reply | route_gap | route_gap_* | link_gap | long_link_answer | \
      address_moved | interface_made_again | carrier_lost)
      echo "skipped: strace would trace qemu-user, not the probe's own system calls"
      exit 77
      ;;
    setuid_uidrange)
      echo "skipped: a setuid bit does not take effect through qemu-user"
      exit 77
      ;;
    multipath_source_table)
      # qemu-user hands route netlink's multipath next hops over as the host
      # wrote them: on a big-endian guest their interface indexes read wrong.
      if [[ ${PROBE_WRAPPER:-} == *qemu-s390x* ]]; then
        echo "skipped: qemu-user does not translate multipath next hops for a big-endian guest"
        exit 77
      fi
      ;;
  esac
fi
# The wait's edges, for the same reasons.
if [ -n "${PROBE_EMULATED:-}" ]; then
  case ${2%%.*} in
    unread_at_deadline | other_src_error)
      echo "skipped: needs kernel stamps, which qemu-user does not pass to the probe"
      exit 77
      ;;
    filtered_flood | closed_streams)
      echo "skipped: strace would trace qemu-user, not the probe's own system calls"
      exit 77
      ;;
  esac
fi

BIND_NOTE="source bind failed (WinError 1231)"
# A run that fails at bind time must not wait for anything.
FAST_MS=500

fail() {
  echo "FAIL ($SCENARIO.$KIND): $*" >&2
  echo "--- responder log" >&2
  responder_log >&2
  strace_log >&2
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
  PROBE_SETPRIV=()
}

# setpriv options for running as nobody, followed by PROBE_SETPRIV (what
# else to grant or take away).
as_nobody() {
  echo setpriv --reuid=nobody --regid=nogroup --clear-groups "${PROBE_SETPRIV[@]}"
}

# run_probe ARGS...: runs the probe on the probe host; leaves its output in
# $REPORT, the wall time in ELAPSED_MS and the moment it ended (seconds on
# CLOCK_MONOTONIC) in PROBE_END. It must exit 0 and write nothing to
# standard error.
run_probe() {
  local bin=$PROBE_BIN
  local cmd=()
  if [ "$PROBE_USER" != root ]; then
    # nobody may not be able to reach the build tree; give it its own copy
    # (PROBE_MODE: 4755 for a setuid-root install; PROBE_FILECAPS: file
    # capabilities to give it, cap_net_raw+ep as the package does).
    chmod 755 "$NETNS_WORK"
    install -m "${PROBE_MODE:-755}" "$PROBE_BIN" "$NETNS_WORK/ketrova-probe"
    bin=$NETNS_WORK/ketrova-probe
    [ -z "${PROBE_FILECAPS:-}" ] || setcap "$PROBE_FILECAPS" "$bin"
    # PROBE_SWITCH=tracer: the wrapper starts the probe as nobody itself.
    [ "${PROBE_SWITCH:-}" = tracer ] || read -ra cmd <<<"$(as_nobody)"
  fi
  # PROBE_WRAPPER: a command the probe runs under (valgrind, for instance).
  local wrapper=()
  read -ra wrapper <<<"${PROBE_WRAPPER:-}"
  cmd+=("${wrapper[@]}")
  # PROBE_NICE: run it at that niceness (before any change of user).
  [ -z "${PROBE_NICE:-}" ] || cmd=(nice -n "$PROBE_NICE" "${cmd[@]}")
  REPORT=$NETNS_WORK/report
  local status=0 start
  # Into the probe host's network namespace only: "ip netns exec" also gives
  # the process a mount namespace of its own, whose teardown at exit would
  # add milliseconds to the measured end.
  "$PYTHON" "$HERE/timing.py" run "$NETNS_WORK/times" nsenter --net="/run/netns/$PROBE_NS" \
    "${cmd[@]}" "$bin" "$@" >"$REPORT" 2>"$NETNS_WORK/stderr" || status=$?
  read -r start PROBE_END PROBE_ON_CPU PROBE_WAITING PROBE_STOLEN <"$NETNS_WORK/times"
  ELAPSED_MS=$(awk -v a="$start" -v b="$PROBE_END" 'BEGIN { printf "%d", (b - a) * 1000 }')
  local who="$PROBE_USER ${PROBE_SETPRIV[*]}"
  echo "probe $* (as ${who% }): $(cat "$REPORT") in $ELAPSED_MS ms"
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

# --- IP options and quoted destinations
# watch_headers_start: records the type and IPv4 header length of every echo
# reply and ICMP error that the probe host's kernel hands to a raw socket.
# watch_headers_expect TYPE N MIN: N or more of TYPE arrived, each with a
# header of MIN bytes or more, so the options the responder sent did reach
# the probe host intact.
watch_headers_start() {
  ip netns exec "$PROBE_NS" "$PYTHON" -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
print("ready", flush=True)
while True:
    p = s.recv(65535)
    ihl = (p[0] & 15) * 4
    if len(p) > ihl and p[ihl] in (0, 3, 11):
        print(p[ihl], ihl, flush=True)
' >"$NETNS_WORK/headers" &
  WATCH_PID=$!
  local i
  for ((i = 0; i < 100; i++)); do
    grep -qx ready "$NETNS_WORK/headers" && return 0
    sleep 0.05
  done
  fail "header watch did not start"
}

watch_headers_expect() {
  sleep 0.2  # the last packet reaches the watch a moment after the probe
  kill "$WATCH_PID" 2>/dev/null || true
  wait "$WATCH_PID" 2>/dev/null || true
  local seen short
  seen=$(awk -v t="$1" '$1 == t' "$NETNS_WORK/headers" | wc -l)
  short=$(awk -v t="$1" -v min="$3" '$1 == t && $2 < min' "$NETNS_WORK/headers" | wc -l)
  echo "ICMP type $1 at the probe host: $seen, $short with a header under $3 bytes"
  [ "$seen" -ge "$2" ] || fail "only $seen ICMP type $1 packets reached the probe host"
  [ "$short" -eq 0 ] || fail "$short ICMP type $1 packets arrived without their options"
}

# --- uplinks, stale errors, clocks, the firewall, setuid
# expect_via SRC IFACE|IFACE/lost|none [FROM]: probes from SRC; with IFACE,
# all ten answered and every request left through IFACE (its counter rose by
# ten or more, the other interfaces' by no more than a stray ARP packet or
# two), from the address FROM (SRC unless given); with IFACE/lost the same
# ten requests, none of their replies counted; with none, the bind-failure
# note at once and nothing sent anywhere.
expect_via() {
  local src=$1 via=${2%/lost} from=${3:-$1} iface before=() rise=() i=0 seen
  for iface in "${UPLINK_IFS[@]}"; do before+=("$(tx_packets "$iface")"); done
  seen=$(responder_log | grep -c "request #.* $from->" || true)
  run_probe --src-ip "$src" --target-ip "$TARGET_IP"
  for iface in "${UPLINK_IFS[@]}"; do
    rise+=($(($(tx_packets "$iface") - before[i])))
    echo "  $iface sent ${rise[i++]} packets"
  done
  if [ "$via" = none ]; then
    expect status=unavailable loss_rate=100 sent=10 received=0 src_ip="$src" note="$BIND_NOTE"
    expect_elapsed 0 "$FAST_MS"
  elif [ "$via" != "$2" ]; then
    expect status=unavailable loss_rate=100 sent=10 received=0 src_ip="$src" note=
  else
    expect status=available loss_rate=0 sent=10 received=10 src_ip="$src" target_ip="$TARGET_IP" note=
  fi
  i=0
  for iface in "${UPLINK_IFS[@]}"; do
    if [ "$iface" = "$via" ]; then
      [ "${rise[i]}" -ge 10 ] || fail "only ${rise[i]} packets left through $iface, the interface of $src"
    else
      [ "${rise[i]}" -le 2 ] || fail "${rise[i]} packets from $src left through $iface"
    fi
    i=$((i + 1))
  done
  seen=$(($(responder_log | grep -c "request #.* $from->" || true) - seen))
  [ "$via" = none ] && [ "$seen" -ne 0 ] && fail "responder saw $seen requests from $from"
  [ "$via" = none ] || [ "$seen" -eq 10 ] || fail "responder saw $seen requests from $from, expected 10"
  return 0
}

# Waits until the responder has sent WHAT ("reply to #3").
responder_sent() {
  local i
  for ((i = 0; i < 300; i++)); do
    responder_log | grep -q "sent $1 " && return 0
    sleep 0.02
  done
  fail "the responder did not send $1 within 6 s"
}

# Sends that strace logged as failed with ERRNO.
failed_sends() { grep -c "^sendto(.* = -1 $1 " "$STRACE_LOG" || true; }

# Refuses echo requests leaving the probe host (nftables, output hook).
firewall() {
  if [ "$1" = on ]; then
    in_probe nft -f - <<<'table ip kpi { chain out { type filter hook output priority 0; icmp type echo-request drop; }; }'
  else
    in_probe nft delete table ip kpi
  fi
}

# --- uplinks that change under a series (scenario functions, called below)
# The second address on up2, the one that moves.
UPLINK2_SECOND_IP=198.18.0.76

# Makes kpi-up2 again, as netns_uplinks made it (a PPP or tunnel reconnect:
# the same name, address and route, a new index).
remake_uplink2() {
  ip link add kpi-up2 netns "$PROBE_NS" type veth peer name kpi-down netns "${UPLINK_NS[1]}"
  in_probe sysctl -qw net.ipv4.conf.kpi-up2.rp_filter=0
  in_probe ip addr add "$UPLINK2_IP/24" dev kpi-up2
  in_probe ip link set kpi-up2 up
  in_probe ip route add default via 198.18.0.1 dev kpi-up2 metric 200
  ip netns exec "${UPLINK_NS[1]}" ip addr add 198.18.0.1/24 dev kpi-down
  ip netns exec "${UPLINK_NS[1]}" ip link set kpi-down up
}

# Waits until up2's default route is marked linkdown (with "linkdown") or
# no longer is (with "carrier").
uplink2_route_shows() {
  local i
  for ((i = 0; i < 300; i++)); do
    if in_probe ip route show default dev kpi-up2 | grep -qw linkdown; then
      [ "$1" = linkdown ] && return 0
    else
      [ "$1" = carrier ] && return 0
    fi
    sleep 0.01
  done
  fail "up2's default route did not show $1 within 3 s"
}

# changed_mid_series SRC CHANGE [UNDO GAP]: probes from SRC (held to
# kpi-up2), every reply 500 ms late and the probe held 250 ms before each
# route netlink question, so that a request not sent still takes time. Once
# its 2nd request has left by kpi-up2, runs CHANGE; with UNDO, GAP seconds
# later runs UNDO. No echo request may leave by kpi-up1 or the direct link
# at any time; none by kpi-up2 after CHANGE and before UNDO. Sets AHEAD,
# DURING and AFTER: the echo requests that left by kpi-up2 before CHANGE,
# while changed, after UNDO.
changed_mid_series() {
  local src=$1 change=$2 undo=${3:-} gap=${4:-0} i iface
  responder_start --default reply@500
  icmp_count_start
  traced -e trace=write -e inject=write:delay_enter=250000
  run_probe_async --src-ip "$src" --target-ip "$TARGET_IP"
  for ((i = 0; i < 500; i++)); do
    [ "$(icmp_count kpi-up2 out)" -lt 2 ] || break
    kill -0 "$PROBE_JOB" 2>/dev/null || fail "the probe ended before its 2nd request"
    sleep 0.02
  done
  "$change"
  AHEAD=$(icmp_count kpi-up2 out)
  if [ -n "$undo" ]; then
    sleep "$gap"
    DURING=$(($(icmp_count kpi-up2 out) - AHEAD))
    "$undo"
  fi
  wait_probe
  [ -n "$undo" ] || DURING=$(($(icmp_count kpi-up2 out) - AHEAD))
  AFTER=$(($(icmp_count kpi-up2 out) - AHEAD - DURING))
  for iface in "${UPLINK_IFS[@]}"; do echo "  $iface sent $(icmp_count "$iface" out) echo requests"; done
  echo "  by kpi-up2: $AHEAD before the change, $DURING while changed, $AFTER after"
  [ "$AHEAD" -ge 2 ] || fail "the change came before the 2nd request left"
  [ "$DURING" -eq 0 ] || fail "$DURING echo requests from $src left by kpi-up2 while changed"
  for iface in "${UPLINK_IFS[@]}"; do
    [ "$iface" = kpi-up2 ] || [ "$(icmp_count "$iface" out)" -eq 0 ] ||
      fail "echo requests from $src left by $iface"
  done
  [ "$(responder_log | grep -c "request #.* $src->$TARGET_IP ")" -eq $((AHEAD + DURING + AFTER)) ] ||
    fail "the responder did not see the $((AHEAD + DURING + AFTER)) requests from $src"
  # Requests not sent fail as the platform's service fails them: the note
  # of a bind failure.
  expect status=unavailable sent=10 received\<="$((AHEAD + AFTER))" src_ip="$src" note="$BIND_NOTE"
}

# A source rule sends up2's address to a table whose default route is
# multipath over both uplinks: written out (nexthop dev ... nexthop dev ...),
# by a group of next-hop objects, and by the group with the routes showing
# only the object (nexthop_compat_mode 0). up2 is one of its next hops:
# every request from up2's address leaves by up2; up1's address, without a
# rule, by up1.
scenario_multipath_source_table() {
  local way
  netns_uplinks
  responder_start
  in_probe ip rule add from "$UPLINK2_IP" lookup 300 pref 900
  for way in nexthops group group_only; do
    echo "the multipath route by $way"
    in_probe ip route del default table 300 2>/dev/null || true
    case $way in
      nexthops)
        in_probe ip route add default table 300 nexthop via 203.0.113.1 dev kpi-up1 \
          nexthop via 198.18.0.1 dev kpi-up2
        ;;
      group)
        if ! in_probe ip nexthop add id 1 via 203.0.113.1 dev kpi-up1 2>/dev/null; then
          echo "  no next-hop objects in this kernel"
          continue
        fi
        in_probe ip nexthop add id 2 via 198.18.0.1 dev kpi-up2
        in_probe ip nexthop add id 10 group 1/2
        in_probe ip route add default table 300 nhid 10
        ;;
      group_only)
        in_probe ip nexthop show id 10 >/dev/null 2>&1 || continue
        # The routes then name only the object, and qemu-user passes no
        # question about next-hop objects on to the kernel: nothing told,
        # nothing sent.
        if [ -n "${PROBE_EMULATED:-}" ]; then
          echo "  skipped: qemu-user does not pass next-hop object questions to the kernel"
          continue
        fi
        in_probe sysctl -qw net.ipv4.nexthop_compat_mode=0
        in_probe ip route add default table 300 nhid 10
        ;;
    esac
    in_probe ip route show table 300 | sed 's/^/  /'
    # Where the kernel itself prefers the next hop that holds the source,
    # the requests leave by up2 either way: the socket must be held to it
    # (strace shows the holding call), not left to the tables.
    [ -n "${PROBE_EMULATED:-}" ] || traced -e trace=setsockopt
    expect_via "$UPLINK2_IP" kpi-up2
    if [ -z "${PROBE_EMULATED:-}" ]; then
      grep -qE '^setsockopt\(.*(SO_BINDTOIFINDEX|SO_BINDTODEVICE).* = 0$' "$STRACE_LOG" ||
        fail "the socket was not held to kpi-up2: $(grep '^setsockopt' "$STRACE_LOG")"
      PROBE_WRAPPER=
    fi
    expect_via "$UPLINK1_IP" kpi-up1
  done
}

# up2 holds a second address, which moves to up1 mid-series (up2 keeps its
# routes): from the move on, no request leaves by an interface that does not
# hold it; each fails at once, not sent (the socket cannot be held anew).
move_second_address() {
  in_probe ip addr del "$UPLINK2_SECOND_IP/24" dev kpi-up2
  in_probe ip addr add "$UPLINK2_SECOND_IP/32" dev kpi-up1
}
scenario_address_moved() {
  netns_uplinks
  in_probe ip addr add "$UPLINK2_SECOND_IP/24" dev kpi-up2
  changed_mid_series "$UPLINK2_SECOND_IP" move_second_address
  in_probe ip route show default dev kpi-up2 | grep -q . || fail "up2 lost its routes"
}

# up2 deleted and made again with the same name, address and route (a new
# index) mid-series: no later request leaves, by the new up2 or any other.
delete_and_remake_uplink2() {
  in_probe ip link del kpi-up2
  remake_uplink2
}
scenario_interface_made_again() {
  netns_uplinks
  changed_mid_series "$UPLINK2_IP" delete_and_remake_uplink2
  in_probe ip route show default dev kpi-up2 | grep -q . || fail "the new up2 has no default route"
}

# up2 loses carrier for 2.5 s (its provider's end set down), its routes
# staying, marked linkdown (ignore_routes_with_linkdown 0, the default): a
# request made while it has no carrier fails at once and is not sent; with
# carrier back, the next request is sent.
uplink2_carrier_off() {
  ip netns exec "${UPLINK_NS[1]}" ip link set kpi-down down
  uplink2_route_shows linkdown
}
uplink2_carrier_on() {
  ip netns exec "${UPLINK_NS[1]}" ip link set kpi-down up
  uplink2_route_shows carrier
}
scenario_carrier_lost() {
  netns_uplinks
  changed_mid_series "$UPLINK2_IP" uplink2_carrier_off uplink2_carrier_on 2.5
  [ "$AFTER" -ge 1 ] || fail "no request left by kpi-up2 once its carrier was back"
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
  flood_no_reply)
    # Nothing answered while the probe host receives thousands of unrelated
    # ICMP packets a second: each wait still lasts its full 1000 ms from its
    # own send, so the series ends 10.00 s after the first send plus only
    # the time between one request's deadline and the next send.
    # The probe runs at the highest niceness, so that other work on a busy
    # machine does not hold it off the CPU when a wait ends (on a loaded
    # two-core machine that alone was up to 20 ms per wait). It still has to
    # read and discard every packet of the flood in time.
    for WINDOW_RETRIES in 2 1 0; do
      responder_start --default drop --flood "$FLOOD_RATE"
      flood_mark
      PROBE_NICE=-20
      probe_default
      expect_flood
      expect_series status=unavailable loss_rate=100 received=0 avg_latency_ms=0 jitter_ms=0 note=
      expect_requests 10
      expect_window 10.00 10.05 && break
      kill "$RESPONDER_PID"
      wait "$RESPONDER_PID" || true
    done
    ;;
  flood_answered)
    # Every request answered after 40 ms under the same flood: none of the
    # flood is counted and none of it ends a wait early.
    responder_start --default reply@40 --flood "$FLOOD_RATE" --realtime
    flood_mark
    probe_default
    expect_flood
    expect_series status=available loss_rate=0 received=10 note= \
      avg_latency_ms\>=40 avg_latency_ms\<=60 jitter_ms\<=20
    expect_requests 10
    ;;
  rtt_vs_ping)
    # The probe and ping take turns on the same path, every reply 37 ms
    # after its request; the probe's numbers must agree with ping's to 1 ms.
    # The responder runs with real-time priority so that it keeps to 37 ms
    # on a busy machine, and the probe at the highest niceness so that other
    # work does not delay its reading of the clock.
    responder_start --default reply@37 --realtime
    PROBE_NICE=-20
    reports=() pings=()
    for round in 1 2 3; do
      probe_default
      expect_series status=available loss_rate=0 received=10 note=
      cp "$REPORT" "$NETNS_WORK/report.$round"
      reports+=("$NETNS_WORK/report.$round")
      in_probe ping -c 10 -i 0.2 -I "$PROBE_IP" "$TARGET_IP" >"$NETNS_WORK/ping.$round" ||
        fail "ping failed: $(cat "$NETNS_WORK/ping.$round")"
      pings+=("$NETNS_WORK/ping.$round")
    done
    "$PYTHON" "$HERE/timing.py" rtt "${reports[@]}" -- "${pings[@]}" ||
      fail "the probe's round-trip times disagree with ping's"
    ;;
  net_raw_only)
    # nobody with CAP_NET_RAW and nothing else, datagram ICMP sockets not
    # admitted: the raw socket works. Without the capability nothing does.
    PROBE_USER=nobody
    PROBE_SETPRIV=(--inh-caps=-all --ambient-caps=-all --bounding-set=-all --no-new-privs)
    expect_caps 0
    responder_start
    probe_default
    expect status=unavailable sent=0 note="IcmpCreateFile failed"
    PROBE_SETPRIV=("--inh-caps=-all,+net_raw" --ambient-caps=+net_raw
      "--bounding-set=-all,+net_raw" --no-new-privs)
    expect_caps $((1 << 13))
    probe_default
    expect_series status=available loss_rate=0 received=10 note=
    expect_requests 10
    ;;
  no_privilege)
    # nobody without a single capability in any set, not even one it could
    # gain by running a program: the datagram socket works all the same.
    PROBE_SETPRIV=(--inh-caps=-all --ambient-caps=-all --bounding-set=-all --no-new-privs)
    expect_caps 0
    responder_start
    probe_default
    expect_series status=available loss_rate=0 received=10 note=
    expect_requests 10
    ;;
  # --- path, not host: stalls, ICMP noise, many probes, privileges
  stall_before_send | stall_after_send | stall_after_wakeup | stall_before_read)
    # The probe loses the processor around one request on a perfect path
    # (the kernel's own echo replies, microseconds): the round trip runs from
    # the request's departure to the answer's arrival, and an answer that
    # arrived in time counts however late the probe reads it. strace holds
    # the probe 300 ms before its 3rd request goes out, 1.2 s after its 1st
    # went out (where nothing else on the host asks for receive stamps, the
    # kernel turns them on a moment after the probe's socket asks: the 1st
    # answer must be stamped all the same), 1.2 s between the 3rd wake-up and
    # the reads that follow, or 1.2 s before each of three reads in a row (the
    # 7th to the 9th: at least one of them reads an answer, however many reads
    # a request takes).
    count_sends_before_echo
    case $SCENARIO in
      stall_before_send) stall=300 inject=sendto:delay_enter=300000:when=$((SEND_BASE + 3)) ;;
      stall_after_send) stall=1200 inject=sendto:delay_exit=1200000:when=$((SEND_BASE + 1)) ;;
      stall_after_wakeup) stall=1200 inject=ppoll:delay_exit=1200000:when=3 ;;
      stall_before_read) stall=3600 inject=recvmsg:delay_enter=1200000:when=7..9 ;;
    esac
    kernel_echo on
    # The reads too, so that a failure shows the stamps the answers carried.
    traced -e trace="${inject%%:*},recvmsg" -e inject="$inject"
    probe_default
    expect_traced DELAYED
    expect_series status=available loss_rate=0 received=10 note= avg_latency_ms\<=5 jitter_ms\<=5
    expect_elapsed "$stall" $((stall + 2000))
    ;;
  late_answer | late_answer_stalled | stalled_answer_in_time)
    # The 3rd request's reply comes 1100 ms after it, past its deadline: not
    # counted, and not when the probe, held 1.5 s right after sending it,
    # reads it before the next request either. The same stall with the reply
    # after 900 ms: counted, with its 900 ms.
    when=1100
    [ "$SCENARIO" = stalled_answer_in_time ] && when=900
    SEND_BASE=0
    [ "$SCENARIO" = late_answer ] || count_sends_before_echo
    responder_start --at 3=reply@$when --realtime
    if [ "$SCENARIO" != late_answer ]; then
      traced -e trace=sendto,recvmsg -e inject=sendto:delay_exit=1500000:when=$((SEND_BASE + 3))
    fi
    probe_default
    [ "$SCENARIO" = late_answer ] || expect_traced DELAYED
    if [ "$when" -lt 1000 ]; then
      expect_series status=unstable loss_rate=0 received=10 note= \
        avg_latency_ms\>=90 avg_latency_ms\<=120 jitter_ms\>=880 jitter_ms\<=999
    else
      expect_series status=unstable loss_rate=10 received=9 note= avg_latency_ms\<=20 jitter_ms\<=50
    fi
    expect_requests 10
    ;;
  redirect | source_quench | udp_error)
    # A router's redirect (the request forwarded all the same), a source
    # quench, or destination unreachable about a UDP datagram of the probe
    # host, each just before every reply: nothing about the request, so every
    # reply counts. Request 4 gets only that packet and waits its full
    # second: the packet neither answers a request nor ends its wait.
    noise=${SCENARIO/source_quench/quench}
    noise=${noise//_/-}
    responder_start --default "$noise+reply@40" --at 4="$noise" --error-src 198.51.100.1
    probe_default
    expect_series status=unstable loss_rate=10 received=9 note= \
      avg_latency_ms\>=40 avg_latency_ms\<=60 jitter_ms\<=20
    expect_elapsed 1000 2500
    expect_requests 10
    ;;
  many_probes)
    # MANY_PROBES probes (100 unless set) at once on the same source and
    # target, answered by the kernel; the responder only records every
    # request it sees. No (identifier, sequence) pair may go out twice, and
    # every probe prints its whole line. Replies may go missing now and then
    # with raw sockets under this load, so the counts are checked loosely.
    n=${MANY_PROBES:-100}
    responder_start --default drop --rcvbuf $((32 << 20))
    kernel_echo on
    start_many "$n" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
    wait_many
    received=0
    for ((i = 1; i <= n; i++)); do
      [ "$(cat "$MANY_DIR/status.$i")" = 0 ] || fail "probe $i: exit status $(cat "$MANY_DIR/status.$i")"
      [ ! -s "$MANY_DIR/err.$i" ] || fail "probe $i: standard error: $(cat "$MANY_DIR/err.$i")"
      REPORT=$MANY_DIR/out.$i
      expect_series note=
      received=$((received + $(grep -o '"received":[0-9]*' "$REPORT" | cut -d: -f2)))
    done
    echo "$n probes in $MANY_MS ms: $received of $((n * 10)) replies received"
    expect_requests $((n * 10))
    pairs=$(responder_log | grep -o 'request #.* id=[0-9]* seq=[0-9]*' | sed 's/.* id=/id=/')
    echo "requests: $(cut -d' ' -f1 <<<"$pairs" | sort -u | wc -l) identifiers," \
      "$(sort -u <<<"$pairs" | wc -l) (identifier, sequence) pairs"
    reused=$(sort <<<"$pairs" | uniq -d)
    [ -z "$reused" ] || fail "$(wc -l <<<"$reused") (identifier, sequence) pairs went out twice: $(head -5 <<<"$reused" | tr '\n' ' ')"
    [ "$received" -ge $((n * 10 * 99 / 100)) ] || fail "only $received of $((n * 10)) replies received"
    ;;
  caps_during_run | caps_fail_closed)
    # Root over the raw socket; over the datagram socket nobody holding
    # CAP_NET_RAW as an ambient capability (what the package's file
    # capability gives every user), which that socket does not need.
    if [ "$KIND" = dgram ]; then
      PROBE_SETPRIV=("--inh-caps=-all,+net_raw" --ambient-caps=+net_raw "--bounding-set=-all,+net_raw")
      expect_caps $((1 << 13))
    fi
    count_sends_before_echo
    responder_start
    net_raw=$(printf '%x' $((1 << 13)))
    if [ "$SCENARIO" = caps_during_run ]; then
      # Held at its first socket() (the arguments read, nothing opened yet)
      # and at its 2nd request (the socket open): no capability effective at
      # the first, none at all and no way to gain any at the second.
      traced -e trace=socket,sendto -e inject=socket:delay_enter=3000000:when=1 \
        -e inject=sendto:delay_enter=3000000:when=$((SEND_BASE + 2))
      run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
      stalled_at socket 1
      expect_proc "with its arguments read" CapEff=0 CapPrm="$net_raw" CapInh=0 CapAmb=0 \
        NoNewPrivs=0
      stalled_at sendto $((SEND_BASE + 2))
      expect_proc "during the series" CapEff=0 CapPrm=0 CapInh=0 CapAmb=0 NoNewPrivs=1
      wait_probe
      expect_traced DELAYED
      expect_series status=available loss_rate=0 received=10 note=
      expect_requests 10
      # Arguments that stop the run before any socket: held as it writes its
      # line, it holds nothing effective either, so it gave that up before
      # the arguments were looked at, not on the way to a socket.
      traced -e trace=write -e inject=write:delay_enter=3000000:when=1
      run_probe_async --src-ip 192.0.2.256 --target-ip "$TARGET_IP"
      stalled_at write 1
      expect_proc "with its arguments rejected" CapEff=0 CapPrm="$net_raw" CapInh=0 CapAmb=0
      wait_probe
      expect status=unavailable sent=0 note="invalid --src-ip"
      expect_requests 10
    else
      # Giving up the capabilities fails, or silently does nothing: the
      # probe must not go on with them. The capset that clears every set is
      # the 2nd after a datagram socket, the 3rd after raising CAP_NET_RAW
      # for a raw one; prctl sets no_new_privs and reads it back.
      clear=2
      [ "$KIND" = raw ] && clear=3
      for inject in prctl:error=EPERM prctl:retval=0:when=1 \
        capset:error=EPERM:when=$clear capset:retval=0:when=$clear; do
        traced -e trace=capset,prctl -e inject="$inject"
        probe_default
        expect status=unavailable loss_rate=100 sent=0 received=0 src_ip="$PROBE_IP" \
          target_ip="$TARGET_IP" note="IcmpCreateFile failed"
        expect_traced INJECTED
      done
      expect_requests 0
    fi
    ;;
  start_limit_refused)
    # capset refused at start (a seccomp filter answering EPERM), or skipped
    # and claimed done, for root over the raw socket and for a copy with the
    # file capability cap_net_raw+ep run by nobody, datagram sockets not
    # admitted (strace, privileged, lets the capability take effect): the
    # probe could not be limited, so it opens nothing, not one socket()
    # call, and reports "IcmpCreateFile failed"; arguments that stop the run
    # still have their own row. Each first uninjected: the same run works,
    # over a raw socket.
    ! findmnt -no OPTIONS -T "$NETNS_WORK" | grep -qw nosuid || fail "$NETNS_WORK is on a nosuid mount"
    kernel_echo on
    for who in root nobody; do
      PROBE_USER=$who PROBE_FILECAPS=
      [ "$who" = root ] || PROBE_FILECAPS=cap_net_raw+ep
      for inject in none capset:error=EPERM capset:retval=0:when=1 missing:capset:error=EPERM; do
        args=(-e "trace=socket,capset")
        [ "$inject" = none ] || args+=(-e inject="${inject#missing:}")
        if [ "$who" = root ]; then traced "${args[@]}"; else traced_setuid "${args[@]}"; fi
        if [ "$inject" = none ]; then
          probe_default
          expect_series status=available loss_rate=0 received=10 note=
          grep -q '^socket(AF_INET, SOCK_RAW.* = [0-9]' "$STRACE_LOG" || fail "no raw ICMP socket opened"
          continue
        elif [[ $inject == missing:* ]]; then
          run_probe --target-ip "$TARGET_IP"
          expect status=unavailable sent=0 src_ip= target_ip= note="missing --src-ip"
        else
          probe_default
          expect status=unavailable loss_rate=100 sent=0 received=0 src_ip="$PROBE_IP" \
            target_ip="$TARGET_IP" note="IcmpCreateFile failed"
        fi
        expect_traced INJECTED
        ! grep -q '^socket(' "$STRACE_LOG" || fail "socket() called where the start-up limit failed"
      done
    done
    ;;
  # --- IP options and quoted destinations
  ip_options_reply)
    # Every reply carries a record-route option (a 28-byte IP header): a raw
    # socket gets the header as received, a datagram socket only the ICMP
    # part. Each must count all ten.
    responder_start --ip-options 0707040000000000
    watch_headers_start
    probe_default
    watch_headers_expect 0 10 28
    expect_series status=available loss_rate=0 received=10 note= avg_latency_ms\<=20
    expect_requests 10
    ;;
  ip_options_error)
    # As icmp_error, with every packet the responder sends carrying IP options
    # (no-operations, a 24-byte header): the two errors still end their waits
    # at once, the eight replies count.
    responder_start --ip-options 01010101 --at 4=unreach:1 --at 7=exceeded \
      --error-src 198.51.100.1
    watch_headers_start
    probe_default
    watch_headers_expect 0 8 24
    watch_headers_expect 3 1 24
    watch_headers_expect 11 1 24
    expect_series status=unstable loss_rate=20 received=8 note=
    expect_elapsed 0 800
    ;;
  other_dst_error | other_src_error)
    # Each request first gets a destination unreachable that quotes its
    # identifier and sequence but another destination (or, seen only by a
    # raw socket, another source), then its reply 40 ms later; request 4 gets
    # only the error. The error is about some other packet: it ends no wait,
    # and the replies that follow count.
    stray=${SCENARIO//_/-}
    responder_start --default "$stray+reply@40" --at 4="$stray" --error-src 198.51.100.1
    probe_default
    expect_series status=unstable loss_rate=10 received=9 note= \
      avg_latency_ms\>=40 avg_latency_ms\<=60
    expect_elapsed 1300 3000
    ;;
  # --- uplinks, stale errors, clocks, the firewall, setuid
  multipath_source_table) scenario_multipath_source_table ;;
  address_moved) scenario_address_moved ;;
  interface_made_again) scenario_interface_made_again ;;
  carrier_lost) scenario_carrier_lost ;;
  two_uplinks | uplink_no_route | table_routed_source | source_rules | source_rule_only_route | \
    setuid_uidrange | fwmark_reroute | long_link_answer | reply_other_uplink | route_gap_up*)
    # The probe host of netns_uplinks. Each uplink's address is answered
    # through its own uplink, whichever has the lower metric; the direct
    # link's address has no route to the target on its interface: nothing may
    # go out there or through an uplink. Addresses on the loopback and on a
    # dummy interface go where the table says (the metric-100 uplink), as
    # they cannot go out through their own interface, and so does 0.0.0.0
    # (the kernel chooses that uplink's address). Source rules change
    # nothing. Each address stays on its own interface also where the rules
    # route by the socket owner's uid or by a firewall's mark, and where its
    # interface's link answer is long; a reply that comes back by the other
    # uplink is not seen; a route gone mid-series stops the requests.
    netns_uplinks
    case $SCENARIO in
      source_rules) uplink_rules ;;
      source_rule_only_route) uplink_rules only_source ;;
      setuid_uidrange) uplink_rules uid ;;
      fwmark_reroute) uplink_rules mark ;;
    esac
    if [[ $SCENARIO == route_gap_* ]]; then responder_start --default reply@500; else responder_start; fi
    case $SCENARIO in
      two_uplinks) expect_via "$UPLINK2_IP" kpi-up2 && expect_via "$UPLINK1_IP" kpi-up1 ;;
      source_rules)
        expect_via "$UPLINK2_IP" kpi-up2 && expect_via "$UPLINK1_IP" kpi-up1
        # A rule that sends one uplink's address out through the other on
        # purpose stands too (the reply comes back by the address's own).
        in_probe ip route add default via 198.18.0.1 dev kpi-up2 table 300
        in_probe ip rule add from "$UPLINK1_IP" lookup 300 pref 900
        expect_via "$UPLINK1_IP" kpi-up2
        ;;
      source_rule_only_route)
        # Also where its table is the only one with a route to the target;
        # the other uplink's address, without a rule, has no route at all.
        expect_via "$UPLINK1_IP" kpi-up2 && expect_via "$UPLINK2_IP" none
        ;;
      uplink_no_route) expect_via "$PROBE_IP" none ;;
      table_routed_source)
        expect_via "$LOOPBACK_SRC" kpi-up1
        expect_via 0.0.0.0 kpi-up1 "$UPLINK1_IP"
        if [ -n "$DUMMY_SRC" ]; then expect_via "$DUMMY_SRC" kpi-up1; else echo "no dummy interfaces in this kernel"; fi
        ;;
      setuid_uidrange)
        # A setuid-root copy run by nobody: its socket is root's, and the
        # kernel routes it as root whatever the caller; asked as nobody,
        # up2 would seem to have no route. nobody's own socket (the datagram
        # one: nobody opens no raw socket) has none there indeed.
        ! findmnt -no OPTIONS -T "$NETNS_WORK" | grep -qw nosuid ||
          fail "$NETNS_WORK is on a nosuid mount"
        PROBE_USER=nobody PROBE_MODE=4755
        expect_via "$UPLINK2_IP" kpi-up2 && expect_via "$UPLINK1_IP" kpi-up1
        if [ "$KIND" = dgram ]; then
          PROBE_MODE=755
          expect_via "$UPLINK2_IP" none && expect_via "$UPLINK1_IP" kpi-up1
        fi
        ;;
      fwmark_reroute)
        # The marks do reroute what is not bound to a device (ping from
        # up1's address leaves by up2) and leave what is (ping -I kpi-up2).
        icmp_count_start
        for ping in "$UPLINK1_IP" kpi-up2; do
          pinged=$(icmp_count kpi-up2 out)
          in_probe ping -c 1 -W 2 -n -q -I "$ping" "$TARGET_IP" >/dev/null ||
            fail "ping -I $ping was not answered"
          [ "$(icmp_count kpi-up2 out)" -gt "$pinged" ] || fail "ping -I $ping did not leave by kpi-up2"
        done
        expect_via "$UPLINK2_IP" kpi-up2 && expect_via "$UPLINK1_IP" kpi-up1
        ;;
      long_link_answer)
        # up2 with so many alternative names that its link answer is over
        # 16 KiB: read whole (strace shows the read), and up2 held as ever.
        for ((i = 1; i <= 140; i += 7)); do
          names=()
          for ((j = i; j < i + 7; j++)); do
            name=$(printf 'kpi-up2-alt%03d-%0115d' "$j" 0)
            names+=(altname "${name:0:127}")
          done
          in_probe ip link property add dev kpi-up2 "${names[@]}"
        done
        size=$(in_probe ip -j -d link show dev kpi-up2 | wc -c)
        echo "ip -j -d link show dev kpi-up2: $size bytes"
        [ "$size" -gt 16384 ] || fail "kpi-up2's link answer is only $size bytes"
        traced -e trace=recvfrom
        expect_via "$UPLINK2_IP" kpi-up2
        # recvfrom(fd, data, BUFFER, MSG_TRUNC, ...) = LENGTH: an answer
        # read whole is one whose length fits the buffer it was read into.
        largest=$(sed -n 's/^recvfrom(.*, \([0-9]*\), MSG_TRUNC, .* = \([0-9]*\)$/\1 \2/p' "$STRACE_LOG" |
          awk '$2 <= $1 { print $2 }' | sort -n | tail -n 1)
        echo "the probe's largest answer read whole: ${largest:-no} bytes"
        [ "${largest:-0}" -gt 16384 ] || fail "the probe read no answer over 16 KiB whole"
        ;;
      reply_other_uplink)
        # The target's replies to up2's address come back through provider 1
        # and up1: the probe host receives them, the probe does not see them.
        in_responder ip route replace 198.18.0.0/24 via 198.19.1.1
        ip netns exec "${UPLINK_NS[0]}" ip route add 198.18.0.0/24 via "$UPLINK1_IP"
        icmp_count_start
        expect_via "$UPLINK2_IP" kpi-up2/lost
        expect_elapsed 10000 12500
        for iface in kpi-up1 kpi-up2; do echo "  $iface received $(icmp_count "$iface" in) echo replies"; done
        [ "$(icmp_count kpi-up1 in)" -ge 10 ] || fail "the replies did not arrive by kpi-up1"
        [ "$(icmp_count kpi-up2 in)" -eq 0 ] || fail "replies arrived by kpi-up2"
        ;;
      route_gap_up*)
        # Every reply 500 ms late, and the probe held 250 ms before each
        # route netlink request, so that each request not sent still takes
        # time. Once the 2nd request has left, the uplink's default route
        # is deleted (the probe waits for that reply), and 1.5 s later it is
        # restored. Meanwhile nothing may leave: not by the other uplink (by
        # the tables, up1's address would leave by up2), and not by the
        # uplink on the kernel's guess that a target without a route is a
        # neighbour on the link (the providers answer ARP for everything
        # they route). The requests made without the route fail, those
        # after it are sent again, and the series reads unavailable with
        # the bind-failure note.
        n=${SCENARIO#route_gap_up} up=kpi-up$n
        src=$UPLINK1_IP gw=203.0.113.1
        [ "$n" = 2 ] && src=$UPLINK2_IP gw=198.18.0.1
        route=(default via "$gw" dev "$up" metric $((n * 100)))
        for ns in "${UPLINK_NS[@]}"; do ip netns exec "$ns" sysctl -qw net.ipv4.conf.kpi-down.proxy_arp=1; done
        icmp_count_start
        traced -e trace=write -e inject=write:delay_enter=250000
        run_probe_async --src-ip "$src" --target-ip "$TARGET_IP"
        for ((i = 0; i < 500; i++)); do
          [ "$(icmp_count "$up" out)" -lt 2 ] || break
          kill -0 "$PROBE_JOB" 2>/dev/null || fail "the probe ended before its 2nd request"
          sleep 0.02
        done
        in_probe ip route del "${route[@]}"
        ahead=$(icmp_count "$up" out)
        sleep 1.5
        during=$(($(icmp_count "$up" out) - ahead))
        in_probe ip route add "${route[@]}"
        wait_probe
        for iface in "${UPLINK_IFS[@]}"; do echo "  $iface sent $(icmp_count "$iface" out) echo requests"; done
        total=$(icmp_count "$up" out)
        echo "  $ahead before the route was deleted, $during without it, $((total - ahead - during)) after"
        [ "$ahead" -ge 2 ] || fail "the route was deleted before the 2nd request left"
        [ "$during" -eq 0 ] || fail "$during echo requests left by $up while it had no route"
        [ "$total" -gt "$ahead" ] || fail "no request left once the route was back"
        for iface in "${UPLINK_IFS[@]}"; do
          [ "$iface" = "$up" ] || [ "$(icmp_count "$iface" out)" -eq 0 ] ||
            fail "echo requests from $src left by $iface"
        done
        expect status=unavailable sent=10 received="$total" src_ip="$src" note="$BIND_NOTE"
        [ "$(responder_log | grep -c "request #.* $src->$TARGET_IP ")" -eq "$total" ] ||
          fail "the responder did not see the $total requests from $src"
        ;;
    esac
    ;;
  netlink_refused | hold_refused)
    # The host of two_uplinks, the probe run as root (the loader ignores a
    # preload for a program that gains privileges at its start) under the
    # preload shim. Route netlink refused (a sandbox without AF_NETLINK, or
    # a security module): the interface of an uplink's address cannot be
    # told. Every way of holding the socket to its interface refused: its
    # requests cannot be kept to it. Either way none is sent, by that uplink
    # or another: the bind-failure row at once. 0.0.0.0 is routed by the
    # tables without asking. Where the device binding by index is refused
    # (an emulator that does not know it), the one by name holds the socket;
    # where both are, naming the output interface does. Each row: what the
    # shim refuses, the source, where its requests must go, the one holding
    # call that reached the kernel (strace), where they come from.
    netns_uplinks
    responder_start
    if [ "$SCENARIO" = netlink_refused ]; then
      rows=("netlink $UPLINK2_IP none -" "netlink=EACCES $UPLINK1_IP none -"
        "netlink 0.0.0.0 kpi-up1 - $UPLINK1_IP")
    else
      rows=("ifindex,devname,unicast_if $UPLINK2_IP none -"
        "ifindex=EPERM,devname=EPERM,unicast_if $UPLINK1_IP none -"
        "ifindex $UPLINK2_IP kpi-up2 SO_BINDTODEVICE" "ifindex,devname $UPLINK2_IP kpi-up2 IP_UNICAST_IF")
    fi
    holding='SO_BINDTOIFINDEX|SO_BINDTODEVICE|IP_UNICAST_IF'
    for row in "${rows[@]}"; do
      read -r refused src via held from <<<"$row"
      traced -e trace=setsockopt
      refusing "$refused"
      expect_via "$src" "$via" "${from:-$src}"
      echo "refused by the shim:" "$(sort "$REFUSED_LOG" | uniq -c | sed "s/^ *\([0-9]*\) \(.*\)/\2 (\1)/" | paste -sd,)"
      [ "$(sort -u "$REFUSED_LOG" | wc -l)" -eq "$(tr , '\n' <<<"$refused" | wc -l)" ] ||
        fail "the shim refused $(sort -u "$REFUSED_LOG" | wc -l) kinds of call, expected each of $refused"
      holds=$(grep -E "^setsockopt\(.*($holding)" "$STRACE_LOG" || true)
      got=$(grep -oE "$holding" <<<"$holds" | tr '\n' ' ' || true)
      [ "${got% }" = "${held#-}" ] || fail "holding calls that reached the kernel: ${holds:-none}; expected ${held/#-/none}"
      [[ -z $holds || $holds == *" = 0" ]] || fail "the holding call failed: $holds"
      PROBE_WRAPPER=
    done
    ;;
  error_after_reply | net_error_after_reply | redirect_after_reply)
    # Host or network unreachable, or a redirect, quoting each request 20 ms
    # after its reply (after the probe has read the reply: arriving with it,
    # the error would be returned and cleared by the read), and the probe
    # held 200 ms before each next send, so that the ICMP message has surely
    # arrived by then: a datagram socket has it as a pending error, which
    # must cost no request.
    noise=unreach:1
    [ "$SCENARIO" = net_error_after_reply ] && noise=unreach:0
    [ "$SCENARIO" = redirect_after_reply ] && noise=redirect
    count_sends_before_echo
    responder_start --default "reply+$noise@20" --error-src 198.51.100.1
    traced -e trace=sendto -e inject=sendto:delay_enter=200000:when=$((SEND_BASE + 2))..$((SEND_BASE + 10))
    probe_default
    expect_traced DELAYED
    expect_series status=available loss_rate=0 received=10 note= avg_latency_ms\<=20
    expect_requests 10
    ;;
  error_behind_reply)
    # Every reply followed at once by network unreachable quoting the same
    # request, 20 ms after it, and the probe held 5 ms after each wake-up, so
    # that it reads its transmit stamp alone and then finds the two answers
    # queued. The reply was received first: every request counts. Then the
    # same with replies read without their receive stamps (the preload shim
    # takes them out, as before the kernel's receive stamping comes on):
    # which came first cannot be told, and the reply still counts.
    responder_start --default reply@20+unreach:0@20 --error-src 198.51.100.1
    for stamps in kernel none; do
      traced -e trace=ppoll -e inject=ppoll:delay_exit=5000
      [ "$stamps" = kernel ] || refusing rx_stamps
      probe_default
      expect_traced DELAYED
      expect_series status=available loss_rate=0 received=10 note=
      PROBE_WRAPPER=
    done
    grep -q '^recvmsg without receive stamp' "$REFUSED_LOG" ||
      fail "the shim did not take the receive stamps away"
    expect_requests 20
    ;;
  reply_and_error_queued)
    # The 3rd request gets its reply at 600 ms and host unreachable quoting
    # it at 610 ms, the 6th the same two the other way round; each time the
    # probe is stopped from the moment it sleeps waiting (its transmit stamp
    # read) until both have arrived. The one the kernel received first
    # decides: the 3rd counts (600 ms), the 6th is lost, and the pending
    # error costs neither the 4th nor the 7th request.
    count_sends_before_echo
    responder_start --at 3=reply@600+unreach:1@610 --at 6=unreach:1@600+reply@610 \
      --error-src 198.51.100.1
    traced -e trace=sendto,ppoll,recvmsg
    run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
    for n in 3 6; do
      asleep_after sendto $((SEND_BASE + n))
      probe_signal STOP
      ! responder_log | grep -q "sent .* to #$n " || fail "the probe was stopped only after an answer to request $n"
      responder_sent "reply to #$n" && responder_sent "unreach:1 to #$n"
      sleep 0.05  # one veth hop
      probe_signal CONT
    done
    wait_probe
    expect_series status=unstable loss_rate=10 received=9 note= \
      avg_latency_ms\>=66 avg_latency_ms\<=90 jitter_ms\>=590 jitter_ms\<=650
    expect_requests 10
    ;;
  rtt_floor_held | rtt_floor_valgrind)
    # Every reply 40 ms after its request: no round trip may come out below
    # that, with the probe held 20 ms after each wake-up and read, or run
    # under valgrind, where reading a clock is a system call: once as it is,
    # once with every 5th reading held 15 ms, which parts the two clocks'
    # readings of a conversion (a stamp converted with the real-time clock
    # read late lands early).
    responder_start --default reply@40 --realtime
    valgrind="valgrind -q --error-exitcode=99"
    if [ "$SCENARIO" = rtt_floor_held ]; then
      traced -e trace=ppoll,recvmsg -e inject=ppoll:delay_exit=20000 -e inject=recvmsg:delay_exit=20000
      runs=(held)
    else
      # valgrind cannot run a program built with AddressSanitizer.
      if grep -qa __asan_init "$PROBE_BIN"; then
        echo "skipped: a sanitizer build does not run under valgrind"
        exit 77
      fi
      PROBE_WRAPPER=$valgrind
      runs=(plain clock_stall)
    fi
    for run in "${runs[@]}"; do
      if [ "$run" = clock_stall ]; then
        traced -e trace=clock_gettime -e inject=clock_gettime:delay_exit=15000:when=3+5
        PROBE_WRAPPER+=" $valgrind"
      fi
      probe_default
      [ "$run" = plain ] || expect_traced DELAYED
      expect_series status=available loss_rate=0 received=10 note= \
        avg_latency_ms\>=40 avg_latency_ms\<=60 jitter_ms\<=10
    done
    ;;
  firewall_refused)
    # The firewall refuses the 3rd request (added while the probe is held
    # before sending it, removed while it is held before the 4th); the 4th
    # is answered after 1100 ms, past its deadline, and read while the probe
    # is held 1.5 s after sending it. The kernel numbers the refused send's
    # transmit stamp all the same; matched to the wrong requests, the stamps
    # would leave the 4th timed from the end of the hold, its late answer
    # counted.
    count_sends_before_echo
    responder_start --at 3=reply@1100 --realtime
    traced -e trace=sendto,recvmsg \
      -e inject=sendto:delay_enter=1000000:delay_exit=1500000:when=$((SEND_BASE + 3))..$((SEND_BASE + 4))
    run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
    stalled_at sendto $((SEND_BASE + 3))
    firewall on
    stalled_at sendto $((SEND_BASE + 4))
    firewall off
    wait_probe
    [ "$(failed_sends EPERM)" -eq 1 ] || fail "$(failed_sends EPERM) sends refused, expected 1"
    expect_series status=unstable loss_rate=20 received=8 note= avg_latency_ms\<=20 jitter_ms\<=50
    expect_requests 9
    ;;
  route_gap | link_gap)
    # Request 4 is not sent: its interface's route to the target is gone
    # when the probe asks for it (deleted once request 3 went out, back as
    # soon as request 4's route question was answered), so the probe never
    # calls sendto for it; or the link is down when the kernel takes its send
    # (taken down after its look for news of a change found none, up again
    # once the kernel had refused it), which fails with ENETUNREACH before the kernel
    # numbers the request's transmit stamp. (A datagram socket's send that
    # fails so is made four times, as the failure may be an earlier
    # request's pending error: the link comes back after the last.) Either
    # way the request gets 1231, so the series reads "unavailable" with the
    # bind-failure note, with nine replies, each 40 ms after its request.
    # The last send before request 5 (request 3's, or request 4's last try)
    # and request 5's are each held 300 ms on their way into sendto and 1 s
    # on their way out: the round trip of request 5 stays 40 ms only if it
    # is timed from its own transmit stamp (taking the gap for a numbered
    # send, it would be timed from before its hold, or lost). The reply to
    # request 3 may arrive while the route back is gone: no reverse-path
    # filter.
    in_probe sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0 \
      net.ipv4.conf."$PROBE_IF".rp_filter=0
    count_sends_before_echo
    responder_start --default reply@40 --realtime
    route=(198.51.100.0/24 dev "$PROBE_IF")
    # The check: request 4's route question (the one after its interface's,
    # the first questions after request 1), or its look for news.
    check=(write $((QUESTION_BASE + 2))) refused=1
    [ "$KIND" = dgram ] && refused=4
    [ "$SCENARIO" = route_gap ] && refused=0
    [ "$SCENARIO" = link_gap ] && check=(recvfrom $((ASK_BASE + 3)))
    send=$((SEND_BASE + 3 + refused))
    traced -e trace=sendto,recvfrom,write \
      -e inject=sendto:delay_enter=300000:delay_exit=1000000:when=$send..$((send + 1)) \
      -e inject="${check[0]}":delay_exit=1000000:when="${check[1]}"
    run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
    if [ "$SCENARIO" = route_gap ]; then
      stalled_at sendto "$send" exit
      in_probe ip route del "${route[@]}"
      still_held "the route was deleted"
      stalled_at "${check[@]}" exit
      in_probe ip route add "${route[@]}"
      still_held "the route was back"
    else
      stalled_at "${check[@]}" exit
      in_probe ip link set "$PROBE_IF" down
      still_held "the link was down"
      stalled_at sendto "$send" exit
      # Taking the link down took its routes with it.
      in_probe ip link set "$PROBE_IF" up
      in_probe ip route add "${route[@]}"
      still_held "the link was up"
    fi
    wait_probe
    expect_traced DELAYED
    [ "$(failed_sends ENETUNREACH)" -eq "$refused" ] ||
      fail "$(failed_sends ENETUNREACH) sends failed as network unreachable, expected $refused"
    expect_series status=unavailable loss_rate=10 received=9 note="$BIND_NOTE" \
      avg_latency_ms\>=40 avg_latency_ms\<=60 jitter_ms\<=20
    expect_requests 9
    ;;
  setuid_root)
    # The probe installed setuid root and run by nobody: once its socket is
    # open it holds the caller's ids in every column, no capability and no
    # way to gain one. Where the user id cannot be given back (the call
    # refused, or skipped and claimed done) it offers no service; with the
    # group too (setgid root as well).
    ! findmnt -no OPTIONS -T "$NETNS_WORK" | grep -qw nosuid ||
      fail "$NETNS_WORK is on a nosuid mount"
    nogroup=$(getent group nogroup | cut -d: -f3)
    count_sends_before_echo
    PROBE_USER=nobody PROBE_MODE=4755
    responder_start
    probe_default
    expect_series status=available loss_rate=0 received=10 note=
    traced_setuid -e trace=sendto -e inject=sendto:delay_enter=3000000:when=$((SEND_BASE + 2))
    run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
    stalled_at sendto $((SEND_BASE + 2))
    expect_ids "during the series" 65534 "$nogroup"
    expect_proc "during the series" CapEff=0 CapPrm=0 CapInh=0 CapAmb=0 NoNewPrivs=1
    wait_probe
    expect_series status=available loss_rate=0 received=10 note=
    for inject in 4755:setresuid,setreuid,setuid:error=EPERM 4755:setresuid,setreuid,setuid:retval=0 \
      6755:setresgid,setregid,setgid:error=EPERM 6755:setresgid,setregid,setgid:retval=0; do
      PROBE_MODE=${inject%%:*} inject=${inject#*:}
      traced_setuid -e trace="${inject%%:*}" -e inject="$inject"
      probe_default
      expect status=unavailable loss_rate=100 sent=0 received=0 note="IcmpCreateFile failed"
      expect_traced INJECTED
    done
    expect_requests 20
    ;;
  # --- the wait's edges: the deadline, stale and foreign errors, the first
  # sequence number, the raw socket's filter, closed standard streams
  unread_at_deadline)
    # The 1st request's reply comes after 40 ms; strace holds the probe 1.2 s
    # on its way out of its first ppoll, which the request's transmit stamp
    # ends at once. The deadline passes with the reply unread: it arrived in
    # time, so it counts, with its 40 ms.
    responder_start --at 1=reply@40 --realtime
    traced -e trace=ppoll,recvmsg -e inject=ppoll:delay_exit=1200000:when=1
    probe_default
    expect_traced DELAYED
    expect_series status=available loss_rate=0 received=10 note= jitter_ms\>=38 jitter_ms\<=60
    expect_elapsed 1200 3200
    ;;
  woken_to_deadline)
    # Request 4 is never answered, but replies with its identifier and
    # another sequence number wake the probe every 50 ms until 850 ms after
    # it and again from 1400 ms to 2500 ms: its wait still ends at 1000 ms.
    stream=wrong-seq
    for ms in $(seq 50 50 850) $(seq 1400 50 2500); do stream+="+wrong-seq@$ms"; done
    responder_start --at 4="$stream" --realtime
    probe_default
    expect_series status=unstable loss_rate=10 received=9 note=
    expect_elapsed 1000 1300
    ;;
  stale_error)
    # Request 4 is never answered; destination unreachable quoting it comes
    # when request 5 arrives, 40 ms before that one's reply. It is about the
    # earlier request: request 5's wait goes on and its reply counts.
    responder_start --at 4=unreach@next --at 5=reply@40 --error-src 198.51.100.1
    probe_default
    expect_series status=unstable loss_rate=10 received=9 note=
    expect_elapsed 1000 2500
    ;;
  pending_error_alone)
    # From request 4 on, which goes unanswered, the socket holds a pending
    # error with nothing queued behind it (the preload shim keeps it there,
    # as the kernel does when it could not queue the error's record): poll
    # reports it at once, so left unread it would wake the wait again and
    # again up to its deadline. It is read at the first wake-up.
    responder_start --at 4=drop
    refusing pending_error
    probe_default
    expect_series status=unstable loss_rate=10 received=9 note=
    expect_elapsed 1000 1500
    wakeups=$(grep -c '^ppoll POLLERR' "$REFUSED_LOG" || true)
    echo "wake-ups while the pending error stood: $wakeups"
    if [ "$wakeups" -lt 1 ] || [ "$wakeups" -gt 2 ]; then
      fail "$wakeups wake-ups while the pending error stood"
    fi
    ;;
  first_sequence)
    # Three runs never start at the same sequence number, nor at the same
    # distance from their identifier (which two runs with the same
    # identifier would then share).
    responder_start
    for _ in 1 2 3; do probe_default; done
    expect_requests 30
    firsts=$(responder_log | sed -n 's/.*request #\([0-9]*\) .* id=\([0-9]*\) seq=\([0-9]*\) .*/\1 \2 \3/p' |
      awk '$1 % 10 == 1 { print $3, ($3 - $2 + 65536) % 65536 }')
    echo "first sequence numbers, and their distance from the identifier:" "${firsts//$'\n'/, }"
    [ "$(cut -d' ' -f1 <<<"$firsts" | sort -u | wc -l)" -eq 3 ] ||
      fail "runs started at the same sequence number"
    [ "$(cut -d' ' -f2 <<<"$firsts" | sort -u | wc -l)" -eq 3 ] ||
      fail "runs started at the same distance from their identifier"
    ;;
  filtered_flood)
    # Held 300 ms just before it attaches its filter, under a flood of other
    # processes' echo replies and errors, then answered after 50 ms: the
    # flood neither reaches nor wakes it, what queued in that moment
    # included. A few reads and wake-ups a request, no more.
    responder_start --default reply@50 --flood "$FLOOD_RATE" --flood-kinds foreign-reply,foreign-error
    flood_mark
    traced -e trace=setsockopt,ppoll,recvmsg -e inject=setsockopt:delay_enter=300000:when=3
    probe_default
    expect_flood
    grep -q '^setsockopt(.*SO_ATTACH_FILTER.*(DELAYED)' "$STRACE_LOG" ||
      fail "the probe was not held just before attaching its filter"
    expect_series status=available loss_rate=0 received=10 note=
    for call in ppoll recvmsg; do
      calls=$(grep -c "^$call(" "$STRACE_LOG" || true)
      echo "$call: $calls calls"
      [ "$calls" -le 60 ] || fail "$calls $call calls for 10 requests"
    done
    ;;
  closed_streams)
    # Started with standard streams closed, and held at each of its writes:
    # at every one to a socket (the loopback datagram that waits for receive
    # stamps, the route netlink requests; the ICMP socket is open too) the
    # closed streams are still closed and no socket is below 3. (A
    # sanitizer's runtime writes to pipes of its own, which may take a
    # closed stream's descriptor for a moment.)
    responder_start
    for closed in 0 1 2 012; do
      redirect=$(sed 's/[0-9]/& /g; s/0/0<\&-/; s/1/1>\&-/; s/2/2>\&-/' <<<"$closed")
      printf '#!/bin/sh\nexec "$@" %s\n' "$redirect" >"$NETNS_WORK/closed"
      chmod 755 "$NETNS_WORK/closed"
      traced -e trace=write -e inject=write:delay_enter=200000
      PROBE_WRAPPER+=" $NETNS_WORK/closed"
      run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
      seen=0 checked=0
      while kill -0 "$PROBE_JOB" 2>/dev/null; do
        last=$(tail -n 1 "$STRACE_LOG")
        n=$(grep -c '^write(' "$STRACE_LOG" || true)
        fd=${last#write(}
        fd=${fd%%,*}
        if [ "$n" -gt "$seen" ] && [[ $last == "write("* && $last != *") = "* ]] &&
          pid=$(probe_pid) && [[ $(readlink "/proc/$pid/fd/$fd") == socket:* ]]; then
          fds=$(cd "/proc/$pid/fd" && for fd in *; do echo "$fd:$(readlink "$fd")"; done)
          echo "closed $closed, at write #$n:" "${fds//$'\n'/ }"
          while read -r fd; do
            ! grep -v "^$fd:pipe:" <<<"$fds" | grep -q "^$fd:" ||
              fail "descriptor $fd, closed at the start, is open"
          done < <(grep -o '[0-9]' <<<"$closed")
          ! grep -q '^[012]:socket' <<<"$fds" || fail "a socket on a standard stream"
          seen=$n checked=$((checked + 1))
        fi
        sleep 0.03
      done
      wait_probe
      [ "$checked" -ge 2 ] || fail "held at only $checked writes to a socket"
      [[ $closed == *1* ]] || expect_series status=available received=10
    done
    ;;
  *)
    fail "unknown scenario $SCENARIO"
    ;;
esac
echo "PASS $SCENARIO.$KIND"

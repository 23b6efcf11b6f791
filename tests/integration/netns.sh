# shellcheck shell=bash
# A throwaway pair of network namespaces joined by a veth pair: the probe host
# (192.0.2.10/24) and the responder host (198.51.100.7/24), each with an
# on-link route to the other's /24, loopback up, and no other route, so
# nothing sent inside them can leave. Source this file, then call netns_create;
# everything it made (namespaces, responder) goes away when the shell exits.
#
#   netns_create                 make the pair; sets PROBE_NS and RESPONDER_NS
#   in_probe CMD...              run CMD on the probe host
#   in_responder CMD...          run CMD on the responder host
#   kernel_echo on|off           the responder host's own echo replies
#   responder_start ARGS...      kernel echo off, start responder.py with ARGS,
#                                wait until it listens
#   responder_log                what the responder did so far
#   netns_uplinks                after netns_create: the probe host reaches
#                                the target through two providers instead
#                                (see there)
#   uplink_rules [KIND]          after netns_uplinks: policy routing (see
#                                there)
#   icmp_count_start             count echo requests and replies on the
#                                probe host's interfaces (icmp_count reads)
#   tx_packets IFACE             packets the probe host sent through IFACE
#   netns_teardown               undo everything (runs on EXIT unless the
#                                caller has an EXIT trap, which calls it)
#   netns_reap_stale             delete the namespaces of shells that are
#                                gone (netns_create calls it)
#
# The shell that makes the namespaces holds a lock on a file named after
# them (NETNS_LOCK_DIR/kpi-TAG.lock, TAG shared by all of them) for as long
# as it lives; netns_reap_stale deletes only namespaces whose lock is free.
# Their creator's PID would not do: a shell in another PID namespace (a
# container, a second job on the same host) cannot see it.

PROBE_IP=192.0.2.10
TARGET_IP=198.51.100.7
# The ends of the veth pair, each inside its namespace.
PROBE_IF=kpi-probe
RESPONDER_IF=kpi-resp
PROBE_NS=
RESPONDER_NS=
UPLINK_NS=()
RESPONDER_PID=
NETNS_WORK=
NETNS_TAG=
NETNS_LOCK=
NETNS_LOCK_FD=
NETNS_LOCK_DIR=/run/lock
[ -d "$NETNS_LOCK_DIR" ] || NETNS_LOCK_DIR=/tmp
NETNS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=SCRIPTDIR/lib/wait.sh
source "$NETNS_DIR/lib/wait.sh"
# The system's interpreter starts fastest; the responder needs only its stdlib.
if [ -z "${PYTHON:-}" ]; then
  PYTHON=python3
  [ -x /usr/bin/python3 ] && PYTHON=/usr/bin/python3
fi

in_probe() { ip netns exec "$PROBE_NS" "$@"; }
in_responder() { ip netns exec "$RESPONDER_NS" "$@"; }

# Namespaces are named kpi-{p,r}-TAG and kpi-u-TAG-N, TAG being PID-RANDOM
# of the shell that made them, its work directory /tmp/kpi-work.TAG.*; drop
# those whose lock is free (their shell was killed before it could clean
# up), and no others: where the lock file is missing, the namespaces are not
# ours to judge.
netns_reap_stale() {
  local ns tag lock fd names
  names=$(ip netns list 2>/dev/null | awk '{ print $1 }')
  while read -r tag; do
    lock=$NETNS_LOCK_DIR/kpi-$tag.lock
    [ -e "$lock" ] || continue
    exec {fd}<"$lock"
    if flock -n "$fd"; then
      while read -r ns; do
        ip netns delete "$ns" 2>/dev/null || true
      done < <(grep -E "^kpi-[pru]-$tag(-[0-9]+)?\$" <<<"$names")
      rm -rf /tmp/kpi-work."$tag".*
      rm -f "$lock"
    fi
    exec {fd}<&-
  done < <(sed -n 's/^kpi-[pru]-\([0-9]*-[0-9]*\)\(-[0-9]*\)\{0,1\}$/\1/p' <<<"$names" | sort -u)
}

netns_create() {
  netns_reap_stale
  local tag=$$-$RANDOM
  # The lock first, so that no namespace of this tag is ever without it.
  NETNS_TAG=$tag
  NETNS_LOCK=$NETNS_LOCK_DIR/kpi-$tag.lock
  exec {NETNS_LOCK_FD}>"$NETNS_LOCK"
  flock -x "$NETNS_LOCK_FD"
  # Each end of the veth pair is created inside its namespace, so these
  # names never meet another test's.
  local veth_p=$PROBE_IF veth_r=$RESPONDER_IF
  # A caller with an EXIT trap of its own calls netns_teardown from it.
  [ -n "$(trap -p EXIT)" ] || trap netns_teardown EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  PROBE_NS=kpi-p-$tag
  RESPONDER_NS=kpi-r-$tag
  NETNS_WORK=$(mktemp -d "/tmp/kpi-work.$tag.XXXXXX")
  ip netns add "$PROBE_NS"
  ip netns add "$RESPONDER_NS"
  ip link add "$veth_p" netns "$PROBE_NS" type veth peer name "$veth_r" netns "$RESPONDER_NS"
  in_probe ip link set lo up
  in_responder ip link set lo up
  in_probe ip addr add "$PROBE_IP/24" dev "$veth_p"
  in_responder ip addr add "$TARGET_IP/24" dev "$veth_r"
  in_probe ip link set "$veth_p" up
  in_responder ip link set "$veth_r" up
  in_probe ip route add 198.51.100.0/24 dev "$veth_p"
  in_responder ip route add 192.0.2.0/24 dev "$veth_r"
  # Addresses are usable at once: no duplicate address detection in IPv4.
}

# The probe host as a host with two uplinks, the way NetworkManager sets one
# up: each uplink has a default route (metrics 100 and 200) to its own
# provider, a namespace that forwards to the responder host; there are no
# source rules. The metric-100 provider drops packets from addresses it did
# not assign (strict reverse-path filter), as providers do. The direct link
# stays, without its route to the target: an interface with an address but
# no route to the target, whose other end nonetheless holds the target's
# address (a request sent out there as to a neighbour would be answered).
# The probe host also holds an address on the loopback interface and one on
# a dummy interface (DUMMY_SRC, empty where the kernel has none), which the
# metric-100 provider routes back to it.
UPLINK1_IP=203.0.113.10
UPLINK2_IP=198.18.0.10
LOOPBACK_SRC=198.18.255.1
DUMMY_SRC=198.18.255.2
# The probe host's interfaces, for expect_via in run_test.sh.
# shellcheck disable=SC2034
UPLINK_IFS=(kpi-up1 kpi-up2 "$PROBE_IF")

netns_uplinks() {
  local n ns gw net
  # Router solicitations and the like would show in the interface counters.
  in_probe sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  # IPv4 settings of a new namespace come from the host's: a host with a
  # strict reverse-path filter would drop the answers on the metric-200
  # uplink whatever the probe does.
  in_probe sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0 \
    net.ipv4.conf."$PROBE_IF".rp_filter=0
  in_responder sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0
  in_probe ip route del 198.51.100.0/24 dev "$PROBE_IF"
  for n in 1 2; do
    ns=kpi-u-$NETNS_TAG-$n
    UPLINK_NS+=("$ns")
    ip netns add "$ns"
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
      net.ipv6.conf.default.disable_ipv6=1 net.ipv4.ip_forward=1 \
      net.ipv4.conf.all.rp_filter=$((n == 1)) net.ipv4.conf.default.rp_filter=$((n == 1))
    ip netns exec "$ns" ip link set lo up
    if [ "$n" = 1 ]; then gw=203.0.113.1 net=203.0.113.0/24; else gw=198.18.0.1 net=198.18.0.0/24; fi
    ip link add "kpi-up$n" netns "$PROBE_NS" type veth peer name kpi-down netns "$ns"
    ip link add kpi-core netns "$ns" type veth peer name "kpi-pv$n" netns "$RESPONDER_NS"
    in_probe sysctl -qw net.ipv4.conf."kpi-up$n".rp_filter=0
    in_probe ip addr add "${gw%.1}.10/24" dev "kpi-up$n"
    in_probe ip link set "kpi-up$n" up
    in_probe ip route add default via "$gw" dev "kpi-up$n" metric $((n * 100))
    ip netns exec "$ns" ip addr add "$gw/24" dev kpi-down
    ip netns exec "$ns" ip addr add "198.19.$n.1/30" dev kpi-core
    ip netns exec "$ns" ip link set kpi-down up
    ip netns exec "$ns" ip link set kpi-core up
    ip netns exec "$ns" ip route add "$TARGET_IP/32" via "198.19.$n.2"
    in_responder ip addr add "198.19.$n.2/30" dev "kpi-pv$n"
    in_responder ip link set "kpi-pv$n" up
    in_responder ip route add "$net" via "198.19.$n.1"
  done
  in_probe ip addr add "$LOOPBACK_SRC/32" dev lo
  # Some kernels are built without dummy interfaces; DUMMY_SRC is then empty.
  if in_probe ip link add kpi-dummy type dummy 2>/dev/null; then
    in_probe ip addr add "$DUMMY_SRC/32" dev kpi-dummy
    in_probe ip link set kpi-dummy up
  else
    DUMMY_SRC=
  fi
  ip netns exec "${UPLINK_NS[0]}" ip route add 198.18.255.0/24 via "$UPLINK1_IP"
  in_responder ip route add 198.18.255.0/24 via 198.19.1.1
}

# Policy routing, as an administrator sets it up on such a host (KIND, by
# default source):
#   source       each uplink's address looks up a table whose default route
#                is that uplink's
#   only_source  the main table loses its default routes; a rule sends the
#                metric-100 uplink's address to a table whose default route
#                is the metric-200 uplink's, the only route to the target
#   uid          by the user a packet is routed as (its socket's owner):
#                root's by the metric-200 uplink (other interfaces fall
#                through to the main table), nobody's by the metric-100
#                uplink and no other (an unreachable default behind it)
#   mark         a firewall chain marks locally generated ICMP by its source,
#                and the marks route each uplink's address by the other
#                uplink, as multi-WAN routers balance their links
uplink_rules() {
  local nobody
  case ${1:-source} in
    source)
      in_probe ip route add default via 203.0.113.1 dev kpi-up1 table 100
      in_probe ip route add default via 198.18.0.1 dev kpi-up2 table 200
      in_probe ip rule add from "$UPLINK1_IP" lookup 100 pref 1000
      in_probe ip rule add from "$UPLINK2_IP" lookup 200 pref 1001
      ;;
    only_source)
      in_probe ip route del default dev kpi-up1
      in_probe ip route del default dev kpi-up2
      in_probe ip route add default via 198.18.0.1 dev kpi-up2 table 300
      in_probe ip rule add from "$UPLINK1_IP" lookup 300 pref 1000
      ;;
    uid)
      nobody=$(id -u nobody)
      in_probe ip route add default via 198.18.0.1 dev kpi-up2 table 500
      in_probe ip route add default via 203.0.113.1 dev kpi-up1 table 600
      in_probe ip route add unreachable default metric 1000 table 600
      in_probe ip rule add uidrange 0-0 lookup 500 pref 500
      in_probe ip rule add uidrange "$nobody-$nobody" lookup 600 pref 600
      ;;
    mark)
      in_probe ip route add default via 203.0.113.1 dev kpi-up1 table 701
      in_probe ip route add default via 198.18.0.1 dev kpi-up2 table 702
      in_probe ip rule add fwmark 1 lookup 701 pref 701
      in_probe ip rule add fwmark 2 lookup 702 pref 702
      # A route chain: the kernel routes a packet again where the chain
      # changed its mark.
      in_probe nft -f - <<<"table ip kpi_mark { chain out { type route hook output priority mangle;
        ip protocol icmp ip saddr $UPLINK2_IP meta mark set 1
        ip protocol icmp ip saddr $UPLINK1_IP meta mark set 2; }; }"
      ;;
    *)
      echo "uplink_rules: unknown kind $1" >&2
      return 1
      ;;
  esac
}

# Counts the echo requests that leave the probe host by each of UPLINK_IFS
# (after routing, a firewall's reroute included) and the echo replies that
# arrive there; icmp_count IFACE out|in tells how many so far.
icmp_count_start() {
  local iface out='' in=''
  # In an integration scenario, whose row must say it needs nftables.
  ! declare -F needed >/dev/null || needed nft
  for iface in "${UPLINK_IFS[@]}"; do
    out+="oifname \"$iface\" icmp type echo-request counter; "
    in+="iifname \"$iface\" icmp type echo-reply counter; "
  done
  in_probe nft -f - <<<"table ip kpi_count {
    chain out { type filter hook postrouting priority 0; $out}
    chain in { type filter hook prerouting priority 0; $in}; }"
}

icmp_count() {
  in_probe nft list chain ip kpi_count "$2" |
    sed -n "s/.*ifname \"$1\" .* packets \([0-9]*\) .*/\1/p"
}

tx_packets() { in_probe cat "/sys/class/net/$1/statistics/tx_packets"; }

kernel_echo() {
  local ignore=1
  [ "$1" = on ] && ignore=0
  in_responder sysctl -qw net.ipv4.icmp_echo_ignore_all=$ignore
}

responder_start() {
  kernel_echo off
  local out=$NETNS_WORK/responder.out
  : >"$out"
  # A plain command, not in_responder: the background child then becomes
  # the responder itself (ip execs it), so $! is the process to stop.
  # It does not hold the namespaces' lock: left behind by a killed shell, it
  # would keep them from being reaped.
  ip netns exec "$RESPONDER_NS" "$PYTHON" "$NETNS_DIR/responder.py" "$@" \
    >"$out" 2>"$NETNS_WORK/responder.log" {NETNS_LOCK_FD}>&- &
  RESPONDER_PID=$!
  wait_until 5 responder_ready "$out" || true
  grep -qx ready "$out" && return 0
  echo "responder did not start:" >&2
  cat "$NETNS_WORK/responder.log" >&2
  return 1
}

# The responder listens, or has ended (responder_start tells which).
responder_ready() { grep -qx ready "$1" || ! kill -0 "$RESPONDER_PID" 2>/dev/null; }

responder_log() {
  if [ -n "$NETNS_WORK" ]; then cat "$NETNS_WORK/responder.log" 2>/dev/null || true; fi
}

netns_teardown() {
  if [ -n "$RESPONDER_PID" ]; then
    kill "$RESPONDER_PID" 2>/dev/null || true
    wait "$RESPONDER_PID" 2>/dev/null || true
    RESPONDER_PID=
  fi
  # Anything else still running in the namespaces would keep them alive.
  local ns pids
  for ns in "$PROBE_NS" "$RESPONDER_NS" "${UPLINK_NS[@]}"; do
    [ -n "$ns" ] || continue
    pids=$(ip netns pids "$ns" 2>/dev/null || true)
    # shellcheck disable=SC2086
    [ -z "$pids" ] || kill $pids 2>/dev/null || true
  done
  # Deleting a namespace also removes its end of the veth pair, and the pair.
  [ -n "$PROBE_NS" ] && ip netns delete "$PROBE_NS" 2>/dev/null
  [ -n "$RESPONDER_NS" ] && ip netns delete "$RESPONDER_NS" 2>/dev/null
  for ns in "${UPLINK_NS[@]}"; do ip netns delete "$ns" 2>/dev/null || true; done
  PROBE_NS='' RESPONDER_NS='' UPLINK_NS=()
  [ -n "$NETNS_WORK" ] && rm -rf "$NETNS_WORK"
  NETNS_WORK=
  # Everything is gone: the lock can go too.
  if [ -n "$NETNS_LOCK_FD" ]; then
    rm -f "$NETNS_LOCK"
    exec {NETNS_LOCK_FD}>&-
    NETNS_LOCK_FD='' NETNS_LOCK=''
  fi
  return 0
}

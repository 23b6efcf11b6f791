# shellcheck shell=bash
# Sets variables that other helpers read (n, src, ...).
# shellcheck disable=SC2034
# Uplinks, routes, rules, the route netlink and hold refusals, gaps in a
# route or a link in the middle of a series.
#
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

scenario_two_uplinks() {
  uplink_host
  expect_via "$UPLINK2_IP" kpi-up2 && expect_via "$UPLINK1_IP" kpi-up1
}

scenario_source_rules() {
  uplink_host source
  expect_via "$UPLINK2_IP" kpi-up2 && expect_via "$UPLINK1_IP" kpi-up1
  # A rule that sends one uplink's address out through the other on
  # purpose stands too (the reply comes back by the address's own).
  in_probe ip route add default via 198.18.0.1 dev kpi-up2 table 300
  in_probe ip rule add from "$UPLINK1_IP" lookup 300 pref 900
  expect_via "$UPLINK1_IP" kpi-up2
}

# Also where its table is the only one with a route to the target;
# the other uplink's address, without a rule, has no route at all.
scenario_source_rule_only_route() {
  uplink_host only_source
  expect_via "$UPLINK1_IP" kpi-up2 && expect_via "$UPLINK2_IP" none
}

scenario_uplink_no_route() {
  uplink_host
  expect_via "$PROBE_IP" none
}

scenario_table_routed_source() {
  uplink_host
  expect_via "$LOOPBACK_SRC" kpi-up1
  expect_via 0.0.0.0 kpi-up1 "$UPLINK1_IP"
  if [ -n "$DUMMY_SRC" ]; then expect_via "$DUMMY_SRC" kpi-up1; else echo "no dummy interfaces in this kernel"; fi
}

# A setuid-root copy run by nobody: its socket is root's, and the
# kernel routes it as root whatever the caller; asked as nobody,
# up2 would seem to have no route. nobody's own socket (the datagram
# one: nobody opens no raw socket) has none there indeed.
scenario_setuid_uidrange() {
  uplink_host uid
  PROBE_USER=nobody PROBE_MODE=4755
  expect_via "$UPLINK2_IP" kpi-up2 && expect_via "$UPLINK1_IP" kpi-up1
  if [ "$KIND" = dgram ]; then
    PROBE_MODE=755
    expect_via "$UPLINK2_IP" none && expect_via "$UPLINK1_IP" kpi-up1
  fi
}

# The marks do reroute what is not bound to a device (ping from
# up1's address leaves by up2) and leave what is (ping -I kpi-up2).
scenario_fwmark_reroute() {
  uplink_host mark
  icmp_count_start
  for ping in "$UPLINK1_IP" kpi-up2; do
    pinged=$(icmp_count kpi-up2 out)
    in_probe ping -c 1 -W 2 -n -q -I "$ping" "$TARGET_IP" >/dev/null ||
      fail "ping -I $ping was not answered"
    [ "$(icmp_count kpi-up2 out)" -gt "$pinged" ] || fail "ping -I $ping did not leave by kpi-up2"
  done
  expect_via "$UPLINK2_IP" kpi-up2 && expect_via "$UPLINK1_IP" kpi-up1
}

# up2 with so many alternative names that its link answer is over
# 16 KiB: read whole (strace shows the read), and up2 held as ever.
scenario_long_link_answer() {
  uplink_host
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
}

# The target's replies to up2's address come back through provider 1
# and up1: the probe host receives them, the probe does not see them.
scenario_reply_other_uplink() {
  uplink_host
  in_responder ip route replace 198.18.0.0/24 via 198.19.1.1
  ip netns exec "${UPLINK_NS[0]}" ip route add 198.18.0.0/24 via "$UPLINK1_IP"
  icmp_count_start
  expect_via "$UPLINK2_IP" kpi-up2/lost
  expect_elapsed 10000 12500
  for iface in kpi-up1 kpi-up2; do echo "  $iface received $(icmp_count "$iface" in) echo replies"; done
  [ "$(icmp_count kpi-up1 in)" -ge 10 ] || fail "the replies did not arrive by kpi-up1"
  [ "$(icmp_count kpi-up2 in)" -eq 0 ] || fail "replies arrived by kpi-up2"
}

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
route_gone_midseries() {
  uplink_host - --default reply@500
  n=${SCENARIO#route_gap_up} up=kpi-up$n
  src=$UPLINK1_IP gw=203.0.113.1
  [ "$n" = 2 ] && src=$UPLINK2_IP gw=198.18.0.1
  route=(default via "$gw" dev "$up" metric $((n * 100)))
  for ns in "${UPLINK_NS[@]}"; do ip netns exec "$ns" sysctl -qw net.ipv4.conf.kpi-down.proxy_arp=1; done
  icmp_count_start
  traced -e trace=write -e inject=write:delay_enter=250000
  run_probe_async --src-ip "$src" --target-ip "$TARGET_IP"
  wait_until 10 two_requests_out || true
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
}
scenario_route_gap_up1() { route_gone_midseries; }
scenario_route_gap_up2() { route_gone_midseries; }

# Until the uplink has sent the probe's 2nd request, or the probe ended.
two_requests_out() {
  [ "$(icmp_count "$up" out)" -lt 2 ] || return 0
  kill -0 "$PROBE_JOB" 2>/dev/null || fail "the probe ended before its 2nd request"
  return 1
}

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
refused_by_shim() {
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
    plain_runs
  done
}
scenario_netlink_refused() { refused_by_shim; }
scenario_hold_refused() { refused_by_shim; }

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
send_gap() {
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
}
scenario_route_gap() { send_gap; }
scenario_link_gap() { send_gap; }

# Uplinks that change under a series.
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
        in_probe sysctl -qw net.ipv4.nexthop_compat_mode=0
        in_probe ip route add default table 300 nhid 10
        ;;
    esac
    in_probe ip route show table 300 | sed 's/^/  /'
    # Where the kernel itself prefers the next hop that holds the source,
    # the requests leave by up2 either way: the socket must be held to it
    # (strace shows the holding call), not left to the tables.
    traced -e trace=setsockopt
    expect_via "$UPLINK2_IP" kpi-up2
    grep -qE '^setsockopt\(.*(SO_BINDTOIFINDEX|SO_BINDTODEVICE).* = 0$' "$STRACE_LOG" ||
      fail "the socket was not held to kpi-up2: $(grep '^setsockopt' "$STRACE_LOG")"
    plain_runs
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

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
# soon as request 4's check was answered), so the probe never calls
# sendto for it; or the link is down when the kernel takes its send
# (taken down after its check was answered, up again once the kernel
# had refused it), which fails with ENETUNREACH before the kernel
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
  check=$((ASK_BASE + 3)) refused=1
  [ "$KIND" = dgram ] && refused=4
  [ "$SCENARIO" = route_gap ] && refused=0
  send=$((SEND_BASE + 3 + refused))
  traced -e trace=sendto,recvfrom \
    -e inject=sendto:delay_enter=300000:delay_exit=1000000:when=$send..$((send + 1)) \
    -e inject=recvfrom:delay_enter=1000000:when=$check
  run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
  if [ "$SCENARIO" = route_gap ]; then
    stalled_at sendto "$send" exit
    in_probe ip route del "${route[@]}"
    still_held "the route was deleted"
    stalled_at recvfrom "$check"
    in_probe ip route add "${route[@]}"
    still_held "the route was back"
  else
    stalled_at recvfrom "$check"
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

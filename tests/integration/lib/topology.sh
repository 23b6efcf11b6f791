# shellcheck shell=bash
# The probe host's topology from the probe's point of view: where its
# requests leave (expect_via), the host of netns_uplinks as each uplink
# scenario starts it (uplink_host), a firewall that refuses echo requests.
# Sourced by run_test.sh after netns.sh.

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

# Refuses echo requests leaving the probe host (nftables, output hook).
firewall() {
  needed nft
  if [ "$1" = on ]; then
    in_probe nft -f - <<<'table ip kpi { chain out { type filter hook output priority 0; icmp type echo-request drop; }; }'
  else
    in_probe nft delete table ip kpi
  fi
}

# uplink_host [RULES|- [RESPONDER_ARGS...]]: the probe host of netns_uplinks,
# with the policy routing of uplink_rules RULES (none for -), and the
# responder started with RESPONDER_ARGS.
uplink_host() {
  local rules=${1:--}
  [ "$#" -eq 0 ] || shift
  netns_uplinks
  [ "$rules" != mark ] || needed nft
  [ "$rules" = - ] || uplink_rules "$rules"
  responder_start "$@"
}

#!/usr/bin/env bash
# A real echo series of the Windows probe under Wine, between two network
# namespaces made here and joined by a veth pair (nothing else): ten replies
# from the responder's kernel give "available"; with the responder ignoring
# echo requests, no reply gives "unavailable".
#
# Wine's ICMP echo service runs in a service process of the Wine session, so
# the session (wineserver and all) is started inside the probe's namespace,
# in a prefix of its own, copied from the main test prefix.
#
#   echo_series.sh WINE_RUN WINE_SESSION MAIN_PREFIX PREFIX PROBE_EXE
set -euo pipefail

wine_run=$1
wine_session=$2
main_prefix=$3
prefix=$4
probe=$5

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root for network namespaces"
  exit 77
fi

suffix="$$-$RANDOM"
probe_ns="ketrova-wprobe-$suffix"
responder_ns="ketrova-wresp-$suffix"
source_ip=192.0.2.10
target_ip=192.0.2.20

cleanup() {
  bash "$wine_session" stop "$prefix" || true
  ip netns del "$probe_ns" 2>/dev/null || true
  ip netns del "$responder_ns" 2>/dev/null || true
}
trap cleanup EXIT

ip netns add "$probe_ns"
ip netns add "$responder_ns"
ip link add veth-p$$ netns "$probe_ns" type veth peer name veth-r$$ netns "$responder_ns"
ip -n "$probe_ns" link set lo up
ip -n "$responder_ns" link set lo up
ip -n "$probe_ns" addr add "$source_ip/24" dev veth-p$$
ip -n "$responder_ns" addr add "$target_ip/24" dev veth-r$$
ip -n "$probe_ns" link set veth-p$$ up
ip -n "$responder_ns" link set veth-r$$ up
ip netns exec "$responder_ns" sysctl -qw net.ipv4.icmp_echo_ignore_all=0

# A fresh copy of the main prefix (hard links: Wine replaces, never rewrites,
# the files it changes), whose session has never run outside the namespace.
bash "$wine_session" stop "$prefix"
rm -rf "$prefix"
cp -al "$main_prefix" "$prefix"
bash "$wine_session" start "$prefix" "$probe_ns"

run_probe() {
  ip netns exec "$probe_ns" bash "$wine_run" "$prefix" "$probe" --src-ip "$source_ip" --target-ip "$target_ip"
}

failures=0
start=$SECONDS
line=$(run_probe)
echo "replies:    $line ($((SECONDS - start)) s)"
available='^\{"status":"available","loss_rate":0,"avg_latency_ms":(0|[1-9][0-9]*),"jitter_ms":(0|[1-9][0-9]?|100),"sent":10,"received":10,"src_ip":"192\.0\.2\.10","target_ip":"192\.0\.2\.20","note":""\}$'
[[ $line =~ $available ]] || { echo "FAIL: not the available line"; failures=$((failures + 1)); }

ip netns exec "$responder_ns" sysctl -qw net.ipv4.icmp_echo_ignore_all=1
start=$SECONDS
line=$(run_probe)
elapsed=$((SECONDS - start))
echo "no replies: $line ($elapsed s)"
unavailable='{"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,"sent":10,"received":0,"src_ip":"192.0.2.10","target_ip":"192.0.2.20","note":""}'
[ "$line" = "$unavailable" ] || { echo "FAIL: not the unavailable line"; failures=$((failures + 1)); }
# Ten requests, each waiting out its 1000 ms.
[ "$elapsed" -ge 9 ] || { echo "FAIL: ten timeouts took only $elapsed s"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ]

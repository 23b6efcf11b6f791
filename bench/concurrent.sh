#!/usr/bin/env bash
# Many probes at once on one host: N probes (CONCURRENT_PROBES, default
# "100 400") started at the same moment from the same source to the same
# target, on each socket kind, on a veth path between two network namespaces
# of its own (the integration tests' pair), removed again on exit. Needs root.
# A benchmark, not a test: it prints figures and asserts nothing.
#
# Socket kinds: "raw" runs the probes as root with the probe host's
# net.ipv4.ping_group_range at "1 0" (datagram ICMP sockets refused);
# "datagram" runs them as nobody/nogroup with the range admitting nogroup.
#
# Responders, CONCURRENT_ROUNDS rounds (default 5) per socket kind and N:
#  kernel  the responder host's own echo replies; replies sent is its
#          IcmpOutEchoReps, requests its IcmpInEchos (nstat in its namespace).
#  subset  bench/concurrent.py answers each request with probability
#          CONCURRENT_FRACTION (default 0.75), seeded by CONCURRENT_SEED, and
#          logs the (identifier, sequence) pair of every request and whether
#          it answered. The pairs each probe sent are read by a uprobe on the
#          probe binary's sendto (tracefs; mounted for the run if it is not),
#          so the replies sent to each probe are compared with what that probe
#          counted: "missing" and "unsent" (counted although the responder
#          never answered that probe's request). Probes that share a pair are
#          judged as one group, where both figures are lower bounds.
#
# Per case: probes, requests (as the responder saw them), replies sent,
# replies arrived (the probe host's IcmpInEchoReps: replies its ICMP layer
# took in), replies counted (the sum of the probes' "received"), missing,
# unsent, pairs used by more than one probe at once, CPU time per probe (user + system from
# wait4 of each probe, mean and median), the wall time of a round (median),
# and two of the probe host's kernel counters summed over the rounds: backlog
# drops (the second column of /proc/net/softnet_stat, all CPUs; global, not
# per namespace) and socket receive-buffer drops (the drops column of
# /proc/net/raw and /proc/net/icmp, sampled every 20 ms: a lower bound).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${CONCURRENT_ROUNDS:-5}
counts=${CONCURRENT_PROBES:-100 400}
modes=${CONCURRENT_RESPONDERS:-kernel subset}
kinds=${CONCURRENT_SOCKETS:-raw datagram}
fraction=${CONCURRENT_FRACTION:-0.75}
seed=${CONCURRENT_SEED:-1}
probe=${PROBE:-$PWD/build/release/ketrova-probe}
nobody_uid=$(id -u nobody)
nogroup_gid=$(getent group nogroup | cut -d: -f3)

if [ "$(id -u)" -ne 0 ]; then
  echo "concurrent: needs root for its network namespaces" >&2
  exit 1
fi
if [ -z "${PROBE:-}" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release -j 2 --target ketrova-probe >/dev/null
fi

work=$(mktemp -d)
tracing=/sys/kernel/tracing
mounted_tracefs=
trace_instance=
uprobe_event=

# The uprobe on sendto, traced in an instance of its own; sets no_trace to
# the reason when it cannot be set up.
no_trace=
uprobe_setup() {
  if [ ! -e "$tracing/uprobe_events" ]; then
    mount -t tracefs nodev "$tracing" 2>/dev/null && mounted_tracefs=1
  fi
  [ -w "$tracing/uprobe_events" ] || { no_trace="no uprobe events in this kernel"; return 1; }
  # sendto's file and its offset there (its address less its loadable
  # segment's): in the probe when it carries its own, else in the C library
  # it loads (every process's calls are traced then; only the probes' count).
  local offset
  offset=$(python3 - "$probe" <<'PY'
import re, struct, subprocess, sys
path = sys.argv[1]
def find(path, dynamic):
    flags = ["-D"] if dynamic else []
    symbols = subprocess.run(["nm", *flags, path], capture_output=True, text=True).stdout.split("\n")
    return next((int(s.split()[0], 16) for s in symbols
                 if re.search(r" [TW] (__)?sendto(@.*)?$", s)), None)
address = find(path, False)
if address is None:
    libs = subprocess.run(["ldd", path], capture_output=True, text=True).stdout
    libc = re.search(r"libc\.so\.6 => (\S+)", libs)
    if libc:
        path = libc.group(1)
        address = find(path, True)
data = open(path, "rb").read()
phoff, = struct.unpack_from("<Q", data, 0x20)
phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
for i in range(phnum):
    kind, _, offset, vaddr, _, filesz, _, _ = struct.unpack_from("<IIQQQQQQ", data, phoff + i * phentsize)
    if address is not None and kind == 1 and vaddr <= address < vaddr + filesz:
        print(path, hex(address - vaddr + offset))
        break
PY
  )
  [ -n "$offset" ] || { no_trace="no sendto symbol in $probe"; return 1; }
  uprobe_event=kpbench_$$/send
  echo "p:$uprobe_event ${offset% *}:${offset#* } head=+0(%si):x64" >>"$tracing/uprobe_events" ||
    { uprobe_event=; no_trace="the uprobe could not be placed"; return 1; }
  trace_instance=$tracing/instances/kpbench_$$
  mkdir "$trace_instance"
  echo 4096 >"$trace_instance/buffer_size_kb"
}

uprobe_teardown() {
  if [ -n "$trace_instance" ]; then
    echo 0 >"$trace_instance/events/${uprobe_event%/*}/enable" 2>/dev/null || true
    rmdir "$trace_instance" 2>/dev/null || true
  fi
  [ -z "$uprobe_event" ] || echo "-:$uprobe_event" >>"$tracing/uprobe_events" 2>/dev/null || true
  [ -z "$mounted_tracefs" ] || umount "$tracing" 2>/dev/null || true
}

# shellcheck source=SCRIPTDIR/../tests/integration/netns.sh
source tests/integration/netns.sh
trap 'netns_teardown; uprobe_teardown; rm -rf "$work"' EXIT
netns_create

${CC:-cc} -O2 -Wall -Wextra -o "$work/manyrun" bench/manyrun.c

traced=
if uprobe_setup; then
  traced=1
else
  echo "-- no per-probe pairs ($no_trace): unsent counted replies are not told"
fi

counter() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }
backlog_drops() {
  local sum=0 drops
  while read -r _ drops _; do sum=$((sum + 16#$drops)); done </proc/net/softnet_stat
  echo "$sum"
}

# round DIR MODE KIND N: one round; the figures in DIR/result.json.
round() {
  local dir=$1 mode=$2 kind=$3 n=$4 who=()
  mkdir -p "$dir"
  if [ "$kind" = raw ]; then
    in_probe sysctl -qw net.ipv4.ping_group_range="1 0"
  else
    in_probe sysctl -qw net.ipv4.ping_group_range="$nogroup_gid $nogroup_gid"
    who=(-u "$nobody_uid" -g "$nogroup_gid")
  fi
  if [ "$mode" = subset ]; then
    kernel_echo off
    : >"$dir/responder.out"
    ip netns exec "$RESPONDER_NS" python3 bench/concurrent.py responder "$fraction" "$seed" \
      "$dir/responder.log" >"$dir/responder.out" &
    local responder=$! i
    for ((i = 0; i < 100; i++)); do
      grep -qx ready "$dir/responder.out" && break
      sleep 0.05
    done
  else
    kernel_echo on
  fi
  in_responder nstat -az >"$dir/responder.before"
  in_probe nstat -az >"$dir/probe.before"
  local backlog_before
  backlog_before=$(backlog_drops)
  if [ -n "$traced" ]; then
    echo >"$trace_instance/trace"
    echo 1 >"$trace_instance/events/$uprobe_event/enable"
  fi
  touch "$dir/sampling"
  in_probe python3 bench/concurrent.py sample "$dir/sampling" "$dir/socket_drops" &
  local sampler=$!
  sleep 0.1
  in_probe timeout 60 "$work/manyrun" "${who[@]}" -n "$n" -o "$dir" \
    "$probe" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP" >"$dir/manyrun.out"
  rm "$dir/sampling"
  wait "$sampler"
  echo $(($(backlog_drops) - backlog_before)) >"$dir/backlog_drops"
  if [ -n "$traced" ]; then
    echo 0 >"$trace_instance/events/$uprobe_event/enable"
    cp "$trace_instance/trace" "$dir/trace"
  fi
  in_responder nstat -az >"$dir/responder.after"
  in_probe nstat -az >"$dir/probe.after"
  echo $(($(counter "$dir/probe.after" IcmpInEchoReps) - $(counter "$dir/probe.before" IcmpInEchoReps))) \
    >"$dir/replies_arrived"
  for name in IcmpInEchos:requests_seen IcmpOutEchoReps:replies_sent; do
    echo $(($(counter "$dir/responder.after" "${name%:*}") - $(counter "$dir/responder.before" "${name%:*}"))) \
      >"$dir/${name#*:}"
  done
  if [ "$mode" = subset ]; then
    kill "$responder"
    wait "$responder" 2>/dev/null || true
  fi
  python3 bench/concurrent.py summarise "$mode" "$dir" >"$dir/result.json"
}

kernel_echo on
# Resolve the neighbours once, so that no measured round pays for it.
in_probe ping -c 1 -W 2 -I "$PROBE_IP" "$TARGET_IP" >/dev/null

echo "-- many probes at once: $rounds rounds per case, same source and target," \
  "$(nproc) CPUs; subset responder answers $fraction (seed $seed)"
printf '   %-9s %-8s %4s %8s %6s %7s %7s %7s %6s %6s %4s  %-18s %6s %7s %6s\n' \
  responder socket N requests sent arrived counted missing unsent shared bad \
  "CPU ms per probe" "wall s" backlog rcvbuf
for mode in $modes; do
  for kind in $kinds; do
    for n in $counts; do
      for r in $(seq "$rounds"); do
        round "$work/$mode-$kind-$n-$r" "$mode" "$kind" "$n"
      done
      python3 - "$mode" "$kind" "$n" "$work/$mode-$kind-$n"-*/result.json <<'PY'
import json, statistics, sys
mode, kind, n, *paths = sys.argv[1:]
rows = [json.load(open(p)) for p in paths]
def total(key):
    values = [r.get(key) for r in rows]
    return "-" if any(v is None for v in values) else str(sum(values))
cpu_mean = statistics.mean(r["cpu_ms_mean"] for r in rows)
cpu_median = statistics.median(r["cpu_ms_median"] for r in rows)
wall = statistics.median(r["wall_s"] for r in rows)
bad = sum(r["bad_lines"] + r["exit_nonzero"] for r in rows)
print(f"   {mode:<9} {kind:<8} {n:>4} {total('requests'):>8} {total('sent'):>6} {total('arrived'):>7}"
      f" {total('counted'):>7}"
      f" {total('missing'):>7} {total('unsent_counted'):>6} {total('shared_pairs'):>6} {bad:>4}"
      f"  {cpu_mean:5.2f} (median {cpu_median:4.2f}) {wall:6.2f} {total('backlog_drops'):>7}"
      f" {total('socket_drops'):>6}")
PY
    done
  done
done

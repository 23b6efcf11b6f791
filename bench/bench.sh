#!/usr/bin/env bash
# Benchmark against iputils ping on a veth path between two network
# namespaces of its own (probe host 192.0.2.10, responder host 198.51.100.7;
# nothing else is reachable from them), removed again on exit. Needs root.
# A benchmark, not a test: it prints figures and asserts nothing.
#
#  1. Alternately, BENCH_RUNS times each (default 30), with kernel echo
#     replies: the probe, and `ping -c 10 -i 0 -q -I SOURCE TARGET`. For each
#     the median wall time and the median peak resident set size of the
#     finished child (wait4's ru_maxrss), and the ratios probe / ping.
#  2. The all-timeout series: the responder ignores echo requests; the
#     probe's run from start to end, three times.
#  3. Round-trip times with a fixed 37 ms delay on the responder: the probe's
#     avg_latency_ms against ping's per-reply times, in the same run. The delay
#     is a netem queueing discipline on the responder's veth when the kernel
#     has one, otherwise bench/delay_responder.py answering after 37 ms in
#     place of the kernel (the output says which).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${BENCH_RUNS:-30}
delay_ms=37
source_ip=192.0.2.10
target_ip=198.51.100.7

if [ "$(id -u)" -ne 0 ]; then
  echo "bench: needs root for its network namespaces" >&2
  exit 1
fi
command -v ping >/dev/null || { echo "bench: iputils ping is missing (scripts/install-deps.sh test)" >&2; exit 1; }

echo "-- building the release binary"
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target ketrova-probe
probe=$PWD/build/release/ketrova-probe

work=$(mktemp -d)
suffix=$$
probe_ns=kbench-probe-$suffix
responder_ns=kbench-resp-$suffix
probe_if=kbp$suffix
responder_if=kbr$suffix
responder_pid=
cleanup() {
  if [ -n "$responder_pid" ]; then kill "$responder_pid" 2>/dev/null || true; wait "$responder_pid" 2>/dev/null || true; fi
  ip netns del "$probe_ns" 2>/dev/null || true
  ip netns del "$responder_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

${CC:-cc} -O2 -Wall -Wextra -o "$work/runstat" bench/runstat.c

ip netns add "$probe_ns"
ip netns add "$responder_ns"
ip link add "$probe_if" netns "$probe_ns" type veth peer name "$responder_if" netns "$responder_ns"
ip -n "$probe_ns" link set lo up
ip -n "$probe_ns" link set "$probe_if" up
ip -n "$probe_ns" addr add "$source_ip/24" dev "$probe_if"
ip -n "$probe_ns" route add 198.51.100.0/24 dev "$probe_if"
ip -n "$responder_ns" link set lo up
ip -n "$responder_ns" link set "$responder_if" up
ip -n "$responder_ns" addr add "$target_ip/24" dev "$responder_if"
ip -n "$responder_ns" route add 192.0.2.0/24 dev "$responder_if"
ip netns exec "$responder_ns" sysctl -qw net.ipv4.icmp_echo_ignore_all=0
# Resolve the neighbours once, so that no measured run pays for it.
ip netns exec "$probe_ns" ping -c 1 -W 2 -I "$source_ip" "$target_ip" >/dev/null

# measure NAME COMMAND...: one run on the probe host; appends
# "WALL_NS MAXRSS_KB STATUS" to $work/NAME.stats, output to $work/NAME.out.
measure() {
  local name=$1
  shift
  ip netns exec "$probe_ns" "$work/runstat" "$@" 3>>"$work/$name.stats" >>"$work/$name.out" 2>&1
}

echo "-- $(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -srm), $(nproc) CPUs," \
  "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "-- probe $(git describe --always --dirty 2>/dev/null || echo '?'); $(ping -V 2>&1 | head -n 1)"

echo "-- 1. $runs runs each, alternately, kernel echo replies"
measure floor /bin/true
for _ in $(seq "$runs"); do
  measure probe "$probe" --src-ip "$source_ip" --target-ip "$target_ip"
  measure ping ping -c 10 -i 0 -q -I "$source_ip" "$target_ip"
done
python3 - "$work" <<'PY'
import statistics, sys
work = sys.argv[1]
def load(name):
    rows = [line.split() for line in open(f"{work}/{name}.stats")]
    return [int(r[0]) / 1e6 for r in rows], [int(r[1]) for r in rows], [int(r[2]) for r in rows]
probe_wall, probe_rss, probe_status = load("probe")
ping_wall, ping_rss, ping_status = load("ping")
floor_wall, floor_rss, _ = load("floor")
out = open(f"{work}/probe.out").read().splitlines()
available = sum('"status":"available"' in line and '"received":10' in line for line in out)
ping_ok = open(f"{work}/ping.out").read().count(" 10 received")
print(f"   probe: {len(out)} lines, {available} with status available and 10 received;"
      f" exit statuses {sorted(set(probe_status))}")
if available < len(probe_wall):
    print(f"   probe line: {out[0]}")
print(f"   ping:  {ping_ok} of {len(ping_wall)} runs with 10 received; exit statuses {sorted(set(ping_status))}")
def row(label, wall, rss):
    print(f"   {label:<6} wall median {statistics.median(wall):8.3f} ms"
          f" (min {min(wall):.3f}, max {max(wall):.3f});"
          f" peak RSS median {statistics.median(rss):6.0f} KiB (min {min(rss)}, max {max(rss)})")
row("probe", probe_wall, probe_rss)
row("ping", ping_wall, ping_rss)
print(f"   /bin/true through the same launcher: wall {floor_wall[0]:.3f} ms, peak RSS {floor_rss[0]} KiB")
wall_ratio = statistics.median(probe_wall) / statistics.median(ping_wall)
rss_ratio = statistics.median(probe_rss) / statistics.median(ping_rss)
print(f"   ratio probe/ping: wall {wall_ratio:.3f} (target <= 0.5), peak RSS {rss_ratio:.3f} (target <= 0.75)")
PY

echo "-- 2. all-timeout series (responder ignores echo requests), start to end"
ip netns exec "$responder_ns" sysctl -qw net.ipv4.icmp_echo_ignore_all=1
for i in 1 2 3; do
  : >"$work/timeout.out"
  measure timeout "$probe" --src-ip "$source_ip" --target-ip "$target_ip"
  wall=$(tail -n 1 "$work/timeout.stats" | cut -d' ' -f1)
  printf '   run %d: %s s (expected 10.00-10.05)  %s\n' "$i" \
    "$(python3 -c "print(f'{$wall/1e9:.4f}')")" "$(cat "$work/timeout.out")"
done

echo "-- 3. round-trip times with a fixed ${delay_ms} ms delay on the responder"
if ip netns exec "$responder_ns" tc qdisc add dev "$responder_if" root netem delay "${delay_ms}ms" 2>"$work/netem.err"; then
  ip netns exec "$responder_ns" sysctl -qw net.ipv4.icmp_echo_ignore_all=0
  echo "   delay: netem on the responder's veth, kernel echo replies"
else
  echo "   delay: netem unavailable ($(head -n 1 "$work/netem.err")); bench/delay_responder.py" \
    "answers ${delay_ms} ms after each request in place of the kernel"
  ip netns exec "$responder_ns" python3 bench/delay_responder.py \
    --address "$target_ip" --delay-ms "$delay_ms" >"$work/responder.out" 2>&1 &
  responder_pid=$!
  for _ in $(seq 50); do
    grep -q ready "$work/responder.out" && break
    sleep 0.1
  done
fi
# One request through the delayed path first, so that no measured round pays
# for a cold start of the responder.
ip netns exec "$probe_ns" ping -c 1 -W 2 -I "$source_ip" "$target_ip" >/dev/null || true
for i in 1 2 3; do
  : >"$work/rtt_probe.out"
  : >"$work/rtt_ping.out"
  measure rtt_probe "$probe" --src-ip "$source_ip" --target-ip "$target_ip"
  measure rtt_ping ping -c 10 -i 0.2 -I "$source_ip" "$target_ip"
  python3 - "$work" "$i" <<'PY'
import json, re, statistics, sys
work, round_ = sys.argv[1], sys.argv[2]
line = open(f"{work}/rtt_probe.out").read().strip()
try:
    report = json.loads(line)
    probe = (f"avg_latency_ms {report['avg_latency_ms']}, jitter_ms {report['jitter_ms']},"
             f" received {report['received']}")
except ValueError:
    probe = f"unreadable line: {line!r}"
times = [float(t) for t in re.findall(r"time=([0-9.]+) ms", open(f"{work}/rtt_ping.out").read())]
print(f"   round {round_}: probe {probe}")
if times:
    print(f"            ping  {len(times)} replies, avg {statistics.mean(times):.3f} ms,"
          f" min {min(times):.3f}, max {max(times):.3f}; per reply: {' '.join(f'{t:.1f}' for t in times)}")
else:
    print("            ping  no replies")
PY
done

#!/usr/bin/env bash
# Benchmark against iputils ping on a veth path between two network
# namespaces of its own (probe host 192.0.2.10, responder host 198.51.100.7;
# nothing else is reachable from them), removed again on exit. Needs root.
# A benchmark, not a test: it prints figures and asserts nothing.
# BENCH_PROBE=PATH measures that binary (say the installed package's,
# /usr/bin/ketrova-probe) in place of the release build.
#
#  1. Alternately, BENCH_RUNS times each (default 30), with kernel echo
#     replies: the probe, and `ping -c 10 -i 0 -q -I SOURCE TARGET`. For each
#     the median wall time and the median peak resident set size of the
#     finished child (wait4's ru_maxrss), and the ratios probe / ping.
#  2. The all-timeout series: the responder ignores echo requests; the
#     probe's run from start to end, three times.
#  2b. The cost of deciding every request's way out (does the source's
#     interface still hold it, have carrier and a route to the target?): the
#     check alone where nothing changed, timed over many calls
#     (bench/decision.cpp); and whole runs side by side with the layer before
#     it (BENCH_BEFORE, a git revision, built here with the release preset),
#     ping (`ping -c 10 -i 0 -q -I`) and a do-nothing PIE, the start-up
#     floor: BENCH_DECISION_RUNS rounds (default 120), each running the four
#     in turn, kernel echo replies. Printed: the median wall and CPU time of
#     each; the work above the floor (median less the floor's median) of this
#     build and of the layer before, each as a fraction of ping's (target
#     <= 0.40); and the difference of this build's and the layer before's
#     medians spread over the ten requests (one-time costs of the first
#     request included, so an upper bound). Skipped outside a git checkout.
#  3. Round-trip times with a fixed 37 ms delay on the responder: the probe's
#     avg_latency_ms against ping's per-reply times, in the same run. The delay
#     is a netem queueing discipline on the responder's veth when the kernel
#     has one, otherwise the integration tests' responder answering after
#     37 ms in place of the kernel (the output says which).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${BENCH_RUNS:-30}
delay_ms=37

if [ "$(id -u)" -ne 0 ]; then
  echo "bench: needs root for its network namespaces" >&2
  exit 1
fi
command -v ping >/dev/null || { echo "bench: iputils ping is missing (scripts/install-deps.sh test)" >&2; exit 1; }

if [ -n "${BENCH_PROBE:-}" ]; then
  probe=$(realpath "$BENCH_PROBE")
  echo "-- measuring $probe"
else
  echo "-- building the release binary"
  cmake --preset release >/dev/null
  cmake --build --preset release -j 2 --target ketrova-probe
  probe=$PWD/build/release/ketrova-probe
fi

work=$(mktemp -d)
# The integration tests' pair of namespaces and their scripted responder.
# shellcheck source=SCRIPTDIR/../tests/integration/netns.sh
source tests/integration/netns.sh
trap 'netns_teardown; rm -rf "$work"' EXIT
netns_create
source_ip=$PROBE_IP
target_ip=$TARGET_IP

${CC:-cc} -O2 -Wall -Wextra -o "$work/runstat" bench/runstat.c

kernel_echo on
# Resolve the neighbours once, so that no measured run pays for it.
in_probe ping -c 1 -W 2 -I "$source_ip" "$target_ip" >/dev/null

# measure NAME COMMAND...: one run on the probe host; appends
# "WALL_NS MAXRSS_KB STATUS" to $work/NAME.stats, output to $work/NAME.out.
measure() {
  local name=$1
  shift
  in_probe "$work/runstat" "$@" 3>>"$work/$name.stats" >>"$work/$name.out" 2>&1
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
print(f"   ratio probe/ping: wall {wall_ratio:.3f} (target <= 0.6), peak RSS {rss_ratio:.3f} (target <= 0.6)")
PY

echo "-- 2. all-timeout series (responder ignores echo requests), start to end"
kernel_echo off
for i in 1 2 3; do
  : >"$work/timeout.out"
  measure timeout "$probe" --src-ip "$source_ip" --target-ip "$target_ip"
  wall=$(tail -n 1 "$work/timeout.stats" | cut -d' ' -f1)
  printf '   run %d: %s s (expected 10.00-10.05)  %s\n' "$i" \
    "$(python3 -c "print(f'{$wall/1e9:.4f}')")" "$(cat "$work/timeout.out")"
done

echo "-- 2b. the per-request decision, against the layer before it"
# The check alone (bench/decision.cpp, linked with this tree's layer): what
# each request held to its interface adds where nothing changed.
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target ketrova_os ketrova_core >/dev/null
${CXX:-c++} -std=c++20 -O2 -Wall -Wextra -Werror -I src -o "$work/decision" bench/decision.cpp \
  build/release/libketrova_os.a build/release/libketrova_core.a
for i in 1 2 3; do
  read -r check_wall check_cpu _ choice_wall choice_cpu < <(in_probe "$work/decision" "$source_ip" "$target_ip")
  printf '   the check alone, run %d: wall %s us, CPU %s us a request (median of 5 rounds of 20000; target <= 10);' \
    "$i" "$check_wall" "$check_cpu"
  printf ' the choice before the first request: wall %s us, CPU %s us a run\n' "$choice_wall" "$choice_cpu"
done
before_rev=${BENCH_BEFORE:-3df07b0}
decision_runs=${BENCH_DECISION_RUNS:-120}
if git rev-parse --verify -q "$before_rev^{commit}" >/dev/null; then
  mkdir -p "$work/before"
  git archive "$before_rev" | tar -x -C "$work/before"
  cmake -S "$work/before" --preset release -B "$work/before/build" -DKETROVA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$work/before/build" -j 2 --target ketrova-probe >/dev/null
  printf 'int main(void) { return 0; }\n' >"$work/nothing.c"
  ${CC:-cc} -O2 -fPIE -pie -o "$work/nothing" "$work/nothing.c"
  kernel_echo on
  for _ in $(seq "$decision_runs"); do
    measure decided "$probe" --src-ip "$source_ip" --target-ip "$target_ip"
    measure before "$work/before/build/ketrova-probe" --src-ip "$source_ip" --target-ip "$target_ip"
    measure pinged ping -c 10 -i 0 -q -I "$source_ip" "$target_ip"
    measure nothing "$work/nothing"
  done
  python3 - "$work" "$before_rev" <<'PY'
import statistics, sys
work, rev = sys.argv[1], sys.argv[2]
def load(name):
    rows = [line.split() for line in open(f"{work}/{name}.stats")]
    return [int(r[0]) / 1e3 for r in rows], [int(r[3]) / 1e3 for r in rows]
runs = {name: load(name) for name in ("decided", "before", "pinged", "nothing")}
for name in ("decided", "before"):
    lines = open(f"{work}/{name}.out").read().splitlines()
    good = sum('"received":10' in line for line in lines)
    print(f"   {name}: {good} of {len(lines)} runs with 10 received")
ping_ok = open(f"{work}/pinged.out").read().count(" 10 received")
print(f"   ping: {ping_ok} of {len(runs['pinged'][0])} runs with 10 received")
labels = {"decided": "this build", "before": f"layer before ({rev})", "pinged": "ping",
          "nothing": "do-nothing PIE"}
for column, label in ((0, "wall"), (1, "CPU")):
    medians = {name: statistics.median(runs[name][column]) for name in runs}
    print(f"   {label:<4} medians: " + ", ".join(f"{labels[n]} {medians[n]:.1f} us" for n in runs))
    floor = medians["nothing"]
    above = {name: medians[name] - floor for name in ("decided", "before", "pinged")}
    print(f"   {label:<4} work above the floor: this build {above['decided'] / 1e3:.3f} ms,"
          f" layer before {above['before'] / 1e3:.3f} ms, ping {above['pinged'] / 1e3:.3f} ms;"
          f" of ping's: this build {above['decided'] / above['pinged']:.2f} (target <= 0.40),"
          f" layer before {above['before'] / above['pinged']:.2f}")
    a, b = medians["decided"], medians["before"]
    print(f"   {label:<4} this build against the layer before: {a - b:+7.1f} us a run,"
          f" {(a - b) / 10:+6.1f} us a request")
PY
else
  echo "   skipped: revision $before_rev is not in this checkout"
fi

echo "-- 3. round-trip times with a fixed ${delay_ms} ms delay on the responder"
if in_responder tc qdisc add dev kpi-resp root netem delay "${delay_ms}ms" 2>"$work/netem.err"; then
  kernel_echo on
  echo "   delay: netem on the responder's veth, kernel echo replies"
else
  echo "   delay: netem unavailable ($(head -n 1 "$work/netem.err")); the integration tests'" \
    "responder answers ${delay_ms} ms after each request in place of the kernel"
  responder_start --default "reply@${delay_ms}" --realtime
fi
# One request through the delayed path first, so that no measured round pays
# for a cold start of the responder.
in_probe ping -c 1 -W 2 -I "$source_ip" "$target_ip" >/dev/null || true
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

echo "-- 4. many probes at once (bench/concurrent.sh)"
PROBE=$probe bench/concurrent.sh

#!/usr/bin/env python3
"""Time measurements for the integration tests.

  timing.py run TIMES_FILE CMD...
      Runs CMD with this process's standard streams and writes its start and
      end, read on CLOCK_MONOTONIC just before it starts and just after it
      ends, then the time it ran on a CPU, the time it was ready to run but
      waited for one (the scheduler's accounting) and the CPU time that a
      hypervisor took from the whole machine meanwhile, to TIMES_FILE as
      "START END ON_CPU WAITING STOLEN" in seconds. Exits with CMD's status.

  timing.py window RESPONDER_LOG END MIN_S MAX_S
      How long after the responder received the first request (its
      "request #1 mono=..." line, a kernel receive time on CLOCK_MONOTONIC)
      the time END is; fails unless MIN_S <= that <= MAX_S.

  timing.py rtt REPORT... -- PING_OUTPUT...
      Compares the probe's reports with the round-trip times that ping
      printed ("time=37.2 ms"), every run ten replies. Of the median runs:
      the probe's average within 1 ms of ping's mean, and its jitter
      (largest minus smallest sample, whole milliseconds) no larger than
      samples within 1 ms of ping's range can make it once truncated the way
      the probe truncates.

CLOCK_MONOTONIC is one clock for all network namespaces, so times read in
the responder's namespace and here compare directly.
"""

import json
import math
import os
import re
import statistics
import subprocess
import sys
import time


def run(times_file, command):
    # Real-time priority for this process alone (not for CMD), so that it
    # notices CMD's end at once even on a busy machine.
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO | os.SCHED_RESET_ON_FORK, os.sched_param(10))
    except OSError:
        pass
    steal_before = stolen()
    start = time.monotonic()
    child = subprocess.Popen(command)
    # Ended but not yet reaped: what the scheduler accounted to it can still
    # be read.
    os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOWAIT)
    end = time.monotonic()
    try:
        with open(f"/proc/{child.pid}/schedstat") as f:
            on_cpu, waiting = (int(n) / 1e9 for n in f.read().split()[:2])
    except (OSError, ValueError):
        on_cpu = waiting = -1
    status = child.wait()
    steal = stolen() - steal_before
    with open(times_file, "w") as f:
        f.write(f"{start:.6f} {end:.6f} {on_cpu:.6f} {waiting:.6f} {steal:.3f}\n")
    return status


def stolen():
    """CPU time the hypervisor took from this virtual machine, summed over its
    CPUs, in seconds (0 on bare metal)."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()
        return int(fields[8]) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return 0.0


def request_times(log_file):
    with open(log_file) as f:
        times = [float(t) for t in re.findall(r"request #\d+ mono=([0-9.]+)", f.read())]
    if not times:
        sys.exit(f"no request in {log_file}")
    return times


def window(log_file, end, low, high):
    times = request_times(log_file) + [float(end)]
    span = times[-1] - times[0]
    # Where the time beyond one full wait per request went.
    beyond = " ".join(f"{1000 * (b - a - 1):.2f}" for a, b in zip(times, times[1:]))
    print(f"end - first send = {span:.4f} s; each wait's end to the next send "
          f"(the last: to the end of the run), ms: {beyond}")
    if not float(low) <= span <= float(high):
        print(f"expected {low} s <= end - first send <= {high} s")
        return 1
    return 0


def ping_times(path):
    with open(path) as f:
        return [float(t) for t in re.findall(r"time=([0-9.]+) ms", f.read())]


def rtt(reports, pings):
    runs = [ping_times(p) for p in pings]
    problems = [f"ping run {i + 1} has {len(r)} replies, not 10"
                for i, r in enumerate(runs) if len(r) != 10]
    runs = [r for r in runs if r]
    if not runs:
        return problems + ["ping measured nothing"]
    for i, r in enumerate(runs):
        print(f"ping run {i + 1}: mean {sum(r) / len(r):.3f} ms, "
              f"min {min(r):.3f}, max {max(r):.3f} ms")
    averages, jitters = [], []
    for i, path in enumerate(reports):
        with open(path) as f:
            report = json.loads(f.read())
        if report["received"] != 10:
            problems.append(f"probe run {i + 1} received {report['received']} replies, not 10")
        averages.append(report["avg_latency_ms"])
        jitters.append(report["jitter_ms"])
        print(f"probe run {i + 1}: avg {averages[-1]} ms, jitter {jitters[-1]} ms")
    # Both take the kernel's receive time, but the responder is a program: on
    # a busy (virtual) machine it sends a reply late now and then, which makes
    # one run stand out, for either of them. The median runs' averages are
    # compared, and the probe's jitter against the widest spread ping saw on
    # the same path in the same test.
    mean = statistics.median(sum(r) / len(r) for r in runs)
    # Samples within 1 ms of ping's, truncated to whole milliseconds, lie
    # within floor(min) - 1 .. floor(max) + 1.
    spread = max(math.floor(max(r)) - math.floor(min(r)) for r in runs)
    avg, jitter = statistics.median_low(averages), statistics.median_low(jitters)
    print(f"median runs: probe avg {avg} ms, jitter {jitter} ms; "
          f"ping mean {mean:.3f} ms, widest spread truncated {spread} ms")
    # Samples within 1 ms below the true times average to within 1 ms below
    # their mean, and the report truncates that average once more: a probe
    # that agrees with ping reports more than mean - 2 and, allowing 1 ms for
    # the runs being different packets, at most mean + 1.
    if not mean - 2 < avg <= mean + 1:
        problems.append(f"avg_latency_ms {avg} disagrees with ping's mean {mean:.3f}")
    if jitter > spread + 2:
        problems.append(f"jitter_ms {jitter} needs a sample more than 1 ms outside ping's range")
    return problems


def main():
    what, args = sys.argv[1], sys.argv[2:]
    if what == "run":
        return run(args[0], args[1:])
    if what == "window":
        return window(*args)
    if what == "rtt":
        split = args.index("--")
        problems = rtt(args[:split], args[split + 1:])
        for p in problems:
            print("  " + p)
        return 1 if problems else 0
    sys.exit(f"unknown command {what!r}")


if __name__ == "__main__":
    sys.exit(main())

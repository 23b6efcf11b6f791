#!/usr/bin/env python3
"""Checks the probe's report line against expectations.

  check_report.py FILE EXPECTATION...

FILE holds what the probe wrote on standard output. It must be exactly one
line, ended by a line feed, holding one JSON object with the report's nine
keys in order. Each EXPECTATION is KEY=VALUE (exact; numbers or text),
KEY>=N or KEY<=N. Exits 1 with an explanation when anything does not hold.
"""

import json
import re
import sys

KEYS = ["status", "loss_rate", "avg_latency_ms", "jitter_ms", "sent", "received",
        "src_ip", "target_ip", "note"]
NUMBERS = {"loss_rate", "avg_latency_ms", "jitter_ms", "sent", "received"}


def check(raw, expectations):
    problems = []
    if not raw.endswith(b"\n") or raw.count(b"\n") != 1:
        return ["output is not exactly one line ended by a line feed"]
    try:
        report = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        return [f"not a JSON line: {e}"]
    if not isinstance(report, dict) or list(report) != KEYS:
        return [f"keys are {list(report) if isinstance(report, dict) else report!r}, "
                f"expected {KEYS}"]
    for key in NUMBERS:
        value = report[key]
        if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < 2**32:
            problems.append(f"{key} is {value!r}, not an unsigned 32-bit number")
    for expectation in expectations:
        m = re.fullmatch(r"(\w+)(>=|<=|=)(.*)", expectation, re.S)
        if not m or m.group(1) not in KEYS:
            sys.exit(f"bad expectation {expectation!r}")
        key, op, want = m.groups()
        got = report[key]
        if key in NUMBERS:
            want = int(want)
        ok = {"=": got == want,
              ">=": key in NUMBERS and got >= want,
              "<=": key in NUMBERS and got <= want}[op]
        if not ok:
            problems.append(f"expected {key}{op}{want!r}, got {got!r}")
    return problems


def main():
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    problems = check(raw, sys.argv[2:])
    if problems:
        print("report: " + raw.decode("utf-8", "replace").rstrip("\n"))
        for p in problems:
            print("  " + p)
        sys.exit(1)


if __name__ == "__main__":
    main()

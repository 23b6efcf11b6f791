#!/usr/bin/env python3
"""Standard output that is a non-blocking pipe, read slowly.

  nonblocking_stdout.py PATH-TO-PROBE

Source and target texts of 100 000 bytes each (one argument may hold no more
than 128 KiB) make a line three times the size of a pipe's buffer, so writing it has to wait for the reader again and again. The whole
line must arrive, in order, with exit status 0 and nothing on standard error.
No network: an invalid source address stops the run before anything is sent.
"""

import fcntl
import os
import subprocess
import sys
import time


def main():
    probe = sys.argv[1]
    source = "a\\\"" * 1000 + "x" * 97000
    target = "t" * 100000

    def escaped(text):
        return text.replace("\\", "\\\\").replace('"', '\\"')

    expected = (
        '{"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,'
        '"sent":0,"received":0,"src_ip":"' + escaped(source) + '","target_ip":"' + escaped(target) + '",'
        '"note":"invalid --src-ip"}\n').encode()
    read_end, write_end = os.pipe()
    flags = fcntl.fcntl(write_end, fcntl.F_GETFL)
    fcntl.fcntl(write_end, fcntl.F_SETFL, flags | os.O_NONBLOCK)
    child = subprocess.Popen([probe, "--src-ip", source, "--target-ip", target], stdout=write_end,
                             stderr=subprocess.PIPE)
    os.close(write_end)
    received = bytearray()
    while True:
        time.sleep(0.005)  # a slow reader: the pipe fills up between reads
        chunk = os.read(read_end, 4096)
        if not chunk:
            break
        received += chunk
    stderr = child.stderr.read()
    status = child.wait()
    failures = []
    if status != 0:
        failures.append(f"exit status {status}")
    if stderr:
        failures.append(f"standard error: {stderr[:200]!r}")
    if bytes(received) != expected:
        failures.append(f"got {len(received)} bytes, expected {len(expected)}; "
                        f"first difference at byte "
                        f"{next((i for i, (a, b) in enumerate(zip(received, expected)) if a != b), min(len(received), len(expected)))}")
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"PASS: {len(received)} bytes through a non-blocking pipe")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

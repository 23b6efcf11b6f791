#!/usr/bin/env python3
"""Helpers of bench/concurrent.sh (many probes at once), one role each:

  responder FRACTION SEED LOG
      On the responder host, with the kernel's echo replies off: answers each
      echo request with probability FRACTION, decided by a hash of (SEED,
      identifier, sequence, how often that pair arrived before), so that two
      requests carrying the same pair are judged independently. Writes one
      line "IDENTIFIER SEQUENCE ANSWERED" per request to LOG when stopped
      (SIGTERM). Prints "ready" once it listens.

  sample FLAG OUT
      On the probe host: reads the drops column (receive-buffer overflows) of
      every socket in /proc/net/raw and /proc/net/icmp every 20 ms until FLAG
      is removed, and writes the sum of each socket's highest count to OUT.
      Sockets that open and close between two samples are missed: a lower
      bound.

  summarise MODE DIR
      Reads what one round left in DIR and prints its figures as one JSON
      object (see concurrent.sh).
"""

import hashlib
import json
import os
import signal
import socket
import struct
import sys
import time

ECHO_REPLY, ECHO_REQUEST = 0, 8


def responder(fraction, seed, log_path):
    rx = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    # A burst of hundreds of requests must not overflow this socket.
    rx.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 16 << 20)
    tx = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    tx.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_SNDBUFFORCE", 32), 16 << 20)
    threshold = int(fraction * 2**64)
    seen = {}
    log = []

    def stop(*_):
        with open(log_path, "w") as out:
            out.writelines(f"{i} {s} {a}\n" for i, s, a in log)
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    print("ready", flush=True)
    while True:
        packet, (peer, _) = rx.recvfrom(65535)
        ihl = (packet[0] & 0x0F) * 4
        icmp = packet[ihl:]
        if len(icmp) < 8 or icmp[0] != ECHO_REQUEST or icmp[1] != 0:
            continue
        ident, seq = struct.unpack("!HH", icmp[4:8])
        occurrence = seen.get((ident, seq), 0)
        seen[(ident, seq)] = occurrence + 1
        digest = hashlib.blake2b(f"{seed} {ident} {seq} {occurrence}".encode(), digest_size=8)
        answer = int.from_bytes(digest.digest(), "big") < threshold
        log.append((ident, seq, int(answer)))
        if not answer:
            continue
        # The reply is the request with type 0: the checksum grows by 0x0800
        # (one's complement arithmetic).
        checksum = struct.unpack("!H", icmp[2:4])[0] + 0x0800
        checksum = (checksum & 0xFFFF) + (checksum >> 16)
        reply = bytes([ECHO_REPLY, 0]) + struct.pack("!H", checksum) + icmp[4:]
        try:
            tx.sendto(reply, (peer, 0))
        except OSError:
            log[-1] = (ident, seq, 0)


def sample(flag, out_path):
    peak = {}
    while os.path.exists(flag):
        for name in ("/proc/net/raw", "/proc/net/icmp"):
            try:
                with open(name) as table:
                    next(table)
                    for line in table:
                        fields = line.split()
                        key = (name, fields[9])  # the socket's inode
                        peak[key] = max(peak.get(key, 0), int(fields[-1]))
            except (OSError, StopIteration, IndexError, ValueError):
                pass
        time.sleep(0.02)
    with open(out_path, "w") as out:
        out.write(f"{sum(peak.values())}\n")


def load_sends(path):
    """pid -> [(identifier, sequence)] from the uprobe trace of sendto."""
    sends = {}
    for line in open(path):
        if " send: " not in line or "head=" not in line:
            continue
        task = line.split()[0]
        pid = int(task.rsplit("-", 1)[1])
        head = int(line.rsplit("head=", 1)[1].split()[0], 16).to_bytes(8, "little")
        if head[0] != ECHO_REQUEST:
            continue
        sends.setdefault(pid, []).append(struct.unpack("!HH", head[4:8]))
    return sends


def summarise(mode, work):
    def number(name):
        try:
            return int(open(os.path.join(work, name)).read().split()[0])
        except (OSError, IndexError, ValueError):
            return None

    runs = {}  # index -> (pid, status, cpu_us)
    wall_ns = 0
    for line in open(os.path.join(work, "manyrun.out")):
        fields = line.split()
        if fields[0] == "all":
            wall_ns = int(fields[1])
            continue
        index, pid, status, user, system = (int(f) for f in fields[:5])
        runs[index] = (pid, status, user + system)
    received = {}
    bad_lines = 0
    for index in runs:
        try:
            report = json.loads(open(os.path.join(work, f"{index}.out")).read())
            received[index] = int(report["received"])
        except (OSError, ValueError, KeyError):
            bad_lines += 1
            received[index] = 0
    cpu = sorted(c for _, _, c in runs.values())
    result = {
        "probes": len(runs),
        "exit_nonzero": sum(1 for _, s, _ in runs.values() if s != 0),
        "bad_lines": bad_lines,
        "counted": sum(received.values()),
        "cpu_ms_mean": sum(cpu) / len(cpu) / 1000 if cpu else 0,
        "cpu_ms_median": cpu[len(cpu) // 2] / 1000 if cpu else 0,
        "wall_s": wall_ns / 1e9,
        "backlog_drops": number("backlog_drops"),
        "socket_drops": number("socket_drops"),
        "requests": number("requests_seen"),
        "sent": number("replies_sent"),
        "arrived": number("replies_arrived"),
    }
    sends = load_sends(os.path.join(work, "trace")) if os.path.exists(
        os.path.join(work, "trace")) else None
    if sends is not None:
        result["requests_traced"] = sum(len(v) for v in sends.values())
        owners = {}
        for index, (pid, _, _) in runs.items():
            for key in sends.get(pid, []):
                owners.setdefault(key, set()).add(index)
        result["shared_pairs"] = sum(1 for v in owners.values() if len(v) > 1)
    if mode == "kernel":
        # Every request that reached the responder was answered by its kernel;
        # a reply counted that it did not send cannot be told apart here.
        result["missing"] = result["sent"] - result["counted"] if result["sent"] is not None else None
        result["unsent_counted"] = None
        return result
    answered = {}
    seen = 0
    for line in open(os.path.join(work, "responder.log")):
        ident, seq, answer = (int(f) for f in line.split())
        answered[(ident, seq)] = answered.get((ident, seq), 0) + answer
        seen += 1
    result["requests"] = seen
    result["sent"] = sum(answered.values())
    if sends is None:
        result["missing"] = max(0, result["sent"] - result["counted"])
        result["unsent_counted"] = None
        return result
    # Probes that share an (identifier, sequence) pair form one group (union
    # find); replies to a group's pairs are compared with what its probes
    # counted. For a probe that shares no pair this is exact; within a group
    # a missing reply can hide a mistaken one, so there both are lower bounds.
    parent = {index: index for index in runs}

    def find(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for indices in owners.values():
        first, *rest = indices
        for other in rest:
            parent[find(other)] = find(first)
    group_sent, group_counted = {}, {}
    for key, indices in owners.items():
        root = find(next(iter(indices)))
        group_sent[root] = group_sent.get(root, 0) + answered.get(key, 0)
    for index in runs:
        root = find(index)
        group_counted[root] = group_counted.get(root, 0) + received[index]
    result["missing"] = sum(max(0, group_sent.get(r, 0) - c) for r, c in group_counted.items())
    result["unsent_counted"] = sum(max(0, c - group_sent.get(r, 0))
                                   for r, c in group_counted.items())
    return result


def main():
    role = sys.argv[1] if len(sys.argv) > 1 else ""
    if role == "responder" and len(sys.argv) == 5:
        responder(float(sys.argv[2]), sys.argv[3], sys.argv[4])
    elif role == "sample" and len(sys.argv) == 4:
        sample(sys.argv[2], sys.argv[3])
    elif role == "summarise" and len(sys.argv) == 4:
        print(json.dumps(summarise(sys.argv[2], sys.argv[3])))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Scripted ICMP echo responder for the integration tests.

Runs on the responder host of a test's namespace pair, where the kernel's own
echo replies are switched off. It reads every echo request on a raw ICMP
socket and answers each as its plan says; it can also flood the probe host
with unrelated ICMP. Every packet it sends is built here, IP header included,
so that any source address can be used.

A plan entry is a list of steps joined by "+"; a step is a packet kind,
optionally followed by "@MS" (send MS milliseconds after the request arrived)
or "@next" (send when the next request arrives, before anything else happens
for that one). Without "@" the packet goes out at once. Kinds:

  reply          the echo reply
  foreign-id     an echo reply with another identifier
  wrong-seq      an echo reply with another sequence number
  wrong-src      the echo reply, sent from --other-src
  unreach[:C]    destination unreachable (code C, default 1 = host) quoting
                 the request, sent from --error-src (default: the target)
  exceeded       time exceeded in transit quoting the request
  foreign-error  destination unreachable quoting the request with another
                 identifier
  drop           nothing
  other-dst-error  destination unreachable quoting the request with its
                 destination changed to --other-dst (identifier and
                 sequence still ours)
  other-src-error  the same with the quoted source changed to --other-src

--ip-options HEX gives every reply and error of the plan (not the flood)
those bytes as IP options in its header, padded with end-of-list bytes to a
multiple of four.

ICMP that says nothing about whether the request arrived:

  redirect       host redirect (type 5, code 1) to the gateway --other-src,
                 quoting the request, sent from --error-src
  quench         source quench (type 4) quoting the request, from --error-src
  udp-error      port unreachable quoting a UDP datagram from the probe host
                 to the target, from --error-src

Shorthands: "late" = "reply@next", "dup" = "reply+reply".

Entries are chosen by the request's arrival number (1 for the first request)
or, with --key seq, by its sequence number; requests without an entry follow
--default.

Delays count from the moment the kernel received the request (its receive
timestamp), so the responder's own wake-up latency does not add to them.

Prints "ready" on standard output once it listens, and logs each request and
what it did on standard error. Each request's line carries "mono=SECONDS",
the kernel's receive time of the request on CLOCK_MONOTONIC, which all
network namespaces share, so other processes can compare times with it; each
delayed packet's line says how long after its due time it went out.
"""

import argparse
import heapq
import os
import random
import select
import socket
import struct
import sys
import time

ECHO_REPLY, DEST_UNREACH, ECHO_REQUEST, TIME_EXCEEDED = 0, 3, 8, 11
SOURCE_QUENCH, REDIRECT = 4, 5
# Receive timestamps as struct timespec (Linux; not named by every Python).
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)
PROBE_PAYLOAD = b"Ketrova-Diagnostic-Probe"


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def icmp(type_, code, rest_of_header, body):
    """An ICMP message with its checksum; rest_of_header is 4 bytes."""
    head = struct.pack("!BBH", type_, code, 0) + rest_of_header
    csum = checksum(head + body)
    return struct.pack("!BBH", type_, code, csum) + rest_of_header + body


def echo(type_, ident, seq, data):
    return icmp(type_, 0, struct.pack("!HH", ident, seq), data)


def error(type_, code, quoted):
    return icmp(type_, code, b"\0\0\0\0", quoted)


def ip_packet(src, dst, payload, proto=socket.IPPROTO_ICMP):
    """IPv4 header + payload (the kernel fills in the id when it sends one)."""
    fields = [0x45, 0, 20 + len(payload), 0, 0, 64, proto, 0,
              socket.inet_aton(src), socket.inet_aton(dst)]
    fields[7] = checksum(struct.pack("!BBHHHBBH4s4s", *fields))
    return struct.pack("!BBHHHBBH4s4s", *fields) + payload


# --- IP options and quoted destinations
def with_ip_options(packet, options):
    """An IPv4 packet with `options` (padded with end-of-list bytes to a
    multiple of four) appended to its header; lengths and checksum follow."""
    if not options:
        return packet
    options += b"\0" * (-len(options) % 4)
    ihl = (packet[0] & 0x0F) * 4
    header = bytearray(packet[:ihl] + options)
    header[0] = 0x40 | len(header) // 4
    header[2:4] = struct.pack("!H", len(packet) + len(options))
    header[10:12] = b"\0\0"
    header[10:12] = struct.pack("!H", checksum(bytes(header)))
    return bytes(header) + packet[ihl:]


def with_destination(packet, dst):
    """An IPv4 packet as it would look sent to `dst`."""
    ihl = (packet[0] & 0x0F) * 4
    header = bytearray(packet[:ihl])
    header[16:20] = socket.inet_aton(dst)
    header[10:12] = b"\0\0"
    header[10:12] = struct.pack("!H", checksum(bytes(header)))
    return bytes(header) + packet[ihl:]


class Request:
    """An echo request as the raw socket delivered it."""

    def __init__(self, packet):
        ihl = (packet[0] & 0x0F) * 4
        self.packet = packet
        self.src = socket.inet_ntoa(packet[12:16])
        self.dst = socket.inet_ntoa(packet[16:20])
        self.ident, self.seq = struct.unpack("!HH", packet[ihl + 4:ihl + 8])
        self.data = packet[ihl + 8:]
        self.ihl = ihl

    @staticmethod
    def parse(packet):
        if len(packet) < 20 or packet[0] >> 4 != 4:
            return None
        ihl = (packet[0] & 0x0F) * 4
        if ihl < 20 or len(packet) < ihl + 8 or packet[9] != socket.IPPROTO_ICMP:
            return None
        if packet[ihl] != ECHO_REQUEST or packet[ihl + 1] != 0:
            return None
        return Request(packet)

    def with_ident(self, ident):
        """The request as it would look with another identifier."""
        icmp_part = echo(ECHO_REQUEST, ident, self.seq, self.data)
        return self.packet[:self.ihl] + icmp_part


def build(kind, req, opts):
    """The packets (source, destination, IP payload) for one step."""
    me, peer = req.dst, req.src
    error_src = opts.error_src or me
    if kind == "drop":
        return []
    if kind == "reply":
        return [(me, peer, echo(ECHO_REPLY, req.ident, req.seq, req.data))]
    if kind == "foreign-id":
        return [(me, peer, echo(ECHO_REPLY, req.ident ^ 0x8000, req.seq, req.data))]
    if kind == "wrong-seq":
        return [(me, peer, echo(ECHO_REPLY, req.ident, req.seq ^ 0x8000, req.data))]
    if kind == "wrong-src":
        return [(opts.other_src, peer, echo(ECHO_REPLY, req.ident, req.seq, req.data))]
    if kind.startswith("unreach"):
        code = int(kind.partition(":")[2] or 1)
        return [(error_src, peer, error(DEST_UNREACH, code, req.packet))]
    if kind == "exceeded":
        return [(error_src, peer, error(TIME_EXCEEDED, 0, req.packet))]
    if kind == "foreign-error":
        quoted = req.with_ident(req.ident ^ 0x8000)
        return [(error_src, peer, error(DEST_UNREACH, 1, quoted))]
    # --- ICMP that says nothing about the request
    if kind == "redirect":
        gateway = socket.inet_aton(opts.other_src)
        return [(error_src, peer, icmp(REDIRECT, 1, gateway, req.packet))]
    if kind == "quench":
        return [(error_src, peer, error(SOURCE_QUENCH, 0, req.packet))]
    if kind == "udp-error":
        udp = struct.pack("!HHHH", 40000 + req.seq % 1000, 33434, 8 + len(req.data), 0) + req.data
        return [(error_src, peer, error(DEST_UNREACH, 3, ip_packet(peer, me, udp, socket.IPPROTO_UDP)))]
    # --- IP options and quoted destinations
    if kind == "other-dst-error":
        return [(error_src, peer, error(DEST_UNREACH, 1, with_destination(req.packet, opts.other_dst)))]
    # --- the wait's edges
    if kind == "other-src-error":
        quoted = bytearray(req.packet)
        quoted[12:16] = socket.inet_aton(opts.other_src)
        # with_destination() puts the header's checksum right again.
        return [(error_src, peer, error(DEST_UNREACH, 1, with_destination(bytes(quoted), req.dst)))]
    raise ValueError(f"unknown packet kind {kind!r}")


SHORTHANDS = {"late": "reply@next", "dup": "reply+reply", "": "drop"}
KINDS = ("reply", "foreign-id", "wrong-seq", "wrong-src", "unreach", "exceeded",
         "foreign-error", "drop", "other-dst-error")
KINDS += ("redirect", "quench", "udp-error")
KINDS += ("other-src-error",)


def parse_steps(text):
    """'reply@40+wrong-seq' -> [('reply', 40), ('wrong-seq', 0)]; 'next' = None."""
    steps = []
    for part in text.split("+"):
        part = SHORTHANDS.get(part, part)
        for step in part.split("+"):
            kind, _, when = step.partition("@")
            if kind.partition(":")[0] not in KINDS:
                raise argparse.ArgumentTypeError(f"unknown packet kind {kind!r}")
            steps.append((kind, None if when == "next" else int(when or 0)))
    return steps


class Flood:
    """Unrelated ICMP towards the probe host at a steady rate."""

    def __init__(self, rate, kinds, dst, src):
        self.rate, self.kinds, self.dst, self.src = rate, kinds, dst, src
        self.start = time.monotonic()
        self.sent = 0
        self.rng = random.Random(1)

    def due(self, now):
        return int((now - self.start) * self.rate) - self.sent

    def next_time(self):
        return self.start + (self.sent + 1) / self.rate

    def packet(self):
        kind = self.kinds[self.sent % len(self.kinds)]
        self.sent += 1
        rng = self.rng
        ident, seq = rng.randrange(0x10000), rng.randrange(0x8000, 0x10000)
        if kind == "foreign-reply":
            return self.src, self.dst, echo(ECHO_REPLY, ident, seq, PROBE_PAYLOAD)
        if kind == "foreign-error":
            # Someone else's echo request from the probe host, and a UDP
            # datagram from it, each reported unreachable.
            if self.sent % 2:
                inner = ip_packet(self.dst, self.src,
                                  echo(ECHO_REQUEST, ident, seq, PROBE_PAYLOAD))
            else:
                udp = struct.pack("!HHHH", 40000 + seq % 1000, 33434, 8 + 24, 0) + PROBE_PAYLOAD
                inner = ip_packet(self.dst, "203.0.113.9", udp, socket.IPPROTO_UDP)
            return self.src, self.dst, error(DEST_UNREACH, 1, inner)
        if kind == "truncated":
            # An echo reply cut inside its header, or an error whose quote is
            # cut inside the quoted IP header.
            if self.sent % 2:
                return self.src, self.dst, echo(ECHO_REPLY, ident, seq, b"")[:rng.randrange(1, 8)]
            inner = ip_packet(self.dst, self.src, echo(ECHO_REQUEST, ident, seq, b""))
            return self.src, self.dst, error(DEST_UNREACH, 1, inner[:rng.randrange(0, 20)])
        if kind == "garbage":
            body = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64)))
            return self.src, self.dst, body
        raise ValueError(f"unknown flood kind {kind!r}")

    def run(self, parent):
        """Sends the flood until the process `parent` is gone."""
        tx = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
        tx.setblocking(False)
        self.start = time.monotonic()
        while os.getppid() == parent:
            for _ in range(min(self.due(time.monotonic()), 1000)):
                try:
                    tx.sendto(ip_packet(*self.packet()), (self.dst, 0))
                except OSError:
                    pass  # a full queue: that packet is lost, as on a real flood
            time.sleep(max(0.0, self.next_time() - time.monotonic()))


FLOOD_KINDS = ("foreign-reply", "foreign-error", "truncated", "garbage")


def receive(sock):
    """The next packet and the kernel's receive time of it on CLOCK_MONOTONIC.

    The kernel stamps packets with CLOCK_REALTIME; the two clocks advance
    together, so the difference between them, read now, converts it."""
    packet, ancillary, _, _ = sock.recvmsg(65535, socket.CMSG_SPACE(16))
    offset = time.time_ns() - time.monotonic_ns()
    for level, type_, data in ancillary:
        if level == socket.SOL_SOCKET and type_ == SO_TIMESTAMPNS and len(data) >= 16:
            seconds, nanoseconds = struct.unpack("@qq", data[:16])
            return packet, (seconds * 1_000_000_000 + nanoseconds - offset) / 1e9
    return packet, time.monotonic()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--default", type=parse_steps, default=parse_steps("reply"),
                    help="steps for requests without an entry (default: reply)")
    ap.add_argument("--plan", default="",
                    help="comma-separated entries for requests 1, 2, ... (or for "
                         "sequence numbers from --first-seq with --key seq)")
    ap.add_argument("--at", action="append", default=[], metavar="N=STEPS",
                    help="the entry for request (or sequence number) N")
    ap.add_argument("--key", choices=("arrival", "seq"), default="arrival")
    ap.add_argument("--first-seq", type=int, default=1)
    ap.add_argument("--other-src", default="198.51.100.8")
    ap.add_argument("--error-src", default=None)
    ap.add_argument("--flood", type=float, default=0, metavar="RATE",
                    help="packets per second of unrelated ICMP to --flood-dst")
    ap.add_argument("--flood-kinds", default=",".join(FLOOD_KINDS))
    ap.add_argument("--flood-dst", default="192.0.2.10")
    ap.add_argument("--flood-src", default="198.51.100.7")
    ap.add_argument("--rcvbuf", type=int, default=0, metavar="BYTES",
                    help="receive buffer of the listening socket, for recording "
                         "bursts of requests from many probes at once")
    ap.add_argument("--realtime", action="store_true",
                    help="run under real-time scheduling, so that a busy machine "
                         "does not make delayed packets late")
    # --- IP options and quoted destinations
    ap.add_argument("--other-dst", default="198.51.100.9",
                    help="the destination other-dst-error quotes")
    ap.add_argument("--ip-options", type=bytes.fromhex, default=b"", metavar="HEX",
                    help="IP options in the header of every reply and error of the plan")
    opts = ap.parse_args()

    plan = {}
    first = opts.first_seq if opts.key == "seq" else 1
    for i, entry in enumerate(opts.plan.split(",") if opts.plan else []):
        plan[first + i] = parse_steps(entry)
    for item in opts.at:
        n, _, steps = item.partition("=")
        plan[int(n)] = parse_steps(steps)
    if opts.flood > 0:
        kinds = opts.flood_kinds.split(",")
        for k in kinds:
            if k not in FLOOD_KINDS:
                ap.error(f"unknown flood kind {k!r}")
        # Its own process, so that sending the flood never delays an answer.
        flood = Flood(opts.flood, kinds, opts.flood_dst, opts.flood_src)
        parent = os.getpid()
        if os.fork() == 0:
            try:
                flood.run(parent)
            finally:
                os._exit(0)
    # The flood, if any, stays an ordinary process.
    if opts.realtime:
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
        except OSError as e:
            # No real-time budget (some containers): the highest priority
            # among ordinary processes is the next best thing.
            print(f"responder: no real-time scheduling ({e}); nice -20 instead",
                  file=sys.stderr, flush=True)
            os.setpriority(os.PRIO_PROCESS, 0, -20)

    rx = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    rx.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    if opts.rcvbuf:
        # Beyond net.core.rmem_max, which only root may do.
        rx.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, opts.rcvbuf)
    tx = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    tx.setblocking(False)

    started = time.monotonic()

    def log(text):
        print(f"responder {1000 * (time.monotonic() - started):9.1f} ms  {text}",
              file=sys.stderr, flush=True)

    def send(src, dst, payload):
        try:
            tx.sendto(with_ip_options(ip_packet(src, dst, payload), opts.ip_options), (dst, 0))
        except OSError as e:
            log(f"send to {dst} failed: {e}")

    timers = []  # (due, order, packet, what it is)
    held = []    # packets for the next request
    order = 0
    arrivals = 0
    print("ready", flush=True)

    while True:
        now = time.monotonic()
        while timers and timers[0][0] <= now:
            due, _, packet, what = heapq.heappop(timers)
            send(*packet)
            log(f"sent {what} {1000 * (time.monotonic() - due):.2f} ms after its time")
        timeout = max(0.0, timers[0][0] - time.monotonic()) if timers else None
        readable, _, _ = select.select([rx], [], [], timeout)
        if not readable:
            continue
        packet, arrived = receive(rx)
        req = Request.parse(packet)
        if req is None:
            continue
        arrivals += 1
        for packet in held:
            send(*packet)
        if held:
            log(f"sent {len(held)} held packet(s)")
        held = []
        key = arrivals if opts.key == "arrival" else req.seq
        steps = plan.get(key, opts.default)
        log(f"request #{arrivals} mono={arrived:.6f} {req.src}->{req.dst} id={req.ident} "
            f"seq={req.seq} data={req.data!r}: "
            + "+".join(k + ("@next" if w is None else f"@{w}" if w else "") for k, w in steps))
        for kind, when in steps:
            for packet in build(kind, req, opts):
                if when is None:
                    held.append(packet)
                elif when == 0:
                    send(*packet)
                else:
                    order += 1
                    heapq.heappush(timers, (arrived + when / 1000, order, packet,
                                            f"{kind} to #{arrivals}"))


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        os._exit(0)

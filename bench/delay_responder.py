#!/usr/bin/env python3
"""Answers ICMP echo requests after a fixed delay.

Stands in for a netem delay where the kernel has no netem queueing
discipline: run it on the responder host with the kernel's own echo replies
switched off (net.ipv4.icmp_echo_ignore_all=1). Every echo request addressed
to --address is answered with an echo reply carrying the same identifier,
sequence and data, --delay-ms milliseconds after it arrived. Prints "ready"
once it listens; runs until killed.
"""

import argparse
import heapq
import select
import socket
import struct
import sys
import time


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--delay-ms", type=float, required=True)
    args = parser.parse_args()

    own = socket.inet_aton(args.address)
    sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    sock.setblocking(False)
    delay = args.delay_ms / 1000.0
    pending = []  # (due, order, reply, destination)
    order = 0
    print("ready", flush=True)
    while True:
        timeout = None
        if pending:
            timeout = max(0.0, pending[0][0] - time.monotonic())
        readable, _, _ = select.select([sock], [], [], timeout)
        if readable:
            while True:
                try:
                    packet, (sender, _) = sock.recvfrom(65535)
                except BlockingIOError:
                    break
                arrived = time.monotonic()
                header = (packet[0] & 0x0F) * 4
                icmp = packet[header:]
                if len(icmp) < 8 or icmp[0] != 8 or packet[16:20] != own:
                    continue
                reply = bytearray(icmp)
                reply[0] = 0
                reply[2:4] = b"\0\0"
                reply[2:4] = struct.pack("!H", checksum(bytes(reply)))
                heapq.heappush(pending, (arrived + delay, order, bytes(reply), sender))
                order += 1
        now = time.monotonic()
        while pending and pending[0][0] <= now:
            _, _, reply, destination = heapq.heappop(pending)
            sock.sendto(reply, (destination, 0))


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)

#!/usr/bin/env python3
"""Puts realistic faults into the code one at a time and checks that the
tests meant to guard against each one fail.

  scripts/seed-faults.py [BUILD_DIR] [NAME...]

BUILD_DIR is a configured build tree with tests (default build/dev). For each
fault (all, or only those NAMEd) the script edits one source file, rebuilds,
runs the tests that guard it with ctest, and puts the file back, whatever
happens. A fault whose text is no longer in the file is reported as stale:
the code changed and the entry needs updating. The integration tests need
root; without it they are skipped and their faults count as not checked.
Exits 1 when a fault got through.
"""

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# name, file, text, the faulty text, ctest regular expression
FAULTS = [
    ("white-space-missing", "src/cli/ipv4.cpp", r'"\xE2\x80\x85",', r'"\xE2\x80\x84",',
     r"WhiteSpaceTest"),
    ("white-space-off-by-one", "src/cli/ipv4.cpp", r'"\xE2\x80\x8A",', r'"\xE2\x80\x8B",',
     r"WhiteSpaceTest"),
    ("octet-range-after-the-loop", "src/cli/ipv4.cpp",
     "    if (value > 255) return std::nullopt;\n  }\n",
     "  }\n  if (value > 255) return std::nullopt;\n", r"ParseIpv4Test"),
    ("utf8-lead-up-to-f7", "src/cli/utf.cpp", "lead <= 0xF4", "lead <= 0xF7", r"RepairUtf8Test"),
    ("utf16-low-surrogate-end", "src/cli/utf.cpp", "text[i + 1] <= 0xDFFF",
     "text[i + 1] < 0xDFFF", r"Utf16ToUtf8Test"),
    ("utf16-high-surrogate-end", "src/cli/utf.cpp", "unit >= 0xD800 && unit <= 0xDBFF",
     "unit >= 0xD800 && unit < 0xDBFF", r"Utf16ToUtf8Test"),
    ("checksum-odd-byte-low-half", "src/echo/icmp_packet.cpp",
     "sum += static_cast<std::uint32_t>(bytes[i] << 8);", "sum += bytes[i];",
     r"ChecksumTest|IcmpPacketTest|WrittenPacketTest"),
    ("ip-header-fixed-20-bytes", "src/echo/icmp_packet.cpp",
     "packet.subspan(header_length, total_length - header_length)",
     "packet.subspan(MIN_IP_HEADER, total_length - MIN_IP_HEADER)",
     r"WrittenPacketTest|integration\.ip_options_(reply|error)\.raw"),
    ("quoted-header-fixed-20-bytes", "src/echo/icmp_packet.cpp",
     "quoted.subspan(quoted_header)", "quoted.subspan(MIN_IP_HEADER)", r"WrittenPacketTest"),
    ("quoted-length-fixed-20-bytes", "src/echo/icmp_packet.cpp",
     "quoted.size() < quoted_header + ICMP_HEADER_SIZE",
     "quoted.size() < MIN_IP_HEADER + ICMP_HEADER_SIZE", r"IcmpPacketTest\.RejectsPackets"),
    ("quoted-destination-ignored", "src/echo/echo_match.cpp",
     "if (message.quoted_destination != key.target) return AnswerKind::none;", "",
     r"ClassifyAnswerTest|integration\.other_dst_error\.(raw|dgram)"),
    ("quench-fails-a-request", "src/echo/echo_match.cpp",
     "type == ICMP_TYPE_PARAMETER_PROBLEM;",
     "type == ICMP_TYPE_PARAMETER_PROBLEM || type == ICMP_TYPE_SOURCE_QUENCH;",
     r"IcmpErrorFailsRequestTest|ClassifyAnswerTest"),
    ("late-answer-counts", "src/echo/echo_timing.cpp",
     "if (elapsed > static_cast<Nanos>(timeout_ms) * NANOS_PER_MS)",
     "if (elapsed > static_cast<Nanos>(timeout_ms) * NANOS_PER_MS * 1000)",
     r"RoundTripMsTest"),
    ("short-write-taken-as-complete", "src/os/linux/process.cpp",
     "std::strerror(EIO)};\n    bytes.remove_prefix(static_cast<std::size_t>(written));",
     "std::strerror(EIO)};\n    bytes = {};",
     r"cli_end_to_end"),
    ("argument-0-left-out", "src/os/linux/process.cpp", "for (int i = 0; i < argc; ++i)",
     "for (int i = 1; i < argc; ++i)", r"cli_end_to_end"),
    # The wait's edges (the Linux layer).
    ("no-read-at-the-deadline", "src/os/linux/echo_wait.cpp",
     "std::optional<EchoAnswer> answer =\n          read_round(reader, echo, keys, POLLIN | POLLERR, READS_AT_DEADLINE);",
     "std::optional<EchoAnswer> answer;", r"integration\.unread_at_deadline\.(raw|dgram)"),
    ("every-wakeup-waits-a-full-timeout", "src/os/linux/echo_wait.cpp",
     "reader.socket().wait(echo.deadline() - now, revents);",
     "reader.socket().wait(static_cast<Nanos>(echo.timeout_ms) * NANOS_PER_MS, revents);",
     r"EchoWaitTest|integration\.woken_to_deadline\.(raw|dgram)"),
    ("late-transmit-stamp-moves-no-deadline", "src/os/linux/echo_wait.cpp",
     "if (answer || echo.deadline() <= deadline) return answer;", "return answer;",
     r"EchoWaitTest\.TheDeadlineRunsFromTheTransmitStamp"),
    ("earlier-requests-stamp-taken", "src/os/linux/echo_wait.cpp",
     "keys.may_be_current(candidate.stamp_key)", "keys.may_be_current(candidate.stamp_key + 1)",
     r"EchoWaitTest\.TheDeadlineRunsFromTheTransmitStamp"),
    # A step of the real-time clock.
    ("stamp-only-on-the-clock-as-read", "src/echo/echo_timing.cpp",
     "    result.on_sent_clock = stamp_to_monotonic(stamp, then, sent.monotonic);",
     "    (void)then;",
     r"RoundTripMsTest|EchoWaitTest|integration\.stall_clock_(ahead|back|hour)\.(raw|dgram)"),
    ("stamps-difference-never-taken", "src/echo/echo_timing.cpp",
     "if (l.moment && c.moment && same_clock(l.offset, c.offset)) {",
     "if (l.moment && c.moment && same_clock(l.offset, c.offset) && c.offset == 7) {",
     r"RoundTripMsTest\.TakesBothStampsOnTheirOwnClock"),
    ("error-sequence-not-compared", "src/echo/echo_match.cpp",
     "if (message.identifier != key.identifier || message.sequence != key.sequence) {",
     "if (message.identifier != key.identifier ||\n"
     "      (message.kind == IcmpMessageKind::echo_reply && message.sequence != key.sequence)) {",
     r"integration\.stale_error\.(raw|dgram)"),
    ("raw-quote-source-ignored", "src/os/linux/raw_reader.cpp",
     "candidate.quote_shows_source = true;", "candidate.quote_shows_source = false;",
     r"integration\.other_src_error\.raw"),
    ("first-sequence-fixed", "src/os/linux/echo_service.cpp",
     "sequence_ = static_cast<std::uint16_t>(random);", "sequence_ = 0;",
     r"integration\.first_sequence\.(raw|dgram)"),
    ("first-sequence-is-the-identifier", "src/os/linux/echo_service.cpp",
     "sequence_ = static_cast<std::uint16_t>(random);",
     "sequence_ = static_cast<std::uint16_t>(random >> 16);", r"integration\.first_sequence\.raw"),
    ("raw-filter-at-the-wrong-level", "src/os/linux/icmp_socket.cpp",
     "set_option(fd, SOL_SOCKET, SO_ATTACH_FILTER,", "set_option(fd, SOL_RAW, SO_ATTACH_FILTER,",
     r"integration\.filtered_flood\.raw"),
    ("raw-queue-discarded-before-filter", "src/os/linux/icmp_socket.cpp",
     "    set_option(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);\n"
     "    discard_queued(fd);\n",
     "    discard_queued(fd);\n"
     "    set_option(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);\n",
     r"integration\.filtered_flood\.raw"),
    ("icmp-socket-on-a-standard-stream", "src/os/linux/icmp_socket.cpp",
     "away_from_standard_streams(::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP));",
     "::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);",
     r"integration\.closed_streams\.(raw|dgram)"),
    ("netlink-socket-on-a-standard-stream", "src/os/linux/uplink.cpp",
     "fd_(away_from_standard_streams(\n"
     "            ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE))) {",
     "fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE)) {",
     r"integration\.closed_streams\.(raw|dgram)"),
    # The uplink choice and the per-request decision (unit tables over a
    # made-up host, and the uplinks in namespaces).
    ("multipath-read-as-another-interface", "src/os/linux/uplink.cpp",
     "by_table.through(index) == nullptr) {", "by_table.interface_index != index) {",
     r"UplinkChoiceTest|integration\.multipath_source_table\.(raw|dgram)"),
    ("link-untold-left-to-the-tables", "src/os/linux/uplink.cpp",
     "if (link.answer == 0 && link.linkless) return",
     "if (link.answer != 0 || link.linkless) return", r"UplinkChoiceTest"),
    ("long-answer-buffer-doubled", "src/os/linux/uplink.cpp",
     "buffer_.resize(length);", "buffer_.resize(buffer_.size() * 2);", r"LongLinkAnswerTest"),
    ("decision-asked-every-request", "src/os/linux/uplink.cpp",
     "if (cleared_ && !netlink.changed() &&", "if (false && cleared_ && !netlink.changed() &&",
     r"UplinkChoiceTest|PerRequestDecisionTest"),
    ("news-not-heard", "src/os/linux/uplink.cpp",
     "      // News, lost news, or a read that failed: all the same, a change.\n"
     "      changed_ = true;\n",
     "", r"PerRequestDecisionTest|integration\.(address_moved|carrier_lost)\.(raw|dgram)"),
    ("lost-news-taken-for-none", "src/os/linux/uplink.cpp",
     "if (size == -EAGAIN) return;", "if (size == -EAGAIN || size == -ENOBUFS) return;",
     r"PerRequestDecisionTest"),
    ("unheard-object-news-trusted", "src/os/linux/uplink.cpp",
     "lasting = route.nexthop_object == 0 || netlink.hears_next_hop_objects();",
     "lasting = true;", r"PerRequestDecisionTest"),
    ("news-not-subscribed", "src/os/linux/uplink.cpp",
     "local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV4_RULE;",
     "local.nl_groups = 0;",
     r"integration\.(address_moved|carrier_lost|interface_made_again)\.(raw|dgram)"),
    ("news-read-as-an-answer", "src/os/linux/uplink.cpp",
     "message.nlmsg_seq == sequence_ && message.nlmsg_pid == channel_->port();",
     "message.nlmsg_seq == sequence_;", r"PerRequestDecisionTest"),
    ("carrier-not-checked", "src/os/linux/uplink.cpp",
     "(hop->flags & (RTNH_F_LINKDOWN | RTNH_F_DEAD)) == 0;", "(hop->flags & RTNH_F_DEAD) == 0;",
     r"PerRequestDecisionTest|integration\.carrier_lost\.(raw|dgram)"),
    ("moved-address-not-checked", "src/os/linux/uplink.cpp",
     " ||\n      local.interface_index != interface_index) {", ") {",
     r"PerRequestDecisionTest|integration\.(address_moved|interface_made_again)\.(raw|dgram)"),
    ("stamp-socket-on-a-standard-stream", "src/os/linux/icmp_socket.cpp",
     "away_from_standard_streams(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));",
     "::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);",
     r"integration\.closed_streams\.(raw|dgram)"),
    ("unstamped-error-first", "src/os/linux/echo_reader.cpp",
     "return record.when.stamp && packet.when.stamp && *record.when.stamp < *packet.when.stamp;",
     "return record.when.stamp.value_or(record.when.read_at.realtime) <=\n"
     "         packet.when.stamp.value_or(packet.when.read_at.realtime);",
     r"EchoWaitTest|integration\.error_behind_reply\.dgram"),
    ("pending-error-left-standing", "src/os/linux/icmp_socket.cpp",
     "(void)::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);", "(void)error;\n(void)size;",
     r"integration\.pending_error_alone\.(raw|dgram)"),
    ("pending-error-never-read", "src/os/linux/echo_reader.cpp",
     "if (which == ERROR_QUEUE && !queue.read_any) socket_->take_pending_error();", "",
     r"EchoWaitTest\.APendingErrorIsReadAwayOnce|integration\.pending_error_alone\.(raw|dgram)"),
    ("equal-stamps-error-first", "src/os/linux/echo_reader.cpp",
     "*record.when.stamp < *packet.when.stamp", "*record.when.stamp <= *packet.when.stamp",
     r"EchoWaitTest\.TheAnswerTheKernelReceivedFirstCounts"),
    ("queued-error-truncated-taken", "src/os/linux/datagram_reader.cpp",
     "        message.truncated || !message.peer) {", "        !message.peer) {",
     r"EchoWaitTest\.ErrorRecordsOfADatagramSocket"),
    ("queued-error-identifier-bytes-swapped", "src/echo/icmp_packet.cpp",
     "  parsed.identifier = read_be16(request, 4);",
     "  parsed.identifier = static_cast<std::uint16_t>(request[5] << 8 | request[4]);",
     r"IcmpPacketTest\.ParsesAQueuedError"),
    ("standard-stream-left-open", "src/os/linux/icmp_socket.cpp",
     "  ::close(fd);\n  return moved;", "  return moved;",
     r"integration\.closed_streams\.(raw|dgram)"),
]


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kwargs)


def main():
    args = sys.argv[1:]
    build = Path(args.pop(0)).resolve() if args and Path(args[0]).is_dir() \
        else ROOT / "build" / "dev"
    wanted = set(args)
    unknown = wanted - {f[0] for f in FAULTS}
    if unknown:
        sys.exit(f"unknown fault(s): {', '.join(sorted(unknown))}")
    # Without a fault the guarding tests must pass, or a failure proves nothing.
    every = "|".join(f"({f[4]})" for f in FAULTS if not wanted or f[0] in wanted)
    if run(["nice", "-n", "10", "cmake", "--build", str(build), "-j2"]).returncode != 0:
        sys.exit("the build fails without any fault")
    baseline = run(["ctest", "--test-dir", str(build), "-R", every, "--timeout", "120"])
    if baseline.returncode != 0:
        print(baseline.stdout[-3000:])
        sys.exit("the guarding tests fail without any fault")
    results = []
    for name, file, text, faulty, tests in FAULTS:
        if wanted and name not in wanted:
            continue
        path = ROOT / file
        original = path.read_text()
        if original.count(text) != 1:
            results.append((name, "stale"))
            continue
        try:
            path.write_text(original.replace(text, faulty))
            built = run(["nice", "-n", "10", "cmake", "--build", str(build), "-j2"])
            if built.returncode != 0:
                results.append((name, "does not build"))
                print(built.stdout[-2000:])
                continue
            tested = run(["ctest", "--test-dir", str(build), "-R", tests, "--timeout", "120"])
            summary = [line for line in tested.stdout.splitlines() if "tests passed" in line]
            ran = "No tests were found" not in tested.stdout
            skipped = "Not Run" in tested.stdout or "***Skipped" in tested.stdout
            if not ran:
                results.append((name, "no test matches " + tests))
            elif tested.returncode != 0:
                results.append((name, "caught (" + (summary[0] if summary else "failed") + ")"))
            elif skipped:
                results.append((name, "not checked (tests skipped)"))
            else:
                results.append((name, "GOT THROUGH"))
        finally:
            path.write_text(original)
    # Leave the build matching the sources again.
    run(["nice", "-n", "10", "cmake", "--build", str(build), "-j2"])
    for name, outcome in results:
        print(f"{name:32} {outcome}")
    return 1 if any(o == "GOT THROUGH" or o == "does not build" for _, o in results) else 0


if __name__ == "__main__":
    os.chdir(ROOT)
    sys.exit(main())

# shellcheck shell=bash
# Sets variables that other helpers read.
# shellcheck disable=SC2034
# The path's answers: replies, losses, stray packets, ICMP errors, floods,
# IP options and quoted destinations, the first sequence number.

scenario_available() {
  responder_start
  probe_default
  expect_series status=available loss_rate=0 received=10 note= \
    avg_latency_ms\<=20 jitter_ms\<=50
  expect_requests 10
}

# Every reply 40 ms late: the samples are whole milliseconds of the real
# round trip, so the average is 40 or a little more (the responder's own
# timing slips by a few milliseconds on a busy machine).
scenario_fixed_delay() {
  responder_start --default reply@40
  probe_default
  expect_series status=available received=10 avg_latency_ms\>=40 avg_latency_ms\<=60 jitter_ms\<=20
  expect_elapsed 400 2000
}

scenario_one_loss() {
  responder_start --at 3=drop
  probe_default
  expect_series status=unstable loss_rate=10 received=9 note=
  expect_elapsed 1000 2500
  expect_requests 10
}

# One reply 150 ms later than the rest: jitter above 100 ms, no loss.
scenario_jitter() {
  responder_start --at 5=reply@150
  probe_default
  expect_series status=unstable loss_rate=0 received=10 jitter_ms\>=140 jitter_ms\<=250 note=
}

# Ten full waits of 1000 ms each, one after another.
scenario_no_reply() {
  responder_start --default drop
  probe_default
  expect_series status=unavailable loss_rate=100 received=0 avg_latency_ms=0 jitter_ms=0 note=
  expect_elapsed 10000 11500
  expect_requests 10
}

# Each request is answered only while the probe waits for the next one;
# none of those answers belongs to the request being waited for.
scenario_late_only() {
  responder_start --default late
  probe_default
  expect_series status=unavailable loss_rate=100 received=0 note=
  expect_elapsed 10000 11500
}

# Each request gets its own reply after 40 ms, and the previous request's
# reply again as soon as it arrives. Counting the stale one would show as
# near-zero samples.
scenario_late_and_own() {
  responder_start --default late+reply@40
  probe_default
  expect_series status=available received=10 avg_latency_ms\>=40 avg_latency_ms\<=60
}

# Every reply sent twice and the last request unanswered: the duplicate of
# the ninth reply arrives during the tenth wait and must not count.
scenario_duplicate() {
  responder_start --default dup --at 10=drop
  probe_default
  expect_series status=unstable loss_rate=10 received=9 note=
}

# Each request gets the stray packet at once and its reply 40 ms later;
# request 4 gets only the stray packet.
stray_then_reply() {
  stray=${SCENARIO//_/-}
  responder_start --default "$stray+reply@40" --at 4="$stray" --error-src 198.51.100.1
  probe_default
  expect_series status=unstable loss_rate=10 received=9 note= \
    avg_latency_ms\>=40 avg_latency_ms\<=60
}
scenario_foreign_id() { stray_then_reply; }
scenario_wrong_seq() { stray_then_reply; }
scenario_wrong_src() { stray_then_reply; }
scenario_foreign_error() { stray_then_reply; }

# Destination host unreachable for request 4 and time exceeded for request
# 7, both from a router and quoting the request: each ends its wait at
# once and counts as lost, with no note.
scenario_icmp_error() {
  responder_start --at 4=unreach:1 --at 7=exceeded --error-src 198.51.100.1
  probe_default
  expect_series status=unstable loss_rate=20 received=8 note=
  expect_elapsed 0 800
}

# A source address the probe host does not have: every request fails at
# once and nothing reaches the target.
scenario_bind_unconfigured() {
  responder_start
  run_probe --src-ip 192.0.2.99 --target-ip "$TARGET_IP"
  expect status=unavailable loss_rate=100 sent=10 received=0 src_ip=192.0.2.99 note="$BIND_NOTE"
  expect_elapsed 0 "$FAST_MS"
  expect_requests 0
}

# The source is configured but there is no route from it to the target.
scenario_no_route() {
  run_probe --src-ip "$PROBE_IP" --target-ip 203.0.113.5
  expect status=unavailable loss_rate=100 sent=10 received=0 target_ip=203.0.113.5 note="$BIND_NOTE"
  expect_elapsed 0 "$FAST_MS"
}

# Nothing answered while the probe host receives thousands of unrelated
# ICMP packets a second: each wait still lasts its full 1000 ms from its
# own send, so the series ends 10.00 s after the first send plus only
# the time between one request's deadline and the next send.
# The probe runs at the highest niceness, so that other work on a busy
# machine does not hold it off the CPU when a wait ends (on a loaded
# two-core machine that alone was up to 20 ms per wait). It still has to
# read and discard every packet of the flood in time.
scenario_flood_no_reply() {
  for WINDOW_RETRIES in 2 1 0; do
    responder_start --default drop --flood "$FLOOD_RATE"
    flood_mark
    PROBE_NICE=-20
    probe_default
    expect_flood
    expect_series status=unavailable loss_rate=100 received=0 avg_latency_ms=0 jitter_ms=0 note=
    expect_requests 10
    expect_window 10.00 10.05 && break
    kill "$RESPONDER_PID"
    wait "$RESPONDER_PID" || true
  done
}

# Every request answered after 40 ms under the same flood: none of the
# flood is counted and none of it ends a wait early.
scenario_flood_answered() {
  responder_start --default reply@40 --flood "$FLOOD_RATE" --realtime
  flood_mark
  probe_default
  expect_flood
  expect_series status=available loss_rate=0 received=10 note= \
    avg_latency_ms\>=40 avg_latency_ms\<=60 jitter_ms\<=20
  expect_requests 10
}

# The probe and ping take turns on the same path, every reply 37 ms
# after its request; the probe's numbers must agree with ping's to 1 ms.
# The responder runs with real-time priority so that it keeps to 37 ms
# on a busy machine, and the probe at the highest niceness so that other
# work does not delay its reading of the clock.
scenario_rtt_vs_ping() {
  responder_start --default reply@37 --realtime
  PROBE_NICE=-20
  reports=() pings=()
  for round in 1 2 3; do
    probe_default
    expect_series status=available loss_rate=0 received=10 note=
    cp "$REPORT" "$NETNS_WORK/report.$round"
    reports+=("$NETNS_WORK/report.$round")
    in_probe ping -c 10 -i 0.2 -I "$PROBE_IP" "$TARGET_IP" >"$NETNS_WORK/ping.$round" ||
      fail "ping failed: $(cat "$NETNS_WORK/ping.$round")"
    pings+=("$NETNS_WORK/ping.$round")
  done
  "$PYTHON" "$HERE/timing.py" rtt "${reports[@]}" -- "${pings[@]}" ||
    fail "the probe's round-trip times disagree with ping's"
}

# A router's redirect (the request forwarded all the same), a source
# quench, or destination unreachable about a UDP datagram of the probe
# host, each just before every reply: nothing about the request, so every
# reply counts. Request 4 gets only that packet and waits its full
# second: the packet neither answers a request nor ends its wait.
noise_before_reply() {
  noise=${SCENARIO/source_quench/quench}
  noise=${noise//_/-}
  responder_start --default "$noise+reply@40" --at 4="$noise" --error-src 198.51.100.1
  probe_default
  expect_series status=unstable loss_rate=10 received=9 note= \
    avg_latency_ms\>=40 avg_latency_ms\<=60 jitter_ms\<=20
  expect_elapsed 1000 2500
  expect_requests 10
}
scenario_redirect() { noise_before_reply; }
scenario_source_quench() { noise_before_reply; }
scenario_udp_error() { noise_before_reply; }

# Every reply carries a record-route option (a 28-byte IP header): a raw
# socket gets the header as received, a datagram socket only the ICMP
# part. Each must count all ten.
scenario_ip_options_reply() {
  responder_start --ip-options 0707040000000000
  watch_headers_start
  probe_default
  watch_headers_expect 0 10 28
  expect_series status=available loss_rate=0 received=10 note= avg_latency_ms\<=20
  expect_requests 10
}

# As icmp_error, with every packet the responder sends carrying IP options
# (no-operations, a 24-byte header): the two errors still end their waits
# at once, the eight replies count.
scenario_ip_options_error() {
  responder_start --ip-options 01010101 --at 4=unreach:1 --at 7=exceeded \
    --error-src 198.51.100.1
  watch_headers_start
  probe_default
  watch_headers_expect 0 8 24
  watch_headers_expect 3 1 24
  watch_headers_expect 11 1 24
  expect_series status=unstable loss_rate=20 received=8 note=
  expect_elapsed 0 800
}

# Each request first gets a destination unreachable that quotes its
# identifier and sequence but another destination (or, seen only by a
# raw socket, another source), then its reply 40 ms later; request 4 gets
# only the error. The error is about some other packet: it ends no wait,
# and the replies that follow count.
error_about_other_packet() {
  stray=${SCENARIO//_/-}
  responder_start --default "$stray+reply@40" --at 4="$stray" --error-src 198.51.100.1
  probe_default
  expect_series status=unstable loss_rate=10 received=9 note= \
    avg_latency_ms\>=40 avg_latency_ms\<=60
  expect_elapsed 1300 3000
}
scenario_other_dst_error() { error_about_other_packet; }
scenario_other_src_error() { error_about_other_packet; }

# Three runs never start at the same sequence number, nor at the same
# distance from their identifier (which two runs with the same
# identifier would then share).
scenario_first_sequence() {
  responder_start
  for _ in 1 2 3; do probe_default; done
  expect_requests 30
  firsts=$(responder_log | sed -n 's/.*request #\([0-9]*\) .* id=\([0-9]*\) seq=\([0-9]*\) .*/\1 \2 \3/p' |
    awk '$1 % 10 == 1 { print $3, ($3 - $2 + 65536) % 65536 }')
  echo "first sequence numbers, and their distance from the identifier:" "${firsts//$'\n'/, }"
  [ "$(cut -d' ' -f1 <<<"$firsts" | sort -u | wc -l)" -eq 3 ] ||
    fail "runs started at the same sequence number"
  [ "$(cut -d' ' -f2 <<<"$firsts" | sort -u | wc -l)" -eq 3 ] ||
    fail "runs started at the same distance from their identifier"
}

# Held 300 ms just before it attaches its filter, under a flood of other
# processes' echo replies and errors, then answered after 50 ms: the
# flood neither reaches nor wakes it, what queued in that moment
# included. A few reads and wake-ups a request, no more.
scenario_filtered_flood() {
  responder_start --default reply@50 --flood "$FLOOD_RATE" --flood-kinds foreign-reply,foreign-error
  flood_mark
  traced -e trace=setsockopt,ppoll,recvmsg -e inject=setsockopt:delay_enter=300000:when=3
  probe_default
  expect_flood
  grep -q '^setsockopt(.*SO_ATTACH_FILTER.*(DELAYED)' "$STRACE_LOG" ||
    fail "the probe was not held just before attaching its filter"
  expect_series status=available loss_rate=0 received=10 note=
  for call in ppoll recvmsg; do
    calls=$(grep -c "^$call(" "$STRACE_LOG" || true)
    echo "$call: $calls calls"
    [ "$calls" -le 60 ] || fail "$calls $call calls for 10 requests"
  done
}

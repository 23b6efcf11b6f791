# shellcheck shell=bash
# Sets variables that other helpers read.
# shellcheck disable=SC2034
# Load: many probes at once, round trips held to their floor under stalls
# and under valgrind.

# MANY_PROBES probes (100 unless set) at once on the same source and
# target, answered by the kernel; the responder only records every
# request it sees. No (identifier, sequence) pair may go out twice, and
# every probe prints its whole line. Replies may go missing now and then
# with raw sockets under this load, so the counts are checked loosely.
scenario_many_probes() {
  n=${MANY_PROBES:-100}
  responder_start --default drop --rcvbuf $((32 << 20))
  kernel_echo on
  start_many "$n" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
  wait_many
  received=0
  for ((i = 1; i <= n; i++)); do
    [ "$(cat "$MANY_DIR/status.$i")" = 0 ] || fail "probe $i: exit status $(cat "$MANY_DIR/status.$i")"
    [ ! -s "$MANY_DIR/err.$i" ] || fail "probe $i: standard error: $(cat "$MANY_DIR/err.$i")"
    REPORT=$MANY_DIR/out.$i
    expect_series note=
    received=$((received + $(grep -o '"received":[0-9]*' "$REPORT" | cut -d: -f2)))
  done
  echo "$n probes in $MANY_MS ms: $received of $((n * 10)) replies received"
  expect_requests $((n * 10))
  pairs=$(responder_log | grep -o 'request #.* id=[0-9]* seq=[0-9]*' | sed 's/.* id=/id=/')
  echo "requests: $(cut -d' ' -f1 <<<"$pairs" | sort -u | wc -l) identifiers," \
    "$(sort -u <<<"$pairs" | wc -l) (identifier, sequence) pairs"
  reused=$(sort <<<"$pairs" | uniq -d)
  [ -z "$reused" ] || fail "$(wc -l <<<"$reused") (identifier, sequence) pairs went out twice: $(head -5 <<<"$reused" | tr '\n' ' ')"
  [ "$received" -ge $((n * 10 * 99 / 100)) ] || fail "only $received of $((n * 10)) replies received"
}

# Every reply 40 ms after its request: no round trip may come out below
# that, with the probe held 20 ms after each wake-up and read, or run
# under valgrind, where reading a clock is a system call: once as it is,
# once with every 5th reading held 15 ms, which parts the two clocks'
# readings of a conversion (a stamp converted with the real-time clock
# read late lands early).
rtt_floor() {
  responder_start --default reply@40 --realtime
  if [ "$SCENARIO" = rtt_floor_held ]; then
    traced -e trace=ppoll,recvmsg -e inject=ppoll:delay_exit=20000 -e inject=recvmsg:delay_exit=20000
    runs=(held)
  else
    under_valgrind
    runs=(plain clock_stall)
  fi
  for run in "${runs[@]}"; do
    if [ "$run" = clock_stall ]; then
      traced -e trace=clock_gettime -e inject=clock_gettime:delay_exit=15000:when=3+5
    fi
    probe_default
    [ "$run" = plain ] || expect_traced DELAYED
    expect_series status=available loss_rate=0 received=10 note= \
      avg_latency_ms\>=40 avg_latency_ms\<=60 jitter_ms\<=10
  done
}
scenario_rtt_floor_held() { rtt_floor; }
scenario_rtt_floor_valgrind() { rtt_floor; }

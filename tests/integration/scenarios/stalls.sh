# shellcheck shell=bash
# Sets variables that other helpers read.
# shellcheck disable=SC2034
# Stalls and the wait's edges: the probe held around a request, answers past
# their deadline or unread at it, wake-ups that answer nothing, errors queued
# beside replies or pending on the socket.

# The probe loses the processor around one request on a perfect path
# (the kernel's own echo replies, microseconds): the round trip runs from
# the request's departure to the answer's arrival, and an answer that
# arrived in time counts however late the probe reads it. strace holds
# the probe 300 ms before its 3rd request goes out, 1.2 s after its 1st
# went out (where nothing else on the host asks for receive stamps, the
# kernel turns them on a moment after the probe's socket asks: the 1st
# answer must be stamped all the same), 1.2 s between the 3rd wake-up and
# the reads that follow, or 1.2 s before each of three reads in a row (the
# 7th to the 9th: at least one of them reads an answer, however many reads
# a request takes).
stall_around_request() {
  count_sends_before_echo
  case $SCENARIO in
    stall_before_send) stall=300 inject=sendto:delay_enter=300000:when=$((SEND_BASE + 3)) ;;
    stall_after_send) stall=1200 inject=sendto:delay_exit=1200000:when=$((SEND_BASE + 1)) ;;
    stall_after_wakeup) stall=1200 inject=ppoll:delay_exit=1200000:when=3 ;;
    stall_before_read) stall=3600 inject=recvmsg:delay_enter=1200000:when=7..9 ;;
  esac
  kernel_echo on
  # The reads too, so that a failure shows the stamps the answers carried.
  traced -e trace="${inject%%:*},recvmsg" -e inject="$inject"
  probe_default
  expect_traced DELAYED
  expect_series status=available loss_rate=0 received=10 note= avg_latency_ms\<=5 jitter_ms\<=5
  expect_elapsed "$stall" $((stall + 2000))
}
scenario_stall_before_send() { stall_around_request; }
scenario_stall_after_send() { stall_around_request; }
scenario_stall_after_wakeup() { stall_around_request; }
scenario_stall_before_read() { stall_around_request; }

# The 3rd request's reply comes 1100 ms after it, past its deadline: not
# counted, and not when the probe, held 1.5 s right after sending it,
# reads it before the next request either. The same stall with the reply
# after 900 ms: counted, with its 900 ms.
late_reply_held() {
  when=1100
  [ "$SCENARIO" = stalled_answer_in_time ] && when=900
  SEND_BASE=0
  [ "$SCENARIO" = late_answer ] || count_sends_before_echo
  responder_start --at 3=reply@$when --realtime
  if [ "$SCENARIO" != late_answer ]; then
    traced -e trace=sendto,recvmsg -e inject=sendto:delay_exit=1500000:when=$((SEND_BASE + 3))
  fi
  probe_default
  [ "$SCENARIO" = late_answer ] || expect_traced DELAYED
  if [ "$when" -lt 1000 ]; then
    expect_series status=unstable loss_rate=0 received=10 note= \
      avg_latency_ms\>=90 avg_latency_ms\<=120 jitter_ms\>=880 jitter_ms\<=999
  else
    expect_series status=unstable loss_rate=10 received=9 note= avg_latency_ms\<=20 jitter_ms\<=50
  fi
  expect_requests 10
}
scenario_late_answer() { late_reply_held; }
scenario_late_answer_stalled() { late_reply_held; }
scenario_stalled_answer_in_time() { late_reply_held; }

# The 1st request's reply comes after 40 ms; strace holds the probe 1.2 s
# on its way out of its first ppoll, which the request's transmit stamp
# ends at once. The deadline passes with the reply unread: it arrived in
# time, so it counts, with its 40 ms.
scenario_unread_at_deadline() {
  responder_start --at 1=reply@40 --realtime
  traced -e trace=ppoll,recvmsg -e inject=ppoll:delay_exit=1200000:when=1
  probe_default
  expect_traced DELAYED
  expect_series status=available loss_rate=0 received=10 note= jitter_ms\>=38 jitter_ms\<=60
  expect_elapsed 1200 3200
}

# Request 4 is never answered, but replies with its identifier and
# another sequence number wake the probe every 50 ms until 850 ms after
# it and again from 1400 ms to 2500 ms: its wait still ends at 1000 ms.
scenario_woken_to_deadline() {
  stream=wrong-seq
  for ms in $(seq 50 50 850) $(seq 1400 50 2500); do stream+="+wrong-seq@$ms"; done
  responder_start --at 4="$stream" --realtime
  probe_default
  expect_series status=unstable loss_rate=10 received=9 note=
  expect_elapsed 1000 1300
}

# Request 4 is never answered; destination unreachable quoting it comes
# when request 5 arrives, 40 ms before that one's reply. It is about the
# earlier request: request 5's wait goes on and its reply counts.
scenario_stale_error() {
  responder_start --at 4=unreach@next --at 5=reply@40 --error-src 198.51.100.1
  probe_default
  expect_series status=unstable loss_rate=10 received=9 note=
  expect_elapsed 1000 2500
}

# From request 4 on, which goes unanswered, the socket holds a pending
# error with nothing queued behind it (the preload shim keeps it there,
# as the kernel does when it could not queue the error's record): poll
# reports it at once, so left unread it would wake the wait again and
# again up to its deadline. It is read at the first wake-up.
scenario_pending_error_alone() {
  responder_start --at 4=drop
  refusing pending_error
  probe_default
  expect_series status=unstable loss_rate=10 received=9 note=
  expect_elapsed 1000 1500
  wakeups=$(grep -c '^ppoll POLLERR' "$REFUSED_LOG" || true)
  echo "wake-ups while the pending error stood: $wakeups"
  if [ "$wakeups" -lt 1 ] || [ "$wakeups" -gt 2 ]; then
    fail "$wakeups wake-ups while the pending error stood"
  fi
}

# Host or network unreachable, or a redirect, quoting each request 20 ms
# after its reply (after the probe has read the reply: arriving with it,
# the error would be returned and cleared by the read), and the probe
# held 200 ms before each next send, so that the ICMP message has surely
# arrived by then: a datagram socket has it as a pending error, which
# must cost no request.
error_after_each_reply() {
  noise=unreach:1
  [ "$SCENARIO" = net_error_after_reply ] && noise=unreach:0
  [ "$SCENARIO" = redirect_after_reply ] && noise=redirect
  count_sends_before_echo
  responder_start --default "reply+$noise@20" --error-src 198.51.100.1
  traced -e trace=sendto -e inject=sendto:delay_enter=200000:when=$((SEND_BASE + 2))..$((SEND_BASE + 10))
  probe_default
  expect_traced DELAYED
  expect_series status=available loss_rate=0 received=10 note= avg_latency_ms\<=20
  expect_requests 10
}
scenario_error_after_reply() { error_after_each_reply; }
scenario_net_error_after_reply() { error_after_each_reply; }
scenario_redirect_after_reply() { error_after_each_reply; }

# Every reply followed at once by network unreachable quoting the same
# request, 20 ms after it, and the probe held 5 ms after each wake-up, so
# that it reads its transmit stamp alone and then finds the two answers
# queued. The reply was received first: every request counts. Then the
# same with replies read without their receive stamps (the preload shim
# takes them out, as before the kernel's receive stamping comes on):
# which came first cannot be told, and the reply still counts.
scenario_error_behind_reply() {
  responder_start --default reply@20+unreach:0@20 --error-src 198.51.100.1
  for stamps in kernel none; do
    traced -e trace=ppoll -e inject=ppoll:delay_exit=5000
    [ "$stamps" = kernel ] || refusing rx_stamps
    probe_default
    expect_traced DELAYED
    expect_series status=available loss_rate=0 received=10 note=
    plain_runs
  done
  grep -q '^recvmsg without receive stamp' "$REFUSED_LOG" ||
    fail "the shim did not take the receive stamps away"
  expect_requests 20
}

# The 3rd request gets its reply at 600 ms and host unreachable quoting
# it at 610 ms, the 6th the same two the other way round; each time the
# probe is stopped from the moment it sleeps waiting (its transmit stamp
# read) until both have arrived. The one the kernel received first
# decides: the 3rd counts (600 ms), the 6th is lost, and the pending
# error costs neither the 4th nor the 7th request.
scenario_reply_and_error_queued() {
  count_sends_before_echo
  responder_start --at 3=reply@600+unreach:1@610 --at 6=unreach:1@600+reply@610 \
    --error-src 198.51.100.1
  traced -e trace=sendto,ppoll,recvmsg
  run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
  for n in 3 6; do
    asleep_after sendto $((SEND_BASE + n))
    probe_signal STOP
    ! responder_log | grep -q "sent .* to #$n " || fail "the probe was stopped only after an answer to request $n"
    responder_sent "reply to #$n" && responder_sent "unreach:1 to #$n"
    sleep 0.05  # one veth hop
    probe_signal CONT
  done
  wait_probe
  expect_series status=unstable loss_rate=10 received=9 note= \
    avg_latency_ms\>=66 avg_latency_ms\<=90 jitter_ms\>=590 jitter_ms\<=650
  expect_requests 10
}

# The firewall refuses the 3rd request (added while the probe is held
# before sending it, removed while it is held before the 4th); the 4th
# is answered after 1100 ms, past its deadline, and read while the probe
# is held 1.5 s after sending it. The kernel numbers the refused send's
# transmit stamp all the same; matched to the wrong requests, the stamps
# would leave the 4th timed from the end of the hold, its late answer
# counted.
scenario_firewall_refused() {
  count_sends_before_echo
  responder_start --at 3=reply@1100 --realtime
  traced -e trace=sendto,recvmsg \
    -e inject=sendto:delay_enter=1000000:delay_exit=1500000:when=$((SEND_BASE + 3))..$((SEND_BASE + 4))
  run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
  stalled_at sendto $((SEND_BASE + 3))
  firewall on
  stalled_at sendto $((SEND_BASE + 4))
  firewall off
  wait_probe
  [ "$(failed_sends EPERM)" -eq 1 ] || fail "$(failed_sends EPERM) sends refused, expected 1"
  expect_series status=unstable loss_rate=20 received=8 note= avg_latency_ms\<=20 jitter_ms\<=50
  expect_requests 9
}

# stepping_probe STEP_NS SHIM_SETTINGS...: runs the probe once with the shim
# set to step by STEP_NS (KPI_STEP_HOLD_MS=..., KPI_STEP_DELAY_MS=...), and
# checks that it stepped.
stepping_probe() {
  local step=$1
  stepping "$@"
  probe_default
  plain_runs
  grep -qx "stepped $step ns at echo request 5" "$STEPPED_LOG" ||
    fail "the clock was not stepped: $(cat "$STEPPED_LOG")"
}

# The real-time clock set while the series runs, as the process sees it
# (clock_step_shim.c): STEP_NS nanoseconds at the 5th request, half-way
# through a hold of HOLD_MS right after its send (0: just before it goes
# out, nothing held). On a perfect path (the kernel's echo replies) every
# answer came within microseconds of its request, and counts with that,
# whatever the clock did and whenever the probe reads it.
clock_stepped() {  # STEP_NS HOLD_MS
  kernel_echo on
  stepping_probe "$1" KPI_STEP_HOLD_MS="$2"
  expect_series status=available loss_rate=0 received=10 note= avg_latency_ms\<=5 jitter_ms\<=5
  if [ "$2" -gt 0 ]; then
    expect_elapsed "$2" $(($2 + 2000))
  else
    expect_elapsed 0 2000
  fi
}

# The same step between a request's own two stamps: 20 ms after the 5th
# request went out, its reply coming 40 ms after it (the responder's), read
# at once. A step larger than that request's wait so far can only have come
# between the two stamps: the round trip is exact (40 ms). One that both
# sides fit (-30 ms) cannot be told from a step after the answer: the stamps'
# own difference counts, 30 ms short: the average 3 ms lower, the jitter 30.
clock_stepped_between() {  # STEP_NS AVG_MIN AVG_MAX JITTER_MAX
  responder_start --default reply@40 --realtime
  stepping_probe "$1" KPI_STEP_DELAY_MS=20
  expect_series status=available loss_rate=0 received=10 note= \
    avg_latency_ms\>="$2" avg_latency_ms\<="$3" jitter_ms\<="$4"
  expect_requests 10
}
scenario_stall_clock_ahead() { clock_stepped 2000000000 1200; }
scenario_stall_clock_back() { clock_stepped -2000000000 1200; }
scenario_stall_clock_hour() { clock_stepped 3600000000000 1200; }
scenario_stall_clock_nudge() { clock_stepped -30000000 1200; }
scenario_stall_clock_at_send() { clock_stepped 2000000000 0; }
scenario_stall_clock_back_at_send() { clock_stepped -2000000000 0; }
scenario_stall_clock_ahead_between() { clock_stepped_between 2000000000 40 45 10; }
scenario_stall_clock_back_between() { clock_stepped_between -2000000000 40 45 10; }
scenario_stall_clock_nudge_between() { clock_stepped_between -30000000 36 39 35; }

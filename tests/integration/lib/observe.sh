# shellcheck shell=bash
# Observers: what strace logged, where the probe is held, its /proc entries
# while it is held there, what the responder sent and what reached the probe
# host. Sourced by run_test.sh after lib/run.sh.
#
#   strace_log                  what strace logged, if anything
#   expect_traced WORD          strace did tamper with a call: its log marks
#                               one DELAYED or INJECTED
#   failed_sends ERRNO          sends that strace logged as failed so
#   stalled_at CALL N [exit]    waits until the probe is held at the entry of
#                               its Nth CALL (the traced CALLs only), or on
#                               its way out of it (strace's delay_exit)
#   still_held WHAT             the probe has not moved on since stalled_at
#                               found it held (WHAT was done in time)
#   asleep_after CALL N         waits until the probe, past its Nth CALL and
#                               a read after it, sleeps in ppoll (the traced
#                               calls must include recvmsg and ppoll)
#   probe_signal SIG            sends SIG to the probe (STOP, CONT)
#   expect_proc WHEN KEY=HEX... lines of the running probe's /proc/PID/status
#   expect_ids WHEN UID GID     its real, effective, saved and file system
#                               user and group ids
#   responder_sent WHAT         waits until the responder has sent WHAT
#   watch_headers_start, watch_headers_expect TYPE N MIN   (see there)

# What strace logged, if the probe ran under it (for a failure's report).
strace_log() {
  if [ -n "${STRACE_LOG:-}" ] && [ -s "$STRACE_LOG" ]; then
    echo "--- strace log"
    cat "$STRACE_LOG"
  fi
  return 0
}

expect_traced() {
  grep -q "($1)" "$STRACE_LOG" ||
    fail "strace did not tamper with any call (no $1 in its log): $(cat "$STRACE_LOG")"
  echo "strace: $(grep -c "($1)" "$STRACE_LOG") call(s) $1"
}

# strace writes a call's entry when it stops there and the rest of the line
# when the call has returned, before any delay on its way out, so the log's
# last line, unfinished, is the call the probe is held at (and finished, the
# one it is held after).
STALLED_LINE=
held_at() {
  local call=$1 n=$2 at=$3 seen last finished
  seen=$(grep -c "^$call(" "$STRACE_LOG" || true)
  if [ "$seen" -ge "$n" ]; then
    last=$(tail -n 1 "$STRACE_LOG")
    finished=no
    [[ $last == *") = "* ]] && finished=yes
    [ "$seen" -eq "$n" ] && [[ $last == "$call("* ]] || finished=past
    STALLED_LINE=$last
    case $at:$finished in
      entry:no | exit:yes) return 0 ;;
      exit:no) ;; # still held at its entry
      *) fail "the probe went past its $call call #$n unheld: $(cat "$STRACE_LOG")" ;;
    esac
  fi
  kill -0 "$PROBE_JOB" 2>/dev/null || fail "the probe ended before its $call call #$n"
  return 1
}

stalled_at() {
  wait_until 30 held_at "$1" "$2" "${3:-entry}" ||
    fail "the probe did not reach its $1 call #$2 within 30 s"
}

still_held() {
  [ "$(tail -n 1 "$STRACE_LOG")" = "$STALLED_LINE" ] ||
    fail "the probe moved on before $1: $(cat "$STRACE_LOG")"
}

# A ppoll that only returns what is already queued is logged unfinished for
# a moment too: the same unfinished line must be the last twice, 0.1 s apart.
sleeping_after() {
  local call=$1 n=$2 after last
  after=$(awk -v call="$call(" -v n="$n" 'index($0, call) == 1 { seen++ } seen >= n' "$STRACE_LOG")
  last=$(tail -n 1 <<<"$after")
  if grep -q '^recvmsg(.* = ' <<<"$after" && [[ $last == "ppoll("* && $last != *") = "* ]]; then
    sleep 0.1
    [ "$(tail -n 1 "$STRACE_LOG")" != "$last" ] || return 0
  fi
  kill -0 "$PROBE_JOB" 2>/dev/null || fail "the probe ended before it slept after its $call call #$n"
  return 1
}

asleep_after() {
  wait_until 6 sleeping_after "$1" "$2" || fail "the probe did not sleep after its $1 call #$2 within 6 s"
}

probe_signal() {
  local pid
  pid=$(probe_pid) || fail "no probe process to send SIG$1"
  kill -s "$1" "$pid"
}

expect_proc() {
  local when=$1 pid status item key want got shown=()
  shift
  pid=$(probe_pid) || fail "no probe process to look at $when"
  status=$(cat "/proc/$pid/status") || fail "cannot read /proc/$pid/status"
  for item in "$@"; do
    key=${item%%=*} want=${item#*=}
    got=$(awk -v key="$key:" '$1 == key { print $2 }' <<<"$status")
    [ -n "$got" ] || fail "no $key in /proc/$pid/status"
    [ $((16#$got)) -eq $((16#$want)) ] || fail "$key of the probe $when is $got, expected $want"
    shown+=("$key=$got")
  done
  echo "probe $when: ${shown[*]}"
}

expect_ids() {
  local when=$1 uid=$2 gid=$3 pid status key want line
  pid=$(probe_pid) || fail "no probe process to look at $when"
  status=$(cat "/proc/$pid/status") || fail "cannot read /proc/$pid/status"
  for key in Uid Gid; do
    want=$uid
    [ "$key" = Gid ] && want=$gid
    line=$(awk -v key="$key:" '$1 == key { print $2, $3, $4, $5 }' <<<"$status")
    [ "$line" = "$want $want $want $want" ] ||
      fail "$key (real, effective, saved, file system) of the probe $when: $line, expected $want in each"
  done
  echo "probe $when: every user id $uid, every group id $gid"
}

# Sends that strace logged as failed with ERRNO.
failed_sends() { grep -c "^sendto(.* = -1 $1 " "$STRACE_LOG" || true; }

# Waits until the responder has sent WHAT ("reply to #3").
responder_has_sent() { responder_log | grep -q "sent $1 "; }

responder_sent() {
  wait_until 6 responder_has_sent "$1" || fail "the responder did not send $1 within 6 s"
}

# watch_headers_start: records the type and IPv4 header length of every echo
# reply and ICMP error that the probe host's kernel hands to a raw socket.
# watch_headers_expect TYPE N MIN: N or more of TYPE arrived, each with a
# header of MIN bytes or more, so the options the responder sent did reach
# the probe host intact.
watch_headers_start() {
  ip netns exec "$PROBE_NS" "$PYTHON" -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
print("ready", flush=True)
while True:
    p = s.recv(65535)
    ihl = (p[0] & 15) * 4
    if len(p) > ihl and p[ihl] in (0, 3, 11):
        print(p[ihl], ihl, flush=True)
' >"$NETNS_WORK/headers" {NETNS_LOCK_FD}>&- &
  WATCH_PID=$!
  wait_until 5 grep -qx ready "$NETNS_WORK/headers" || fail "header watch did not start"
}

watch_headers_expect() {
  sleep 0.2  # the last packet reaches the watch a moment after the probe
  kill "$WATCH_PID" 2>/dev/null || true
  wait "$WATCH_PID" 2>/dev/null || true
  local seen short
  seen=$(awk -v t="$1" '$1 == t' "$NETNS_WORK/headers" | wc -l)
  short=$(awk -v t="$1" -v min="$3" '$1 == t && $2 < min' "$NETNS_WORK/headers" | wc -l)
  echo "ICMP type $1 at the probe host: $seen, $short with a header under $3 bytes"
  [ "$seen" -ge "$2" ] || fail "only $seen ICMP type $1 packets reached the probe host"
  [ "$short" -eq 0 ] || fail "$short ICMP type $1 packets arrived without their options"
}

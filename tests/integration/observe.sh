# shellcheck shell=bash
# Sets variables that run_test.sh reads (PROBE_WRAPPER, REPORT, MANY_MS).
# shellcheck disable=SC2034
# Helpers of run_test.sh for scenarios that act on the probe from outside
# while it runs: stall it at a chosen system call with strace's delay and
# error injection, read its /proc entries while it is held there, start many
# probes at once. Sourced after netns.sh; uses run_test.sh's run_probe,
# as_nobody and fail.
#
#   traced STRACE_ARGS...       the next run_probe runs the probe under
#                               strace with these arguments (none may hold a
#                               space), logging the traced calls to STRACE_LOG
#   traced_setuid STRACE_ARGS...  the same for a setuid-root copy of the probe
#                               run as nobody (PROBE_MODE=4755)
#   expect_traced WORD          strace did tamper with a call: its log marks
#                               one DELAYED or INJECTED
#   strace_log                  what strace logged, if anything
#   count_sends_before_echo     sets SEND_BASE, the sendto calls the probe
#                               makes before its first echo request,
#                               ASK_BASE, its recvfrom calls before it:
#                               while nothing changes, request N's look for
#                               news of a change is recvfrom #ASK_BASE-1+N,
#                               and QUESTION_BASE, its write calls before
#                               it: the questions that the first request
#                               after a change asks are write
#                               #QUESTION_BASE+1 onwards (the address's
#                               interface, then the route)
#   refusing WHAT               the next run_probe runs the probe (under any
#                               tracer set before) with the preload shim
#                               refusing WHAT (refuse_shim.c); REFUSED_LOG
#                               lists each call it refused
#   run_probe_async ARGS...     run_probe in the background
#   wait_probe                  waits for it; fails as run_probe would have
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
#   start_many N ARGS...        N probes with these arguments, all released
#                               at once; wait_many waits for every one

STRACE_LOG=
PROBE_JOB=

traced() {
  command -v strace >/dev/null || fail "strace is not installed (scripts/install-deps.sh test)"
  STRACE_LOG=$NETNS_WORK/strace.log
  # Written by strace, which runs as the probe's user.
  : >"$STRACE_LOG"
  chown nobody "$STRACE_LOG"
  PROBE_WRAPPER="strace -qq -o $STRACE_LOG $*"
  PROBE_SWITCH=
}

# The kernel ignores the setuid bit of a program started under a tracer
# without privilege, so strace stays root here and starts the probe as nobody
# itself, instead of setpriv starting strace as nobody.
traced_setuid() {
  traced -u nobody "$@"
  PROBE_SWITCH=tracer
}

# strace counts every call of a kind, and the probe may use sendto for more
# than its echo requests. One run answered by the responder host's kernel,
# before responder_start so that the responder sees none of it, tells how
# many come before the first echo request (an ICMP message of type 8, code
# 0), how many recvfrom calls: route netlink answers read (the way out found
# and the first request's route checked), the first request's look for news
# and, on a raw socket, what queued ahead of its filter emptied; and how
# many write calls: route netlink questions.
count_sends_before_echo() {
  kernel_echo on
  traced -e trace=sendto,recvfrom,write
  probe_default
  read -r SEND_BASE ASK_BASE QUESTION_BASE < <(awk '/^sendto\([0-9]+, "\\10\\0/ {
      print sends + 0, asks + 0, questions + 0; exit }
    /^sendto\(/ { sends++ } /^recvfrom\(/ { asks++ } /^write\(/ { questions++ }' "$STRACE_LOG") ||
    fail "no echo request among the probe's sendto calls: $(cat "$STRACE_LOG")"
  echo "before the first echo request: $SEND_BASE sendto calls, $ASK_BASE route netlink reads," \
    "$QUESTION_BASE route netlink questions"
  PROBE_WRAPPER=
}

refusing() {
  local shim=${REFUSE_SHIM:-$(dirname "$PROBE_BIN")/tests/libketrova_refuse_shim.so} asan
  [ -f "$shim" ] || fail "no preload shim at $shim (build the target ketrova_refuse_shim)"
  # A copy beside the probe's, where nobody can read it (the build tree may
  # be in a directory that only its owner enters).
  install -m 644 "$shim" "$NETNS_WORK/refuse_shim.so"
  shim=$NETNS_WORK/refuse_shim.so
  # AddressSanitizer's runtime must be the first library loaded (it checks).
  asan=$(ldd "$PROBE_BIN" | awk '$1 ~ /^libasan\.so/ { print $3 }')
  REFUSED_LOG=$NETNS_WORK/refused
  : >"$REFUSED_LOG"
  chmod 666 "$REFUSED_LOG"
  PROBE_WRAPPER+=" env LD_PRELOAD=${asan:+$asan:}$shim KPI_REFUSE=$1 KPI_REFUSE_LOG=$REFUSED_LOG"
}

# What strace logged, if the probe ran under it (for a failure's report).
strace_log() {
  if [ -n "$STRACE_LOG" ] && [ -s "$STRACE_LOG" ]; then
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

# What the background run_probe prints is shown when it is waited for.
run_probe_async() {
  (run_probe "$@") >"$NETNS_WORK/async.out" 2>&1 &
  PROBE_JOB=$!
}

wait_probe() {
  local status=0
  wait "$PROBE_JOB" || status=$?
  PROBE_JOB=
  cat "$NETNS_WORK/async.out"
  # What run_probe set, in the subshell that ran it.
  REPORT=$NETNS_WORK/report
  [ "$status" -eq 0 ] || fail "the probe's run failed (see above)"
}

# The probe's process on the probe host (strace is there too).
probe_pid() {
  local bin=$PROBE_BIN pid
  [ "$PROBE_USER" = root ] || bin=$NETNS_WORK/ketrova-probe
  for pid in $(ip netns pids "$PROBE_NS" 2>/dev/null); do
    if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$bin" ]; then
      echo "$pid"
      return 0
    fi
  done
  return 1
}

# strace writes a call's entry when it stops there and the rest of the line
# when the call has returned, before any delay on its way out, so the log's
# last line, unfinished, is the call the probe is held at (and finished, the
# one it is held after).
STALLED_LINE=
stalled_at() {
  local call=$1 n=$2 at=${3:-entry} seen last finished i
  for ((i = 0; i < 600; i++)); do
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
    sleep 0.05
  done
  fail "the probe did not reach its $call call #$n within 30 s"
}

still_held() {
  [ "$(tail -n 1 "$STRACE_LOG")" = "$STALLED_LINE" ] ||
    fail "the probe moved on before $1: $(cat "$STRACE_LOG")"
}

# A ppoll that only returns what is already queued is logged unfinished for
# a moment too: the same unfinished line must be the last twice, 0.1 s apart.
asleep_after() {
  local call=$1 n=$2 after last i
  for ((i = 0; i < 300; i++)); do
    after=$(awk -v call="$call(" -v n="$n" 'index($0, call) == 1 { seen++ } seen >= n' "$STRACE_LOG")
    last=$(tail -n 1 <<<"$after")
    if grep -q '^recvmsg(.* = ' <<<"$after" && [[ $last == "ppoll("* && $last != *") = "* ]]; then
      sleep 0.1
      [ "$(tail -n 1 "$STRACE_LOG")" != "$last" ] || return 0
    fi
    kill -0 "$PROBE_JOB" 2>/dev/null || fail "the probe ended before it slept after its $call call #$n"
    sleep 0.02
  done
  fail "the probe did not sleep after its $call call #$n within 6 s"
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

MANY_DIR=
MANY_PIDS=()

start_many() {
  local n=$1 i lock lockfd bin=$PROBE_BIN cmd=()
  shift
  MANY_DIR=$NETNS_WORK/many
  mkdir -p "$MANY_DIR"
  if [ "$PROBE_USER" != root ]; then
    chmod 755 "$NETNS_WORK"
    install -m 755 "$PROBE_BIN" "$NETNS_WORK/ketrova-probe"
    bin=$NETNS_WORK/ketrova-probe
    read -ra cmd <<<"$(as_nobody)"
  fi
  # Every probe waits for a shared lock on this file while the test holds it
  # exclusively, so that they all start as soon as the test lets go.
  lock=$MANY_DIR/lock
  exec {lockfd}>"$lock"
  flock -x "$lockfd"
  MANY_PIDS=()
  for ((i = 1; i <= n; i++)); do
    (
      : >"$MANY_DIR/waiting.$i"
      status=0
      flock -s "$lock" nsenter --net="/run/netns/$PROBE_NS" "${cmd[@]}" "$bin" "$@" \
        >"$MANY_DIR/out.$i" 2>"$MANY_DIR/err.$i" || status=$?
      echo "$status" >"$MANY_DIR/status.$i"
    ) {lockfd}>&- &
    MANY_PIDS+=($!)
  done
  for ((i = 0; i < 600; i++)); do
    [ "$(find "$MANY_DIR" -name 'waiting.*' | wc -l)" -lt "$n" ] || break
    sleep 0.05
  done
  # The last of them on their way into flock.
  sleep 0.2
  MANY_START=${EPOCHREALTIME//[!0-9]/}
  exec {lockfd}>&-
}

wait_many() {
  local pid
  for pid in "${MANY_PIDS[@]}"; do wait "$pid" || true; done
  MANY_PIDS=()
  MANY_MS=$(((${EPOCHREALTIME//[!0-9]/} - MANY_START) / 1000))
}

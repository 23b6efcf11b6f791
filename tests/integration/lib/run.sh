# shellcheck shell=bash
# Sets variables that the scenarios read (REPORT, ELAPSED_MS, PROBE_END, ...).
# shellcheck disable=SC2034
# Running the probe on the probe host.
#
#   use_socket raw|dgram|none   who runs the probe and which ICMP sockets the
#                               probe host admits
#   run_probe ARGS...           one run (see there); probe_default with the
#                               usual source and target
#   run_probe_async ARGS...     run_probe in the background; wait_probe waits
#                               for it and fails as run_probe would have
#   probe_pid                   the running probe's process
#   start_many N ARGS...        N probes at once (see there); wait_many
#
# Per-run options, kept for every run that follows until plain_runs, and
# composed by run_probe in one fixed order whoever set them and when:
#
#   nice (PROBE_NICE) > setpriv as nobody > strace (traced) > the preload
#   shims (refusing, stepping) > valgrind (under_valgrind) > PROBE_WRAPPER from the
#   environment > wrappers (wrapped) > the emulator (PROBE_EMULATOR) > probe
#
#   traced STRACE_ARGS...       under strace with these arguments, logging
#                               the traced calls to STRACE_LOG
#   traced_setuid STRACE_ARGS...  the same for a setuid-root copy run by
#                               nobody: strace stays root and starts it as
#                               nobody itself (PROBE_MODE=4755)
#   refusing WHAT               with the preload shim refusing WHAT
#                               (refuse_shim.c); REFUSED_LOG lists each call
#                               it refused
#   stepping STEP_NS SETTINGS...  with the preload shim that sets the
#                               real-time clock as the probe sees it
#                               (clock_step_shim.c; see there); STEPPED_LOG
#                               says when it stepped
#   under_valgrind              under memcheck
#   wrapped CMD...              through CMD, which execs the probe
#   plain_runs                  none of these
#   count_sends_before_echo     sets SEND_BASE, ASK_BASE and QUESTION_BASE
#                               (see there); ends
#                               with plain_runs

STRACE_LOG=
PROBE_JOB=
RUN_TRACE=()
RUN_SHIMS=()
RUN_SHIM_ENV=()
RUN_VALGRIND=
RUN_WRAP=()
PROBE_SWITCH=

use_socket() {
  local nogroup
  nogroup=$(getent group nogroup | cut -d: -f3)
  case $1 in
    raw) in_probe sysctl -qw net.ipv4.ping_group_range="1 0" ;;
    dgram) in_probe sysctl -qw net.ipv4.ping_group_range="$nogroup $nogroup" ;;
    none) in_probe sysctl -qw net.ipv4.ping_group_range="1 0" ;;
    *) fail "unknown socket kind $1" ;;
  esac
  PROBE_USER=root
  [ "$1" = raw ] || PROBE_USER=nobody
  PROBE_SETPRIV=()
}

traced() {
  needed strace
  STRACE_LOG=$NETNS_WORK/strace.log
  # Written by strace, which runs as the probe's user.
  : >"$STRACE_LOG"
  chown nobody "$STRACE_LOG"
  RUN_TRACE=(strace -qq -o "$STRACE_LOG" "$@")
  PROBE_SWITCH=
}

# The kernel ignores the setuid bit of a program started under a tracer
# without privilege, so strace stays root here and starts the probe as nobody
# itself, instead of setpriv starting strace as nobody.
traced_setuid() {
  needed setuid
  traced -u nobody "$@"
  PROBE_SWITCH=tracer
}

# The preload shims that refusing and stepping load (REFUSE_SHIM and
# CLOCK_STEP_SHIM name others).
refuse_shim() {
  echo "${REFUSE_SHIM:-$(dirname "$PROBE_BIN")/tests/libketrova_refuse_shim.so}"
}
clock_step_shim() {
  echo "${CLOCK_STEP_SHIM:-$(dirname "$PROBE_BIN")/tests/libketrova_clock_step_shim.so}"
}

# A log that the probe, whoever it runs as, writes.
shim_log() {
  : >"$1"
  chmod 666 "$1"
}

refusing() {
  needed shim
  REFUSED_LOG=$NETNS_WORK/refused
  shim_log "$REFUSED_LOG"
  RUN_SHIMS+=("$(refuse_shim)")
  RUN_SHIM_ENV+=("KPI_REFUSE=$1" "KPI_REFUSE_LOG=$REFUSED_LOG")
}

stepping() {
  needed shim
  STEPPED_LOG=$NETNS_WORK/stepped
  shim_log "$STEPPED_LOG"
  RUN_SHIMS+=("$(clock_step_shim)")
  RUN_SHIM_ENV+=("KPI_STEP_NS=$1" "${@:2}" "KPI_STEP_LOG=$STEPPED_LOG")
}

under_valgrind() {
  needed valgrind
  RUN_VALGRIND="valgrind -q --error-exitcode=99"
}

wrapped() { RUN_WRAP=("$@"); }

plain_runs() {
  RUN_TRACE=() RUN_SHIMS=() RUN_SHIM_ENV=() RUN_VALGRIND='' RUN_WRAP=() PROBE_SWITCH=''
}

# The command that runs BIN with the per-run options, in their order, into
# the array PROBE_CMD.
compose_run() {
  local bin=$1 words=() shim shims='' asan
  PROBE_CMD=()
  # PROBE_NICE: run it at that niceness (before any change of user).
  [ -z "${PROBE_NICE:-}" ] || PROBE_CMD=(nice -n "$PROBE_NICE")
  # PROBE_SWITCH=tracer: strace starts the probe as nobody itself.
  if [ "$PROBE_USER" != root ] && [ "${PROBE_SWITCH:-}" != tracer ]; then
    read -ra words <<<"$(as_nobody)"
    PROBE_CMD+=("${words[@]}")
  fi
  PROBE_CMD+=("${RUN_TRACE[@]}")
  local emulator=()
  read -ra emulator <<<"${PROBE_EMULATOR:-}"
  if [ "${#RUN_SHIMS[@]}" -gt 0 ]; then
    # Copies beside the probe's, where nobody can read them (the build tree
    # may be in a directory that only its owner enters).
    for shim in "${RUN_SHIMS[@]}"; do
      install -m 644 "$shim" "$NETNS_WORK/${shim##*/}"
      shims+=${shims:+:}$NETNS_WORK/${shim##*/}
    done
    PROBE_CMD+=(env "${RUN_SHIM_ENV[@]}")
    if [ "${#emulator[@]}" -gt 0 ]; then
      # Loaded into the emulated program, not into the emulator.
      emulator+=(-E "LD_PRELOAD=$shims")
    else
      # AddressSanitizer's runtime must be the first library loaded (it
      # checks).
      asan=$(ldd "$PROBE_BIN" | awk '$1 ~ /^libasan\.so/ { print $3 }' || true)
      PROBE_CMD+=("LD_PRELOAD=${asan:+$asan:}$shims")
    fi
  fi
  read -ra words <<<"$RUN_VALGRIND"
  PROBE_CMD+=("${words[@]}")
  # PROBE_WRAPPER: a command the probe runs under, from the environment
  # (valgrind in scripts/test-sanitizers.sh).
  read -ra words <<<"${PROBE_WRAPPER:-}"
  PROBE_CMD+=("${words[@]}" "${RUN_WRAP[@]}" "${emulator[@]}" "$bin")
}

# run_probe ARGS...: runs the probe on the probe host; leaves its output in
# $REPORT, the wall time in ELAPSED_MS and the moment it ended (seconds on
# CLOCK_MONOTONIC) in PROBE_END. It must exit 0 and write nothing to
# standard error.
run_probe() {
  local bin=$PROBE_BIN
  if [ "$PROBE_USER" != root ]; then
    # nobody may not be able to reach the build tree; give it its own copy
    # (PROBE_MODE: 4755 for a setuid-root install; PROBE_FILECAPS: file
    # capabilities to give it, cap_net_raw+ep as the package does).
    [[ ${PROBE_MODE:-755} == 755 && -z ${PROBE_FILECAPS:-} ]] || needed setuid
    chmod 755 "$NETNS_WORK"
    install -m "${PROBE_MODE:-755}" "$PROBE_BIN" "$NETNS_WORK/ketrova-probe"
    bin=$NETNS_WORK/ketrova-probe
    [ -z "${PROBE_FILECAPS:-}" ] || setcap "$PROBE_FILECAPS" "$bin"
  fi
  compose_run "$bin"
  REPORT=$NETNS_WORK/report
  local status=0 start
  # Into the probe host's network namespace only: "ip netns exec" also gives
  # the process a mount namespace of its own, whose teardown at exit would
  # add milliseconds to the measured end. The probe does not inherit the
  # namespaces' lock.
  # shellcheck disable=SC2153 # set by netns_create
  "$PYTHON" "$HERE/timing.py" run "$NETNS_WORK/times" nsenter --net="/run/netns/$PROBE_NS" \
    "${PROBE_CMD[@]}" "$@" >"$REPORT" 2>"$NETNS_WORK/stderr" {NETNS_LOCK_FD}>&- || status=$?
  read -r start PROBE_END PROBE_ON_CPU PROBE_WAITING PROBE_STOLEN <"$NETNS_WORK/times"
  ELAPSED_MS=$(awk -v a="$start" -v b="$PROBE_END" 'BEGIN { printf "%d", (b - a) * 1000 }')
  local who="$PROBE_USER ${PROBE_SETPRIV[*]}"
  echo "probe $* (as ${who% }): $(cat "$REPORT") in $ELAPSED_MS ms"
  [ "$status" -eq 0 ] || fail "exit status $status"
  [ ! -s "$NETNS_WORK/stderr" ] || fail "standard error: $(cat "$NETNS_WORK/stderr")"
}

probe_default() { run_probe --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"; }

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

# strace counts every call of a kind, and the probe may use sendto for more
# than its echo requests. One run answered by the responder host's kernel,
# before responder_start so that the responder sees none of it, tells how
# many come before the first echo request (an ICMP message of type 8, code
# 0), SEND_BASE; how many recvfrom calls, ASK_BASE: route netlink answers
# read (the way out found and the first request's route checked), the first
# request's look for news of a change (while nothing changes, request N's
# is recvfrom #ASK_BASE-1+N) and, on a raw socket, what queued ahead of its
# filter emptied; and how many write calls, QUESTION_BASE: route netlink
# questions (the first request after a change asks its own from write
# #QUESTION_BASE+1 on: the address's interface, then the route).
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
  plain_runs
}

# start_many N ARGS...: N probes with these arguments (as the socket kind's
# user, with the emulator), all released at once; wait_many waits for every
# one and sets MANY_MS. Each one's output, standard error and exit status
# are in MANY_DIR/{out,err,status}.I.
MANY_DIR=
MANY_PIDS=()

many_waiting() { [ "$(find "$MANY_DIR" -name 'waiting.*' | wc -l)" -ge "$1" ]; }

start_many() {
  local n=$1 i lock lockfd bin=$PROBE_BIN
  shift
  MANY_DIR=$NETNS_WORK/many
  mkdir -p "$MANY_DIR"
  if [ "$PROBE_USER" != root ]; then
    chmod 755 "$NETNS_WORK"
    install -m 755 "$PROBE_BIN" "$NETNS_WORK/ketrova-probe"
    bin=$NETNS_WORK/ketrova-probe
  fi
  compose_run "$bin"
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
      flock -s "$lock" nsenter --net="/run/netns/$PROBE_NS" "${PROBE_CMD[@]}" "$@" \
        >"$MANY_DIR/out.$i" 2>"$MANY_DIR/err.$i" || status=$?
      echo "$status" >"$MANY_DIR/status.$i"
    ) {lockfd}>&- {NETNS_LOCK_FD}>&- &
    MANY_PIDS+=($!)
  done
  wait_until 30 many_waiting "$n" || true
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

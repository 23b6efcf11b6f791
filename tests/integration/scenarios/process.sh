# shellcheck shell=bash
# Sets variables that other helpers read.
# shellcheck disable=SC2034
# The process and its privileges: the socket it may open, the capabilities
# and ids it holds while it runs, set-user-ID and file-capability copies,
# closed standard streams.

# Unprivileged and no datagram ICMP socket admitted: nothing can be opened.
scenario_service_unavailable() {
  use_socket none
  responder_start
  probe_default
  expect status=unavailable loss_rate=100 sent=0 received=0 src_ip="$PROBE_IP" \
    target_ip="$TARGET_IP" note="IcmpCreateFile failed"
  expect_elapsed 0 "$FAST_MS"
  expect_requests 0
}

# nobody with CAP_NET_RAW and nothing else, datagram ICMP sockets not
# admitted: the raw socket works. Without the capability nothing does.
scenario_net_raw_only() {
  PROBE_USER=nobody
  PROBE_SETPRIV=(--inh-caps=-all --ambient-caps=-all --bounding-set=-all --no-new-privs)
  expect_caps 0
  responder_start
  probe_default
  expect status=unavailable sent=0 note="IcmpCreateFile failed"
  PROBE_SETPRIV=("--inh-caps=-all,+net_raw" --ambient-caps=+net_raw
    "--bounding-set=-all,+net_raw" --no-new-privs)
  expect_caps $((1 << 13))
  probe_default
  expect_series status=available loss_rate=0 received=10 note=
  expect_requests 10
}

# nobody without a single capability in any set, not even one it could
# gain by running a program: the datagram socket works all the same.
scenario_no_privilege() {
  PROBE_SETPRIV=(--inh-caps=-all --ambient-caps=-all --bounding-set=-all --no-new-privs)
  expect_caps 0
  responder_start
  probe_default
  expect_series status=available loss_rate=0 received=10 note=
  expect_requests 10
}

# Root over the raw socket; over the datagram socket nobody holding
# CAP_NET_RAW as an ambient capability (what the package's file
# capability gives every user), which that socket does not need.
caps_given_up() {
  if [ "$KIND" = dgram ]; then
    PROBE_SETPRIV=("--inh-caps=-all,+net_raw" --ambient-caps=+net_raw "--bounding-set=-all,+net_raw")
    expect_caps $((1 << 13))
  fi
  count_sends_before_echo
  responder_start
  net_raw=$(printf '%x' $((1 << 13)))
  if [ "$SCENARIO" = caps_during_run ]; then
    # Held at its first socket() (the arguments read, nothing opened yet)
    # and at its 2nd request (the socket open): no capability effective at
    # the first, none at all and no way to gain any at the second.
    traced -e trace=socket,sendto -e inject=socket:delay_enter=3000000:when=1 \
      -e inject=sendto:delay_enter=3000000:when=$((SEND_BASE + 2))
    run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
    stalled_at socket 1
    expect_proc "with its arguments read" CapEff=0 CapPrm="$net_raw" CapInh=0 CapAmb=0 \
      NoNewPrivs=0
    stalled_at sendto $((SEND_BASE + 2))
    expect_proc "during the series" CapEff=0 CapPrm=0 CapInh=0 CapAmb=0 NoNewPrivs=1
    wait_probe
    expect_traced DELAYED
    expect_series status=available loss_rate=0 received=10 note=
    expect_requests 10
    # Arguments that stop the run before any socket: held as it writes its
    # line, it holds nothing effective either, so it gave that up before
    # the arguments were looked at, not on the way to a socket.
    traced -e trace=write -e inject=write:delay_enter=3000000:when=1
    run_probe_async --src-ip 192.0.2.256 --target-ip "$TARGET_IP"
    stalled_at write 1
    expect_proc "with its arguments rejected" CapEff=0 CapPrm="$net_raw" CapInh=0 CapAmb=0
    wait_probe
    expect status=unavailable sent=0 note="invalid --src-ip"
    expect_requests 10
  else
    # Giving up the capabilities fails, or silently does nothing: the
    # probe must not go on with them. The capset that clears every set is
    # the 2nd after a datagram socket, the 3rd after raising CAP_NET_RAW
    # for a raw one; prctl sets no_new_privs and reads it back.
    clear=2
    [ "$KIND" = raw ] && clear=3
    for inject in prctl:error=EPERM prctl:retval=0:when=1 \
      capset:error=EPERM:when=$clear capset:retval=0:when=$clear; do
      traced -e trace=capset,prctl -e inject="$inject"
      probe_default
      expect status=unavailable loss_rate=100 sent=0 received=0 src_ip="$PROBE_IP" \
        target_ip="$TARGET_IP" note="IcmpCreateFile failed"
      expect_traced INJECTED
    done
    expect_requests 0
  fi
}
scenario_caps_during_run() { caps_given_up; }
scenario_caps_fail_closed() { caps_given_up; }

# capset refused at start (a seccomp filter answering EPERM), or skipped
# and claimed done, for root over the raw socket and for a copy with the
# file capability cap_net_raw+ep run by nobody, datagram sockets not
# admitted (strace, privileged, lets the capability take effect), and for
# one with cap_net_raw,cap_net_admin+p (permitted, not effective: a limit
# that looked at the effective set alone would pass it): the
# probe could not be limited, so it opens nothing, not one socket()
# call, and reports "IcmpCreateFile failed"; arguments that stop the run
# still have their own row. Each first uninjected: the same run works,
# over a raw socket.
scenario_start_limit_refused() {
  kernel_echo on
  for who in root nobody permitted; do
    PROBE_USER=root PROBE_FILECAPS=
    [ "$who" = root ] || PROBE_USER=nobody PROBE_FILECAPS=cap_net_raw+ep
    [ "$who" != permitted ] || PROBE_FILECAPS=cap_net_raw,cap_net_admin+p
    for inject in none capset:error=EPERM capset:retval=0:when=1 missing:capset:error=EPERM; do
      args=(-e "trace=socket,capset")
      [ "$inject" = none ] || args+=(-e inject="${inject#missing:}")
      if [ "$who" = root ]; then traced "${args[@]}"; else traced_setuid "${args[@]}"; fi
      if [ "$inject" = none ]; then
        probe_default
        expect_series status=available loss_rate=0 received=10 note=
        grep -q '^socket(AF_INET, SOCK_RAW.* = [0-9]' "$STRACE_LOG" || fail "no raw ICMP socket opened"
        continue
      elif [[ $inject == missing:* ]]; then
        run_probe --target-ip "$TARGET_IP"
        expect status=unavailable sent=0 src_ip= target_ip= note="missing --src-ip"
      else
        probe_default
        expect status=unavailable loss_rate=100 sent=0 received=0 src_ip="$PROBE_IP" \
          target_ip="$TARGET_IP" note="IcmpCreateFile failed"
      fi
      expect_traced INJECTED
      ! grep -q '^socket(' "$STRACE_LOG" || fail "socket() called where the start-up limit failed"
    done
  done
}

# The probe installed setuid root and run by nobody: once its socket is
# open it holds the caller's ids in every column, no capability and no
# way to gain one. Where the user id cannot be given back (the call
# refused, or skipped and claimed done) it offers no service; with the
# group too (setgid root as well).
scenario_setuid_root() {
  nogroup=$(getent group nogroup | cut -d: -f3)
  count_sends_before_echo
  PROBE_USER=nobody PROBE_MODE=4755
  responder_start
  probe_default
  expect_series status=available loss_rate=0 received=10 note=
  traced_setuid -e trace=sendto -e inject=sendto:delay_enter=3000000:when=$((SEND_BASE + 2))
  run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
  stalled_at sendto $((SEND_BASE + 2))
  expect_ids "during the series" 65534 "$nogroup"
  expect_proc "during the series" CapEff=0 CapPrm=0 CapInh=0 CapAmb=0 NoNewPrivs=1
  wait_probe
  expect_series status=available loss_rate=0 received=10 note=
  for inject in 4755:setresuid,setreuid,setuid:error=EPERM 4755:setresuid,setreuid,setuid:retval=0 \
    6755:setresgid,setregid,setgid:error=EPERM 6755:setresgid,setregid,setgid:retval=0; do
    PROBE_MODE=${inject%%:*} inject=${inject#*:}
    traced_setuid -e trace="${inject%%:*}" -e inject="$inject"
    probe_default
    expect status=unavailable loss_rate=100 sent=0 received=0 note="IcmpCreateFile failed"
    expect_traced INJECTED
  done
  expect_requests 20
}

# Started with standard streams closed, and held at each of its writes:
# at every one to a socket (the loopback datagram that waits for receive
# stamps, the route netlink requests; the ICMP socket is open too) the
# closed streams are still closed and no socket is below 3. (A
# sanitizer's runtime writes to pipes of its own, which may take a
# closed stream's descriptor for a moment.)
scenario_closed_streams() {
  responder_start
  for closed in 0 1 2 012; do
    redirect=$(sed 's/[0-9]/& /g; s/0/0<\&-/; s/1/1>\&-/; s/2/2>\&-/' <<<"$closed")
    printf '#!/bin/sh\nexec "$@" %s\n' "$redirect" >"$NETNS_WORK/closed"
    chmod 755 "$NETNS_WORK/closed"
    traced -e trace=write -e inject=write:delay_enter=200000
    wrapped "$NETNS_WORK/closed"
    run_probe_async --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
    seen=0 checked=0
    while kill -0 "$PROBE_JOB" 2>/dev/null; do
      last=$(tail -n 1 "$STRACE_LOG")
      n=$(grep -c '^write(' "$STRACE_LOG" || true)
      fd=${last#write(}
      fd=${fd%%,*}
      if [ "$n" -gt "$seen" ] && [[ $last == "write("* && $last != *") = "* ]] &&
        pid=$(probe_pid) && [[ $(readlink "/proc/$pid/fd/$fd") == socket:* ]]; then
        fds=$(cd "/proc/$pid/fd" && for fd in *; do echo "$fd:$(readlink "$fd")"; done)
        echo "closed $closed, at write #$n:" "${fds//$'\n'/ }"
        while read -r fd; do
          ! grep -v "^$fd:pipe:" <<<"$fds" | grep -q "^$fd:" ||
            fail "descriptor $fd, closed at the start, is open"
        done < <(grep -o '[0-9]' <<<"$closed")
        ! grep -q '^[012]:socket' <<<"$fds" || fail "a socket on a standard stream"
        seen=$n checked=$((checked + 1))
      fi
      sleep 0.03
    done
    wait_probe
    [ "$checked" -ge 2 ] || fail "held at only $checked writes to a socket"
    [[ $closed == *1* ]] || expect_series status=available received=10
  done
}

#!/usr/bin/env bash
# The package under a real systemd: boots a Debian 12 tree (debootstrap,
# made once in build/systemd-root) with systemd as PID 1 in systemd-nspawn,
# with a private network (the container has its loopback, and a veth pair of
# its own that the checks make), installs the amd64 .deb there and checks the
# units: a timer instance that runs, the journal command that gives only
# JSON, the bind-failure row, an interface as the instance (its address
# followed from one run to the next, the bind-failure row when it has none),
# a name that is neither, the timers' fixed seconds of their own, the last
# report in /run/ketrova-probe, the textfile units' metrics, a run stopped
# half-way (no failed unit) and one over its time (failed), and apt-get
# remove with timers enabled and a run in progress (stopped, disabled,
# nothing failed, nothing left behind). About two minutes here, debootstrap aside (once per build
# tree). Run as root:
#
#   scripts/test-systemd.sh [PACKAGE.deb]
#   scripts/test-systemd.sh --tree-only   (only makes the tree, if need be)
#
# (--keep-unit --register=no: nspawn needs no systemd or bus on the host.)
#
# Only debootstrap reaches the network (Debian's mirror, through the
# configured apt sources' host); the probe runs inside the container and
# sends only to its loopback and its own veth pair, and from an address it
# lacks (nothing sent).
set -euo pipefail
cd "$(dirname "$0")/.."
root=build/systemd-root
deb=${1:-}

scripts/install-deps.sh test
if [ ! -x "$root/usr/lib/systemd/systemd" ] || [ ! -x "$root/usr/bin/ip" ]; then
  rm -rf "$root"
  mkdir -p build
  debootstrap --variant=minbase --include=systemd-sysv,dbus,libcap2-bin,jq,iproute2 bookworm \
    "$root" http://deb.debian.org/debian >build/systemd-debootstrap.log
fi
[ "$deb" != --tree-only ] || exit 0
if [ -z "$deb" ]; then
  scripts/package.sh build/systemd-dist amd64 >/dev/null
  deb=build/systemd-dist/ketrova-probe_$(sed -n 's/^project(ketrova-probe VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)_amd64.deb
fi
# One machine ID for every run, so that the timers' fixed delays (derived
# from it and the unit's name) are the same from one run to the next.
echo 4b657472bf7a4c1e9a0d3b5e6f708192 >"$root/etc/machine-id"

# The checks run inside, as a unit started at boot, which powers the
# container off at the end. They print what they check, counted as
# scripts/test-package.sh counts its checks (scripts/checks.sh, copied in),
# into /root/check.log; a command's own output is shown only when its check
# fails.
cp "$deb" "$root/root/ketrova-probe.deb"
cp scripts/checks.sh "$root/root/checks.sh"
cat >"$root/root/check.sh" <<'INSIDE'
#!/bin/bash
exec >/root/check.log 2>&1
source /root/checks.sh
log=/root/command.log
# quietly COMMAND...: its output kept in $log, shown when it fails.
quietly() { "$@" >"$log" 2>&1 || { sed 's/^/  /' "$log"; return 1; }; }
report_lines() { journalctl -b -u "ketrova-probe@$1" -t ketrova-probe -o cat; }

check "dpkg -i: the package installs" quietly dpkg -i /root/ketrova-probe.deb
# The container's loopback is its only network: probe it, and an address
# that it lacks (the bind-failure row).
mkdir -p /etc/ketrova-probe
echo TARGET_IP=127.0.0.1 >/etc/ketrova-probe/127.0.0.1.env
check "systemctl enable --now: the timers of 127.0.0.1 and 192.0.2.10" \
  quietly systemctl enable --now ketrova-probe@127.0.0.1.timer ketrova-probe@192.0.2.10.timer
check "systemctl start: their services run to the end, at once" \
  quietly systemctl start ketrova-probe@127.0.0.1.service ketrova-probe@192.0.2.10.service
check "both timer instances are active" \
  test "$(systemctl list-timers --no-legend 'ketrova-probe@*' | grep -c 'ketrova-probe@.*\.timer')" -eq 2
check "two instances run at once: each leaves its report in /run/ketrova-probe" \
  test -s /run/ketrova-probe/127.0.0.1.json -a -s /run/ketrova-probe/192.0.2.10.json

# --- the timers: a fixed second of their own ------------------------------------
timer_show() { systemctl show -p "$2" --value "ketrova-probe@$1.timer"; }
for instance in 127.0.0.1 192.0.2.10; do
  check "timer $instance: RandomizedDelayUSec=1min, FixedRandomDelay=yes" \
    test "$(timer_show "$instance" RandomizedDelayUSec) $(timer_show "$instance" FixedRandomDelay)" = "1min yes"
done
second() { date -d "$1" +%S; }
next_a=$(timer_show 127.0.0.1 NextElapseUSecRealtime)
next_b=$(timer_show 192.0.2.10 NextElapseUSecRealtime)
echo "  next elapse: 127.0.0.1 at $next_a, 192.0.2.10 at $next_b"
check "the two timers fire at different seconds of the minute" \
  test "$(second "$next_a")" != "$(second "$next_b")"
systemctl restart ketrova-probe@127.0.0.1.timer
check "the delay is fixed: restarted, the timer keeps its second" \
  test "$(second "$(timer_show 127.0.0.1 NextElapseUSecRealtime)")" = "$(second "$next_a")"

# --- the last report on disk -----------------------------------------------------
report=/run/ketrova-probe/127.0.0.1.json
lines=$(report_lines 127.0.0.1)
echo "  $report: $(cat "$report")"
check "$report: one line" test "$(wc -l <"$report")" -eq 1 -a "$(tail -c 1 "$report" | od -An -c | tr -d ' ')" = '\n'
check "$report: a report line of the journal" grep -qxF "$(cat "$report")" <<<"$lines"
echo "  modes: $(stat -c '%a %U %n' /run/ketrova-probe "$report" | tr '\n' ' ')"
check "$report: mode 0644, the directory 0755, both the units' user's" \
  test "$(stat -c '%a %U' "$report" /run/ketrova-probe | tr '\n' ' ')" = "644 ketrova-probe 755 ketrova-probe "
check "$report: readable by another user (nobody)" \
  test "$(setpriv --reuid=nobody --regid=nogroup --clear-groups cat "$report")" = "$(cat "$report")"
# Replaced whole: a new file at each run, and a reader that reads it over and
# over meanwhile finds one whole report line each time.
inode=$(stat -c %i "$report")
reads=/root/reads.log
(while [ ! -e /root/stop-reading ]; do
  if [ -e "$report" ]; then jq -e -c .status <"$report" >/dev/null 2>&1 && echo ok || echo partial; fi
done >"$reads") &
for _ in 1 2 3; do systemctl start ketrova-probe@127.0.0.1.service; done
touch /root/stop-reading
wait
echo "  reads while it was replaced three times: $(grep -c ok "$reads") whole, $(grep -vc ok "$reads") not"
check "$report: replaced (a new inode)" test "$(stat -c %i "$report")" != "$inode"
check "$report: every read while it was replaced was one whole line" \
  test "$(grep -c ok "$reads")" -gt 0 -a "$(grep -vc ok "$reads")" -eq 0
check "/run/ketrova-probe: no temporary file left" \
  test -z "$(find /run/ketrova-probe -name '.*.tmp')"

# The timers' own run: at its second (within AccuracySec=1s), up to two
# minutes away.
epoch() { date -d "$1" +%s 2>/dev/null || echo 0; }
for _ in $(seq 130); do
  [ "$(epoch "$(timer_show 127.0.0.1 LastTriggerUSec)")" -ge "$(epoch "$next_a")" ] && break
  sleep 1
done
last=$(timer_show 127.0.0.1 LastTriggerUSec)
echo "  timer 127.0.0.1 triggered at $last"
late=$(($(epoch "$last") - $(epoch "$next_a")))
check "the timer ran at its own second" test "$late" -ge 0 -a "$late" -le 1
sleep 2

lines=$(report_lines 127.0.0.1)
sed 's/^/  journal: /' <<<"$lines" | tail -3
journalctl -b -u ketrova-probe@127.0.0.1 -o cat | jq -c . >/dev/null 2>&1 && status=0 || status=$?
echo "  without -t, jq exits $status (systemd's own lines about the unit are not JSON)"
report_lines 127.0.0.1 | jq -c . >/dev/null
check "journalctl -u ... -t ketrova-probe -o cat | jq: exit 0" test "${PIPESTATUS[1]}" -eq 0
check "the services' runs and the timer's: five report lines or more" \
  test "$(grep -c '"src_ip":"127.0.0.1"' <<<"$lines")" -ge 5
check "-u and -t together: only that instance's report lines" \
  test "$(grep -vc '"src_ip":"127.0.0.1"' <<<"$lines")" -eq 0
lines=$(report_lines 192.0.2.10)
check "an address the container lacks: the bind-failure row" \
  grep -q '"note":"source bind failed (WinError 1231)"' <<<"$lines"
echo "  systemd-analyze security: $(systemd-analyze security --no-pager ketrova-probe@127.0.0.1.service | tail -1)"

# --- an interface as the instance ----------------------------------------------
# A veth pair of the container's own: up0 is the uplink, its peer (in a
# network namespace of its own inside the container) answers as the target.
# up0's address changes between runs, as DHCP or PPPoE change it.
ip netns add peer
ip link add name up0 type veth peer name up0p
ip link set up0p netns peer
ip -n peer link set up0p up
ip -n peer addr add 10.200.0.254/24 dev up0p
ip -n peer addr add 10.200.1.254/24 dev up0p
ip -n peer addr add 10.200.2.254 peer 10.200.2.1 dev up0p
ip link set up0 up
field() { jq -r ".$1" "/run/ketrova-probe/$2.json"; }
outcome() { echo "$(field src_ip up0) $(field target_ip up0) $(field status up0) $(field received up0)"; }
ip addr add 10.200.0.1/24 dev up0
echo TARGET_IP=10.200.0.254 >/etc/ketrova-probe/up0.env
check "interface up0 (10.200.0.1): the service runs" quietly systemctl start ketrova-probe@up0.service
echo "  up0: $(cat /run/ketrova-probe/up0.json)"
check "interface up0: the probe ran from 10.200.0.1, answered" \
  test "$(outcome)" = "10.200.0.1 10.200.0.254 available 10"
# While the probe runs (a target that nobody holds: its requests go
# unanswered for a while), the launcher holds no capability: CAP_NET_RAW is
# the probe's alone.
echo TARGET_IP=10.200.0.99 >/etc/ketrova-probe/up0.env
systemctl start --no-block ketrova-probe@up0.service
launcher=0
for _ in $(seq 50); do
  launcher=$(systemctl show -p MainPID --value ketrova-probe@up0.service)
  [ "$launcher" -gt 0 ] && grep -qs "^PPid:[[:space:]]*$launcher\$" /proc/[0-9]*/status && break
  sleep 0.1
done
sleep 0.3
caps=$(grep -E '^Cap(Inh|Prm|Eff|Amb):' "/proc/$launcher/status" 2>/dev/null | tr -s '\t' ' ' | tr '\n' ' ')
echo "  the launcher ($launcher) while the probe runs: $caps"
check "the launcher holds no capability while the probe runs" \
  test "$caps" = "CapInh: 0000000000000000 CapPrm: 0000000000000000 CapEff: 0000000000000000 CapAmb: 0000000000000000 "
# Stopped half-way, as a removal or a shutdown stops it: no failed unit. A
# run that overruns its time still fails the unit (TimeoutStartSec, here 2 s).
systemctl stop ketrova-probe@up0.service
check "a run stopped half-way: the unit is inactive, not failed" \
  test "$(systemctl is-active ketrova-probe@up0.service)" = inactive
mkdir -p /run/systemd/system/ketrova-probe@up0.service.d
printf '[Service]\nTimeoutStartSec=2\n' >/run/systemd/system/ketrova-probe@up0.service.d/timeout.conf
systemctl daemon-reload
systemctl start ketrova-probe@up0.service >/dev/null 2>&1 && started=yes || started=no
outcome_of_run="start $started, $(systemctl is-failed ketrova-probe@up0.service), $(systemctl show -p Result --value ketrova-probe@up0.service)"
echo "  over its time: $outcome_of_run"
check "a run over TimeoutStartSec: systemctl start fails, the unit failed with result timeout" \
  test "$outcome_of_run" = "start no, failed, timeout"
rm -r /run/systemd/system/ketrova-probe@up0.service.d
systemctl daemon-reload
systemctl reset-failed ketrova-probe@up0.service
ip addr flush dev up0
ip addr add 10.200.1.1/24 dev up0
ip addr add 10.200.1.2/24 dev up0
echo TARGET_IP=10.200.1.254 >/etc/ketrova-probe/up0.env
check "address changed (10.200.1.1, secondary 10.200.1.2): the service runs" \
  quietly systemctl start ketrova-probe@up0.service
echo "  up0: $(cat /run/ketrova-probe/up0.json)"
check "interface up0: the next run follows it to 10.200.1.1, the primary address, answered" \
  test "$(outcome)" = "10.200.1.1 10.200.1.254 available 10"
ip addr flush dev up0
ip addr add 10.200.2.1 peer 10.200.2.254 dev up0
echo TARGET_IP=10.200.2.254 >/etc/ketrova-probe/up0.env
check "a point-to-point address (10.200.2.1 peer 10.200.2.254): the service runs" \
  quietly systemctl start ketrova-probe@up0.service
echo "  up0: $(cat /run/ketrova-probe/up0.json)"
check "interface up0: from its local address, not the peer's, answered" \
  test "$(outcome)" = "10.200.2.1 10.200.2.254 available 10"
ip addr flush dev up0
check "interface up0 without an address: the service still succeeds" \
  quietly systemctl start ketrova-probe@up0.service
expected='{"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,"sent":10,"received":0,"src_ip":"up0","target_ip":"10.200.2.254","note":"source bind failed (WinError 1231)"}'
echo "  up0: $(cat /run/ketrova-probe/up0.json)"
check "interface up0 without an address: the bind-failure row, src_ip the interface" \
  test "$(cat /run/ketrova-probe/up0.json)" = "$expected"
check "... the same line in the journal" test "$(report_lines up0 | tail -1)" = "$expected"
# The interface gone altogether (a PPP interface goes with its link): the
# uplink still reads as down, its last line replaced, and the journal says
# there is no such interface now.
ip link del up0
check "interface up0 gone: the service still succeeds" \
  quietly systemctl start ketrova-probe@up0.service
echo "  up0: $(cat /run/ketrova-probe/up0.json)"
check "interface up0 gone: the bind-failure row replaces its last line" \
  test "$(cat /run/ketrova-probe/up0.json)" = "$expected"
check "... and the journal warns that there is no such interface now" \
  test "$(journalctl -b -u ketrova-probe@up0 -t ketrova-probe -p warning..warning -o cat | tail -1)" = \
  'uplink-probe: no interface "up0" on this host now: its uplink reported as down, nothing sent'
# A name that is neither an address nor a name an interface can have.
bad=not-an-interface-name
systemctl start "ketrova-probe@$bad.service" >/dev/null 2>&1 && status=0 || status=$?
check "neither an address nor an interface ($bad): systemctl start fails" test "$status" -ne 0
check "... the unit is failed" test "$(systemctl is-failed "ketrova-probe@$bad.service")" = failed
message=$(journalctl -b -u "ketrova-probe@$bad" -t ketrova-probe -o cat)
echo "  journal: $message"
check "... the journal says why, at priority err" \
  test "$(journalctl -b -u "ketrova-probe@$bad" -t ketrova-probe -p err -o cat)" = \
  "uplink-probe: uplink \"$bad\" is neither an IPv4 address nor a network interface of this host"
check "... and holds no report line, nor /run/ketrova-probe a file" \
  test "$(grep -c '^{' <<<"$message") $(test -e "/run/ketrova-probe/$bad.json" && echo file)" = "0 "
systemctl reset-failed "ketrova-probe@$bad.service"
# Every uplink's verdict at once, from the journal: the report lines alone.
every=$(journalctl -b -t ketrova-probe -p info..info -o json |
  jq -r '"\(._SYSTEMD_UNIT) \(.MESSAGE | fromjson | .status)"')
sed 's/^/  every uplink: /' <<<"$every" | tail -4
check "journalctl -b -t ketrova-probe -p info..info -o json | jq: every line a report" \
  test "${PIPESTATUS[1]}" -eq 0 -a -n "$(grep '^ketrova-probe@up0.service unavailable$' <<<"$every")"

# --- the textfile units ---------------------------------------------------------
# node_exporter's directory, as its Debian package ships it (root's, 0755).
textfile=/var/lib/prometheus/node-exporter
mkdir -p "$textfile"
check "textfile 127.0.0.1: the service runs" \
  quietly systemctl start ketrova-probe-textfile@127.0.0.1.service
prom=$textfile/ketrova-probe-127.0.0.1.prom
sed 's/^/  metrics: /' "$prom" | grep -v '^  metrics: #' || true
check "$prom: the verdict of the uplink" \
  grep -qxF 'ketrova_probe_status{uplink="127.0.0.1",src_ip="127.0.0.1",target_ip="127.0.0.1",status="available"} 1' "$prom"
check "$prom: mode 0644, root's" test "$(stat -c '%a %U' "$prom")" = "644 root"
check "textfile 127.0.0.1: its report line in the journal" \
  test -n "$(journalctl -b -u ketrova-probe-textfile@127.0.0.1 -t ketrova-probe -o cat | jq -c 'select(.src_ip == "127.0.0.1")')"
inode=$(stat -c %i "$prom")
quietly systemctl start ketrova-probe-textfile@127.0.0.1.service
check "$prom: replaced (a new inode), no temporary file left" \
  test "$(stat -c %i "$prom")" != "$inode" -a -z "$(find "$textfile" -name '.*')"
check "textfile up0 (no such interface now): the service runs" \
  quietly systemctl start ketrova-probe-textfile@up0.service
check "textfile up0 (no such interface now): a series whose source could not be bound" \
  grep -qxF 'ketrova_probe_source_bind_failed{uplink="up0",src_ip="up0",target_ip="10.200.2.254"} 1' \
  "$textfile/ketrova-probe-up0.prom"
check "textfile timer: enable --now" quietly systemctl enable --now ketrova-probe-textfile@up0.timer
check "textfile timer: RandomizedDelayUSec=1min, FixedRandomDelay=yes" \
  test "$(systemctl show -p RandomizedDelayUSec --value ketrova-probe-textfile@up0.timer) $(systemctl show -p FixedRandomDelay --value ketrova-probe-textfile@up0.timer)" = "1min yes"
echo "  systemd-analyze security: $(systemd-analyze security --no-pager ketrova-probe-textfile@up0.service | tail -1)"

# The removal stops what runs: a run in progress (its target unanswered,
# behind a veth pair whose peer holds no address) ends half-way and leaves
# no failed unit.
ip link add name hold0 type veth peer name hold0p
ip link set hold0p netns peer
ip -n peer link set hold0p up
ip addr add 10.201.0.1/24 dev hold0
ip link set hold0 up
echo TARGET_IP=10.201.0.99 >/etc/ketrova-probe/10.201.0.1.env
systemctl start --no-block ketrova-probe@10.201.0.1.service
for _ in $(seq 50); do
  [ "$(systemctl is-active ketrova-probe@10.201.0.1.service)" = activating ] && break
  sleep 0.1
done
check "a run in progress as the package goes" \
  test "$(systemctl is-active ketrova-probe@10.201.0.1.service)" = activating
check "apt-get remove: exit 0" quietly apt-get remove -y ketrova-probe
check "after apt-get remove: no timer instance left" \
  test -z "$(systemctl list-timers --all --no-legend 'ketrova-probe*')"
check "after apt-get remove: no link left in /etc/systemd" \
  test -z "$(find /etc/systemd -name 'ketrova-probe*@*')"
check "after apt-get remove: no report in /run, no metrics for node_exporter" \
  test ! -e /run/ketrova-probe -a -z "$(find "$textfile" -name 'ketrova-probe-*')"
failed=$(systemctl --failed --no-legend)
check "after apt-get remove: nothing in systemctl --failed" test -z "$failed"
[ -z "$failed" ] || sed 's/^/  /' <<<"$failed"
for unit in $(systemctl --failed --no-legend --plain | awk '{ print $1 }'); do
  journalctl -b -u "$unit" -o short-monotonic --no-pager | tail -8 | sed "s/^/  $unit: /"
done

echo "test-systemd: $passes passed, $failures failed"
systemctl poweroff
INSIDE
chmod 755 "$root/root/check.sh"
cat >"$root/etc/systemd/system/ketrova-check.service" <<'UNIT'
[Unit]
Description=ketrova-probe package checks
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/root/check.sh
[Install]
WantedBy=multi-user.target
UNIT
ln -sf /etc/systemd/system/ketrova-check.service "$root/etc/systemd/system/multi-user.target.wants/"
rm -f "$root/root/check.log" "$root/root/stop-reading"
timeout 600 systemd-nspawn -q -D "$root" -b --private-network --keep-unit --register=no --console=passive >build/systemd-boot.log 2>&1 || true
if [ ! -f "$root/root/check.log" ]; then
  echo "test-systemd: the checks did not run; the container's console, build/systemd-boot.log:" >&2
  tail -20 build/systemd-boot.log >&2
  exit 1
fi
cat "$root/root/check.log"
# Every check passed, and the checks ran to their end.
! grep -q '^FAIL' "$root/root/check.log" && grep -q '^test-systemd: [0-9]* passed, 0 failed$' "$root/root/check.log"

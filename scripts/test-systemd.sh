#!/usr/bin/env bash
# The package under a real systemd: boots a Debian 12 tree (debootstrap,
# made once in build/systemd-root) with systemd as PID 1 in systemd-nspawn,
# with a private network (the container has its loopback only), installs the
# amd64 .deb there and checks the units: a timer instance that runs, the
# journal command that gives only JSON, the bind-failure row, and apt-get
# remove with timers enabled (stopped, disabled, nothing failed). About a
# minute here, most of it debootstrap (once per build tree). Run as root:
#
#   scripts/test-systemd.sh [PACKAGE.deb]
#
# (--keep-unit --register=no: nspawn needs no systemd or bus on the host.)
#
# Only debootstrap reaches the network (Debian's mirror, through the
# configured apt sources' host); the probe runs inside the container and
# sends only to its loopback, and from an address it lacks (nothing sent).
set -euo pipefail
cd "$(dirname "$0")/.."
root=build/systemd-root
deb=${1:-}

scripts/install-deps.sh test
if [ -z "$deb" ]; then
  scripts/package.sh build/systemd-dist amd64 >/dev/null
  deb=build/systemd-dist/ketrova-probe_$(sed -n 's/^project(ketrova-probe VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)_amd64.deb
fi
if [ ! -x "$root/usr/lib/systemd/systemd" ]; then
  rm -rf "$root"
  debootstrap --variant=minbase --include=systemd-sysv,dbus,libcap2-bin,jq bookworm "$root" \
    http://deb.debian.org/debian >build/systemd-debootstrap.log
fi

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
report_lines() { journalctl -u "ketrova-probe@$1" -t ketrova-probe -o cat; }

check "dpkg -i: the package installs" quietly dpkg -i /root/ketrova-probe.deb
# The container's loopback is its only network: probe it, and an address
# that it lacks (the bind-failure row).
mkdir -p /etc/ketrova-probe
echo TARGET_IP=127.0.0.1 >/etc/ketrova-probe/127.0.0.1.env
check "systemctl enable --now: the timers of 127.0.0.1 and 192.0.2.10" \
  quietly systemctl enable --now ketrova-probe@127.0.0.1.timer ketrova-probe@192.0.2.10.timer
check "systemctl start: their services run to the end" \
  quietly systemctl start ketrova-probe@127.0.0.1.service ketrova-probe@192.0.2.10.service
check "both timer instances are active" \
  test "$(systemctl list-timers --no-legend 'ketrova-probe@*' | grep -c 'ketrova-probe@.*\.timer')" -eq 2
# The timers' own run, at the next full minute.
sleep $((62 - $(date +%S)))

lines=$(report_lines 127.0.0.1)
sed 's/^/  journal: /' <<<"$lines"
journalctl -u ketrova-probe@127.0.0.1 -o cat | jq -c . >/dev/null 2>&1 && status=0 || status=$?
echo "  without -t, jq exits $status (systemd's own lines about the unit are not JSON)"
report_lines 127.0.0.1 | jq -c . >/dev/null
check "journalctl -u ... -t ketrova-probe -o cat | jq: exit 0" test "${PIPESTATUS[1]}" -eq 0
check "the service's run and the timer's: two report lines or more" \
  test "$(grep -c '"src_ip":"127.0.0.1"' <<<"$lines")" -ge 2
check "-u and -t together: only that instance's report lines" \
  test "$(grep -vc '"src_ip":"127.0.0.1"' <<<"$lines")" -eq 0
lines=$(report_lines 192.0.2.10)
sed 's/^/  journal: /' <<<"$lines"
check "an address the container lacks: the bind-failure row" \
  grep -q '"note":"source bind failed (WinError 1231)"' <<<"$lines"
echo "  systemd-analyze security: $(systemd-analyze security --no-pager ketrova-probe@127.0.0.1.service | tail -1)"

check "apt-get remove: exit 0" quietly apt-get remove -y ketrova-probe
check "after apt-get remove: no timer instance left" \
  test -z "$(systemctl list-timers --all --no-legend 'ketrova-probe@*')"
check "after apt-get remove: no link left in /etc/systemd" \
  test -z "$(find /etc/systemd -name 'ketrova-probe@*')"
failed=$(systemctl --failed --no-legend)
check "after apt-get remove: nothing in systemctl --failed" test -z "$failed"
[ -z "$failed" ] || sed 's/^/  /' <<<"$failed"

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
rm -f "$root/root/check.log"
timeout 600 systemd-nspawn -q -D "$root" -b --private-network --keep-unit --register=no --console=passive >build/systemd-boot.log 2>&1 || true
if [ ! -f "$root/root/check.log" ]; then
  echo "test-systemd: the checks did not run; the container's console, build/systemd-boot.log:" >&2
  tail -20 build/systemd-boot.log >&2
  exit 1
fi
cat "$root/root/check.log"
# Every check passed, and the checks ran to their end.
! grep -q '^FAIL' "$root/root/check.log" && grep -q '^test-systemd: [0-9]* passed, 0 failed$' "$root/root/check.log"

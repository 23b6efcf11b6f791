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
# container off at the end; their output is left in /root/check.log.
cp "$deb" "$root/root/ketrova-probe.deb"
cat >"$root/root/check.sh" <<'INSIDE'
#!/bin/bash
exec >/root/check.log 2>&1
set -x
check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; fi
}
dpkg -i /root/ketrova-probe.deb
# The container's loopback is its only network: probe it, and an address
# that it lacks (the bind-failure row).
mkdir -p /etc/ketrova-probe
echo TARGET_IP=127.0.0.1 >/etc/ketrova-probe/127.0.0.1.env
systemctl enable --now ketrova-probe@127.0.0.1.timer ketrova-probe@192.0.2.10.timer
systemctl start ketrova-probe@127.0.0.1.service ketrova-probe@192.0.2.10.service
# The timers' own run, at the next full minute.
sleep $((62 - $(date +%S)))
journalctl -u ketrova-probe@127.0.0.1 -o cat
journalctl -u ketrova-probe@127.0.0.1 -o cat | jq -c . >/dev/null; echo "without -t: jq exit $?"
journalctl -u ketrova-probe@127.0.0.1 -t ketrova-probe -o cat | jq -c .
check "journalctl -u ... -t ketrova-probe -o cat | jq: exit 0" test "${PIPESTATUS[1]}" -eq 0
lines=$(journalctl -u ketrova-probe@127.0.0.1 -t ketrova-probe -o cat)
check "the service's run and the timer's: two report lines or more" \
  test "$(grep -c '"src_ip":"127.0.0.1"' <<<"$lines")" -ge 2
check "-u and -t together: only that instance's report lines" \
  test "$(grep -vc '"src_ip":"127.0.0.1"' <<<"$lines")" -eq 0
journalctl -u ketrova-probe@192.0.2.10 -t ketrova-probe -o cat | jq -c .
check "an address the container lacks: the bind-failure row" \
  grep -q '"note":"source bind failed (WinError 1231)"' <(journalctl -u ketrova-probe@192.0.2.10 -t ketrova-probe -o cat)
systemctl list-timers --all --no-pager
systemd-analyze security --no-pager ketrova-probe@127.0.0.1.service | tail -1
apt-get remove -y ketrova-probe
systemctl list-timers --all --no-pager
check "after apt-get remove: no timer instance left" \
  test -z "$(systemctl list-timers --all --no-legend 'ketrova-probe@*')"
check "after apt-get remove: no link left in /etc/systemd" \
  test -z "$(find /etc/systemd -name 'ketrova-probe@*')"
systemctl --failed --no-pager
check "after apt-get remove: nothing in systemctl --failed" test -z "$(systemctl --failed --no-legend)"
systemctl status --no-pager 'ketrova-probe@*'
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
cat "$root/root/check.log"
! grep -q '^FAIL' "$root/root/check.log" && grep -q '^ok' "$root/root/check.log"

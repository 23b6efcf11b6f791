#!/usr/bin/env bash
# The packages as a distribution would judge them. Builds every package with
# scripts/package.sh, runs lintian on the .deb (any error or warning fails)
# and hardening-check on its binary, installs it with dpkg, checks that the
# installed binary carries CAP_NET_RAW and that an unprivileged user can
# probe with it (inside a pair of network namespaces whose ping_group_range
# admits nobody, so the capability alone makes it work), runs it the way the
# systemd unit does (no_new_privs, the capability ambient), verifies the
# units with systemd-analyze, and purges the package with timer instances
# enabled, checking that no file of it and no link to its units is left.
# Checks the Windows zip's contents too, and that the Windows Installer
# package holds the same files.
#
# Run as root on Debian. Packets go only between the two namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "test-package: run as root (dpkg -i, network namespaces)" >&2
  exit 1
fi

# Two runs at once would install and remove the same package under each
# other: take turns.
exec 9>/run/lock/ketrova-probe-package-test.lock
flock -w 900 9

program=/usr/bin/ketrova-probe
installed=no
scratch=$(mktemp -d)

# shellcheck source=SCRIPTDIR/../tests/integration/netns.sh
source tests/integration/netns.sh
cleanup() {
  if declare -F monitoring_cleanup >/dev/null; then monitoring_cleanup; fi
  netns_teardown
  if [ "$installed" = yes ]; then
    dpkg -P ketrova-probe >/dev/null 2>&1 || echo "test-package: dpkg -P ketrova-probe failed" >&2
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# shellcheck source=SCRIPTDIR/checks.sh
source scripts/checks.sh


# --- the manual page renders without a warning -----------------------------
warnings=$(groff -ww -man -Tutf8 docs/ketrova-probe.1 2>&1 >/dev/null)
check "groff -ww renders the manual page cleanly" test -z "$warnings"
[ -z "$warnings" ] || echo "$warnings"

# --- build every package -----------------------------------------------------
dist=$scratch/dist
# (The other architectures' packages are judged by scripts/test-cross.sh.)
if ! scripts/package.sh "$dist" amd64 win64 >"$scratch/package.log" 2>&1; then
  cat "$scratch/package.log"
  echo "test-package: scripts/package.sh failed" >&2
  exit 1
fi
deb=$(ls "$dist"/ketrova-probe_*.deb)
echo "package: $(basename "$deb")"
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\):/  &/p'

contents=$(dpkg-deb --contents "$deb")
for path in ./usr/bin/ketrova-probe ./usr/share/man/man1/ketrova-probe.1.gz \
  ./usr/share/doc/ketrova-probe/README.md ./usr/share/doc/ketrova-probe/copyright \
  ./usr/share/doc/ketrova-probe/changelog.gz \
  ./usr/lib/systemd/system/ketrova-probe@.service ./usr/lib/systemd/system/ketrova-probe@.timer \
  ./usr/lib/ketrova-probe/prometheus-textfile ./usr/lib/nagios/plugins/check_ketrova_probe \
  ./usr/lib/ketrova-probe/uplink-probe ./usr/lib/sysusers.d/ketrova-probe.conf \
  ./usr/lib/systemd/system/ketrova-probe-textfile@.service \
  ./usr/lib/systemd/system/ketrova-probe-textfile@.timer \
  ./usr/share/doc/ketrova-probe/examples/icinga2-ketrova-probe.conf \
  ./usr/share/doc/ketrova-probe/examples/nagios-ketrova-probe.cfg; do
  check "package holds $path" contains "$contents"$'\n' " $path"$'\n'
done
depends=$(dpkg-deb --field "$deb" Depends)
check "dependencies computed from the binary: libc6" contains "$depends" "libc6 (>= "
check "C++ runtime linked in: no libstdc++6 dependency" lacks "$depends" libstdc++

# --- lintian: no error, no warning, no override --------------------------------
lintian_status=0
# lintian leaves its cache files in TMPDIR: give it the scratch directory.
mkdir -p "$scratch/tmp"
TMPDIR=$scratch/tmp lintian --fail-on error,warning --display-level '>=info' "$deb" \
  >"$scratch/lintian.out" 2>&1 ||
  lintian_status=$?
grep -v 'running with root privileges is not recommended' "$scratch/lintian.out" | sed 's/^/  lintian: /'
check "lintian: no error and no warning" test "$lintian_status" -eq 0
check "lintian: no E: or W: tag" test -z "$(grep -E '^[EW]: ' "$scratch/lintian.out" || true)"
check "no lintian overrides shipped" lacks "$contents" lintian/overrides

# --- hardening-check on the packaged binary ----------------------------------
dpkg-deb -x "$deb" "$scratch/root"
# The probe, the monitoring outputs' converter and plugin, and the units' launcher, built alike.
for packaged in "$scratch"/root/usr/bin/ketrova-probe "$scratch"/root/usr/lib/ketrova-probe/prometheus-textfile \
  "$scratch"/root/usr/lib/nagios/plugins/check_ketrova_probe "$scratch"/root/usr/lib/ketrova-probe/uplink-probe; do
  name=${packaged#"$scratch"/root}
  [ "$name" = /usr/bin/ketrova-probe ] && name= || name=" $name"
  hardening=$(hardening-check "$packaged" 2>&1 || true)
  sed -e '1d' -e 's/^ */  hardening-check: /' <<<"$hardening"
  for property in "Position Independent Executable" "Stack protected" "Read-only relocations" \
    "Immediate binding"; do
    check "hardening-check$name: $property: yes" grep -q "^ $property: yes" <<<"$hardening"
  done
  description=$(file -b "$packaged")
  check "packaged binary$name is stripped" contains "$description" ", stripped"
  check "packaged binary$name is dynamically linked" contains "$description" "dynamically linked"
  needed=$(readelf -d "$packaged" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
  echo "  needed: $needed"
  check "packaged binary$name needs the C library alone" \
    test "$needed" = "ld-linux-x86-64.so.2 libc.so.6 " -o "$needed" = "libc.so.6 "
done

# --- install it ------------------------------------------------------------
if dpkg -s ketrova-probe >/dev/null 2>&1; then
  echo "test-package: replacing the ketrova-probe package already installed; it is purged at the end"
fi
installed=yes
dpkg -i "$deb" >/dev/null
mapfile -t package_files < <(dpkg -L ketrova-probe)
capabilities=$(getcap "$program")
echo "getcap: $capabilities"
check "installed binary has cap_net_raw" contains "$capabilities" cap_net_raw
# (Minimised images tell dpkg to skip manual pages; nothing to look for there.)
man_installed=no
if ! grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  man_installed=yes
  check "manual page is found" test "$(man -w ketrova-probe)" = /usr/share/man/man1/ketrova-probe.1.gz
fi

# --- the systemd units ---------------------------------------------------------
# Verified as installed, for one instance: the binary and (with --man) the
# manual page that Documentation= names must be there.
units=/usr/lib/systemd/system
verify=$(systemd-analyze verify --man="$man_installed" \
  "$units/ketrova-probe@192.0.2.10.service" "$units/ketrova-probe@192.0.2.10.timer" \
  "$units/ketrova-probe@eth1.service" "$units/ketrova-probe-textfile@eth1.service" \
  "$units/ketrova-probe-textfile@eth1.timer" 2>&1) &&
  verify_status=0 || verify_status=$?
[ -z "$verify" ] || while IFS= read -r l; do echo "  systemd-analyze: $l"; done <<<"$verify"
check "systemd-analyze verify: units clean" test "$verify_status" -eq 0 -a -z "$verify"
service=$(cat "$units/ketrova-probe@.service")
for setting in "ExecStart=/usr/lib/ketrova-probe/uplink-probe --last-report /run/ketrova-probe/%i.json %i" \
  User=ketrova-probe RuntimeDirectory=ketrova-probe RuntimeDirectoryMode=0755 \
  AmbientCapabilities=CAP_NET_RAW CapabilityBoundingSet=CAP_NET_RAW NoNewPrivileges=yes \
  "RestrictAddressFamilies=AF_INET AF_NETLINK" ProtectSystem=strict ProtectHome=yes; do
  check "service: $setting" grep -qxF "$setting" <<<"$service"
done

# The manual page shows the service's main settings: each of them as shipped.
shown=$(MANWIDTH=200 man -l docs/ketrova-probe.1 2>/dev/null | sed -n '/^ *Type=oneshot$/,/^ *SystemCallFilter=/p' |
  sed 's/^ *//')
missing=$(grep -vxF -f <(echo "$service") <<<"$shown" || true)
check "the manual page's unit settings are the shipped unit's ($(wc -l <<<"$shown") lines)" \
  test -n "$shown" -a -z "$missing"
[ -z "$missing" ] || echo "  not in the unit: $missing"

# --- the integration tests' pair of namespaces -------------------------------
netns_create
kernel_echo on
# In the probe namespace no group may open a datagram ICMP socket.
in_probe sysctl -qw net.ipv4.ping_group_range="1 0"

# As nobody with no capabilities of its own: only the file capability, gained
# when the binary is executed, can open the raw socket. (setpriv leaves
# no_new_privs unset, which file capabilities need.)
as_nobody() {
  in_probe setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all "$@"
}

line=$(as_nobody "$program" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP")
echo "report: $line"
check "installed binary as nobody: available" contains "$line" '"status":"available"'
check "installed binary as nobody: ten replies" contains "$line" '"sent":10,"received":10,'

# The same bytes without the capability (cp drops it): the socket is refused.
install -m 0755 "$program" "$scratch/ketrova-probe"
chmod 0755 "$scratch"
line=$(as_nobody "$scratch/ketrova-probe" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP")
echo "report without the capability: $line"
check "copy without capability as nobody: service unavailable" \
  contains "$line" '"note":"IcmpCreateFile failed"'

# As the service runs it: no_new_privs, under which kernels may ignore the
# file capability, and CAP_NET_RAW as the only capability, ambient. Both the
# installed binary and the copy without the file capability must work so.
as_service() {
  in_probe setpriv --reuid=nobody --regid=nogroup --clear-groups --nnp \
    --inh-caps=-all,+net_raw --ambient-caps=+net_raw --bounding-set=-all,+net_raw "$@"
}
line=$(as_service "$program" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP")
echo "report as the service runs it: $line"
check "as the service runs it (no_new_privs, ambient CAP_NET_RAW): available" \
  contains "$line" '"status":"available"'
line=$(as_service "$scratch/ketrova-probe" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP")
check "the same without the file capability: available" contains "$line" '"status":"available"'

# Every system call of a run is one that the service's SystemCallFilter
# (@system-service) allows.
if command -v strace >/dev/null; then
  expand_set() {
    local item
    for item in $(systemd-analyze syscall-filter "$1" | sed -e '1d' -e '/^ *#/d'); do
      case $item in
      @*) expand_set "$item" ;;
      *) echo "$item" ;;
      esac
    done
  }
  filter=$(grep -x 'SystemCallFilter=.*' <<<"$service" | sed 's/^SystemCallFilter=//')
  allowed=$(expand_set "$filter" | sort -u)
  in_probe strace -f -qq -o "$scratch/strace.out" "$program" --src-ip "$PROBE_IP" \
    --target-ip "$TARGET_IP" >/dev/null
  used=$(sed -n 's/^[0-9]* *\([a-z_0-9]*\)(.*/\1/p' "$scratch/strace.out" | sort -u)
  outside=$(comm -23 <(echo "$used") <(echo "$allowed") | tr '\n' ' ')
  echo "system calls of a run: $(echo "$used" | tr '\n' ' ')"
  check "every system call of a run is in SystemCallFilter=$filter" test -z "$outside"
  [ -z "$outside" ] || echo "  outside the filter: $outside"
fi

# --- the monitoring outputs, judged by node_exporter and Nagios ---------------
# shellcheck source=SCRIPTDIR/package-monitoring.sh
source scripts/package-monitoring.sh

# --- removal disables every instance of the units -----------------------------
# Enabled as an administrator enables them; systemctl changes only the files
# where systemd does not run (here, as in a chroot). The prerm must remove
# the links again and neither it nor the postrm may need a running systemd.
# (scripts/test-systemd.sh checks the same under a booted systemd.)
wants=/etc/systemd/system/timers.target.wants
systemctl enable ketrova-probe@192.0.2.10.timer ketrova-probe@198.51.100.1.timer >/dev/null 2>&1 || true
check "systemctl enable: the timer instances' links exist" \
  test -L "$wants/ketrova-probe@192.0.2.10.timer" -a -L "$wants/ketrova-probe@198.51.100.1.timer"

# --- purge it ------------------------------------------------------------------
dpkg -P ketrova-probe >/dev/null
check "removal disabled every instance: no link left in /etc/systemd" \
  test -z "$(find /etc/systemd -name 'ketrova-probe@*' -print -quit)"
installed=no
check "dpkg -P removes the package" test -z "$(dpkg-query -W -f='${Status}' ketrova-probe 2>/dev/null)"
left=()
for path in "${package_files[@]}"; do
  # Directories that other packages share (/usr, /usr/bin, ...) stay.
  if [ -e "$path" ] && ! { [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1; }; then
    left+=("$path")
  fi
done
check "dpkg -P leaves no file of the package (${#package_files[@]} paths)" test "${#left[@]}" -eq 0
[ "${#left[@]}" -eq 0 ] || printf '  left: %s\n' "${left[@]}"

# --- the Windows zip -------------------------------------------------------
zip=$(ls "$dist"/ketrova-probe-*-win64.zip)
echo "package: $(basename "$zip")"
listing=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
top=$(basename "$zip" .zip)
for name in ketrova-probe.exe README.md LICENSE.txt; do
  check "zip holds $top/$name" grep -qx "$top/$name" <<<"$listing"
done
(cd "$scratch" && python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall()' "$zip")
check "zipped program is a 64-bit Windows console program" \
  contains "$(file -b "$scratch/$top/ketrova-probe.exe")" "PE32+ executable (console) x86-64"

# --- the Windows Installer package: the zip's three files --------------------
# (Installed, upgraded and removed under Wine by the Windows stage.)
msi=$(ls "$dist"/ketrova-probe-*-x64.msi)
echo "package: $(basename "$msi")"
mkdir "$scratch/msi"
msiextract -C "$scratch/msi" "$msi" >/dev/null
check "msi holds the zip's three files in ketrova-probe/, nothing else" \
  test "$(cd "$scratch/msi" && find . -type f | LC_ALL=C sort | paste -sd ' ')" = \
  "./ketrova-probe/LICENSE.txt ./ketrova-probe/README.md ./ketrova-probe/ketrova-probe.exe"
for name in ketrova-probe.exe README.md LICENSE.txt; do
  check "msi's $name is the zip's" cmp -s "$scratch/msi/ketrova-probe/$name" "$scratch/$top/$name"
done

echo
echo "test-package: $passes passed, $failures failed"
[ "$failures" -eq 0 ]

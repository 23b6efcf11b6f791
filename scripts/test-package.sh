#!/usr/bin/env bash
# Builds the Debian package from the release configuration, installs it with
# dpkg, and checks that the installed binary carries CAP_NET_RAW and that an
# unprivileged user can probe with it: inside a pair of network namespaces
# whose ping_group_range admits nobody, so the capability alone makes it work.
# Removes the package and the namespaces again whatever happens. Where the
# tree has the cross build for Windows (the windows preset and its toolchain),
# also builds the Windows zip and checks its contents.
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

jobs=2
build=build/package
program=/usr/bin/ketrova-probe
installed=no
scratch=$(mktemp -d)
failures=0
passes=0

# shellcheck source=SCRIPTDIR/../tests/integration/netns.sh
source tests/integration/netns.sh
cleanup() {
  netns_teardown
  if [ "$installed" = yes ]; then
    dpkg -r ketrova-probe >/dev/null 2>&1 || echo "test-package: dpkg -r ketrova-probe failed" >&2
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

check() {  # check NAME COMMAND...: runs COMMAND and counts the result
  local name=$1
  shift
  if "$@"; then
    echo "ok   $name"
    passes=$((passes + 1))
  else
    echo "FAIL $name"
    failures=$((failures + 1))
  fi
}

contains() { [[ $1 == *"$2"* ]]; }

# --- the manual page renders without a warning -----------------------------
warnings=$(groff -ww -man -Tutf8 docs/ketrova-probe.1 2>&1 >/dev/null)
check "groff -ww renders the manual page cleanly" test -z "$warnings"
[ -z "$warnings" ] || echo "$warnings"

# --- build the package ---------------------------------------------------
# The builds' own output goes to a log that is shown when a step fails.
quietly() {
  "$@" >"$scratch/step.log" 2>&1 || { cat "$scratch/step.log"; return 1; }
}

quietly cmake --preset release -B "$build" -DKETROVA_BUILD_TESTS=OFF
quietly cmake --build "$build" -j "$jobs"
rm -f "$build"/ketrova-probe_*.deb
(cd "$build" && quietly cpack -G DEB)
deb=$(ls "$build"/ketrova-probe_*.deb)
echo "package: $deb"
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\):/  &/p'

contents=$(dpkg-deb --contents "$deb")
for path in ./usr/bin/ketrova-probe ./usr/share/man/man1/ketrova-probe.1.gz \
  ./usr/share/doc/ketrova-probe/README.md ./usr/share/doc/ketrova-probe/LICENSE; do
  check "package holds $path" contains "$contents" " $path"
done

# --- install it ------------------------------------------------------------
if dpkg -s ketrova-probe >/dev/null 2>&1; then
  echo "test-package: replacing the ketrova-probe package already installed; it is removed at the end"
fi
installed=yes
dpkg -i "$deb" >/dev/null
capabilities=$(getcap "$program")
echo "getcap: $capabilities"
check "installed binary has cap_net_raw" contains "$capabilities" cap_net_raw
# (Minimised images tell dpkg to skip manual pages; nothing to look for there.)
if ! grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  check "manual page is found" test "$(man -w ketrova-probe)" = /usr/share/man/man1/ketrova-probe.1.gz
fi

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

# --- remove it -------------------------------------------------------------
dpkg -r ketrova-probe >/dev/null
installed=no
check "dpkg -r removes the binary" test ! -e "$program"

# --- the Windows zip, where the tree has the cross build --------------------
if cmake --list-presets 2>/dev/null | grep -q '"windows"' &&
  [ -f cmake/toolchains/mingw-w64-x86_64.cmake ]; then
  windows_build=build/package-windows
  quietly cmake --preset windows -B "$windows_build" -DKETROVA_BUILD_TESTS=OFF
  quietly cmake --build "$windows_build" -j "$jobs"
  rm -f "$windows_build"/ketrova-probe-*.zip
  (cd "$windows_build" && quietly cpack -G ZIP)
  zip=$(ls "$windows_build"/ketrova-probe-*.zip)
  echo "package: $zip"
  listing=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
  top=$(basename "$zip" .zip)
  for name in ketrova-probe.exe README.md LICENSE.txt; do
    check "zip holds $top/$name" grep -qx "$top/$name" <<<"$listing"
  done
  (cd "$scratch" && python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall()' "$OLDPWD/$zip")
  check "zipped program is a 64-bit Windows console program" \
    contains "$(file -b "$scratch/$top/ketrova-probe.exe")" "PE32+ executable (console) x86-64"
fi

echo
echo "test-package: $passes passed, $failures failed"
[ "$failures" -eq 0 ]

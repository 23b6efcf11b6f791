#!/usr/bin/env bash
# A real echo series of the Windows probe under Wine, between the integration
# tests' pair of network namespaces (joined by a veth pair and nothing else):
# ten replies from the responder's kernel give "available"; with the
# responder ignoring echo requests, no reply gives "unavailable". Where the
# Windows Installer package is built, it is installed in the prefix too and
# the installed program, run by its full path, gives "available" as well.
#
# Wine's ICMP echo service runs in a service process of the Wine session, so
# the session (wineserver and all) is started inside the probe's namespace,
# in a prefix of its own, copied from the main test prefix.
#
#   echo_series.sh WINE_RUN WINE_SESSION MAIN_PREFIX PREFIX PROBE_EXE [PACKAGE]
set -euo pipefail

wine_run=$1
wine_session=$2
main_prefix=$3
prefix=$4
probe=$5
package=${6:-}

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root for network namespaces"
  exit 77
fi

# shellcheck source=SCRIPTDIR/../integration/netns.sh
source "$(dirname "$0")/../integration/netns.sh"
cleanup() {
  bash "$wine_session" stop "$prefix" || true
  netns_teardown
}
trap cleanup EXIT
netns_create
kernel_echo on

# A fresh copy of the main prefix, whose session has never run outside the
# namespace.
bash "$wine_session" fresh "$prefix" "$main_prefix" "$PROBE_NS"

run_probe() {  # run_probe [PROGRAM]
  in_probe bash "$wine_run" "$prefix" "${1:-$probe}" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
}

failures=0
start=$SECONDS
line=$(run_probe)
echo "replies:    $line ($((SECONDS - start)) s)"
available='^\{"status":"available","loss_rate":0,"avg_latency_ms":(0|[1-9][0-9]*),"jitter_ms":(0|[1-9][0-9]?|100),"sent":10,"received":10,"src_ip":"192\.0\.2\.10","target_ip":"198\.51\.100\.7","note":""\}$'
[[ $line =~ $available ]] || { echo "FAIL: not the available line"; failures=$((failures + 1)); }

if [ -f "$package" ]; then
  status=0
  in_probe bash "$wine_run" "$prefix" msiexec /i "Z:$(realpath "$package")" /qn || status=$?
  [ "$status" -eq 0 ] || { echo "FAIL: msiexec /i exit $status"; failures=$((failures + 1)); }
  line=$(run_probe 'C:\Program Files\ketrova-probe\ketrova-probe.exe')
  echo "installed:  $line"
  [[ $line =~ $available ]] || { echo "FAIL: the installed program: not the available line"; failures=$((failures + 1)); }
elif [ -n "$package" ]; then
  echo "skipped: the installed program (no Windows Installer package: wixl is not installed)"
fi

kernel_echo off
start=$SECONDS
line=$(run_probe)
elapsed=$((SECONDS - start))
echo "no replies: $line ($elapsed s)"
unavailable='{"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,"sent":10,"received":0,"src_ip":"192.0.2.10","target_ip":"198.51.100.7","note":""}'
[ "$line" = "$unavailable" ] || { echo "FAIL: not the unavailable line"; failures=$((failures + 1)); }
# Ten requests, each waiting out its 1000 ms.
[ "$elapsed" -ge 9 ] || { echo "FAIL: ten timeouts took only $elapsed s"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ]

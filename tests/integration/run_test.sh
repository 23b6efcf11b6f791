#!/usr/bin/env bash
# One integration test of the probe against the real kernel:
#
#   run_test.sh PROBE_BINARY SCENARIO[.KIND]
#   run_test.sh --check-list     scenarios.list and the scenario_* functions
#                                name the same scenarios, each once
#
# Looks up the scenario's row in scenarios.list, checks what it needs
# (lib/needs.sh: exits 77, skipped, where this run cannot meet it), builds a
# throwaway pair of network namespaces (netns.sh), chooses the probe's
# socket KIND (raw: as root, datagram ICMP sockets refused; dgram: as
# nobody, datagram ICMP sockets admitted for its group) and calls
# scenario_SCENARIO (scenarios/*.sh), which starts the scripted responder
# (responder.py) on the responder host, runs the probe on the probe host and
# checks its report line.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
LIST=$HERE/scenarios.list
SCENARIO=
KIND=raw
SCENARIO_NEEDS=()
# shellcheck source=SCRIPTDIR/netns.sh
source "$HERE/netns.sh"
# shellcheck source=SCRIPTDIR/lib/common.sh
source "$HERE/lib/common.sh"
# shellcheck source=SCRIPTDIR/lib/needs.sh
source "$HERE/lib/needs.sh"
# shellcheck source=SCRIPTDIR/lib/run.sh
source "$HERE/lib/run.sh"
# shellcheck source=SCRIPTDIR/lib/observe.sh
source "$HERE/lib/observe.sh"
# shellcheck source=SCRIPTDIR/lib/expect.sh
source "$HERE/lib/expect.sh"
# shellcheck source=SCRIPTDIR/lib/topology.sh
source "$HERE/lib/topology.sh"
# One file a topic; check_list finds a function defined in none of them.
# shellcheck source=SCRIPTDIR/scenarios/answers.sh
source "$HERE/scenarios/answers.sh"
# shellcheck source=SCRIPTDIR/scenarios/process.sh
source "$HERE/scenarios/process.sh"
# shellcheck source=SCRIPTDIR/scenarios/stalls.sh
source "$HERE/scenarios/stalls.sh"
# shellcheck source=SCRIPTDIR/scenarios/uplinks.sh
source "$HERE/scenarios/uplinks.sh"
# shellcheck source=SCRIPTDIR/scenarios/load.sh
source "$HERE/scenarios/load.sh"

# The rows of scenarios.list: NAME KINDS NEEDS, comments and blank lines out.
list_rows() { sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$LIST"; }

check_list() {
  local listed defined status=0 name kinds needs extra need
  listed=$(list_rows | awk '{ print $1 }' | sort)
  defined=$(declare -F | awk '$3 ~ /^scenario_/ { sub(/^scenario_/, "", $3); print $3 }' | sort)
  extra=$(uniq -d <<<"$listed")
  [ -z "$extra" ] || { echo "listed more than once: $extra"; status=1; }
  extra=$(comm -23 <(sort -u <<<"$listed") <(echo "$defined"))
  [ -z "$extra" ] || { echo "listed without a function scenario_NAME:" "${extra//$'\n'/ }"; status=1; }
  extra=$(comm -13 <(sort -u <<<"$listed") <(echo "$defined"))
  [ -z "$extra" ] || { echo "a function scenario_NAME without a row in scenarios.list:" "${extra//$'\n'/ }"; status=1; }
  while read -r name kinds needs extra; do
    if [ -z "$needs" ] || [ -n "$extra" ]; then
      echo "$name: a row has three columns"
      status=1
    fi
    [[ $kinds =~ ^(-|raw|dgram|raw,dgram)$ ]] || { echo "$name: unknown kinds $kinds"; status=1; }
    [ "$needs" = - ] && continue
    for need in ${needs//,/ }; do
      declare -F "need_$need" >/dev/null || { echo "$name: unknown need $need"; status=1; }
    done
  done < <(list_rows)
  [ "$status" -ne 0 ] || echo "scenarios.list: $(wc -l <<<"$listed") scenarios, each with its function"
  return "$status"
}

if [ "${1:-}" = --check-list ]; then
  check_list
  exit
fi

# shellcheck disable=SC2034 # read by lib/run.sh
PROBE_BIN=$(realpath "$1")
SCENARIO=${2%%.*}
[[ $2 == *.* ]] && KIND=${2#*.}
need_root
row=$(list_rows | awk -v name="$SCENARIO" '$1 == name')
[ -n "$row" ] || fail "unknown scenario $SCENARIO (not in scenarios.list)"
read -r _ kinds needs <<<"$row"
if [[ $2 == *.* ]]; then
  [[ ,$kinds, == *",$KIND,"* ]] || fail "$SCENARIO has no kind $KIND in scenarios.list"
else
  [ "$kinds" = - ] || fail "$SCENARIO is run as $SCENARIO.KIND (scenarios.list)"
fi
[ "$needs" = - ] || read -ra SCENARIO_NEEDS <<<"${needs//,/ }"
for need in "${SCENARIO_NEEDS[@]}"; do "need_$need"; done
# Kept for scenarios that ask whether the probe is emulated.
PROBE_EMULATED=${PROBE_EMULATOR:+1}
export PROBE_EMULATED

netns_create
use_socket "$KIND"
"scenario_$SCENARIO"
echo "PASS $SCENARIO.$KIND"

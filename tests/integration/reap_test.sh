#!/usr/bin/env bash
# Namespaces are reaped only when orphaned: two runs side by side, one of
# them in a PID namespace of its own (as in a container or a second job on
# the same host, where the other's processes cannot be seen), each reaping
# as it would before making namespaces; neither may delete the other's.
# Then the other run is killed, leaving its namespaces behind, and the next
# reap deletes them. Needs root (exits 77 otherwise) and util-linux unshare.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root to create network namespaces"
  exit 77
fi
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=SCRIPTDIR/netns.sh
source "$HERE/netns.sh"
# shellcheck source=SCRIPTDIR/lib/common.sh
source "$HERE/lib/common.sh"
# shellcheck source=SCRIPTDIR/lib/observe.sh
source "$HERE/lib/observe.sh"
SCENARIO=netns_reaping KIND=

work=$(mktemp -d /tmp/kpi-reap.XXXXXX)
other=
cleanup() {
  if [ -n "$other" ]; then kill -KILL "$other" 2>/dev/null || true; fi
  netns_reap_stale
  netns_teardown
  rm -rf "$work"
}
trap cleanup EXIT
exists() { ip netns list | awk '{ print $1 }' | grep -qx "$1"; }

# The other run: its own PID namespace (the mounts still shared, as
# /run/netns is between a host and its jobs), namespaces made, then a reap of
# its own once this run's namespaces exist, and a wait until it is killed.
# shellcheck disable=SC2016
unshare -p -f --mount-proc --propagation unchanged bash -c '
  set -euo pipefail
  source "$1/netns.sh"
  netns_create
  echo "$PROBE_NS $RESPONDER_NS $NETNS_WORK" >"$2/other.tmp"
  mv "$2/other.tmp" "$2/other"
  until [ -e "$2/go" ]; do sleep 0.05; done
  netns_reap_stale
  echo reaped >"$2/reaped"
  sleep 600
' other "$HERE" "$work" &
unshared=$!
wait_until 10 test -e "$work/other" || fail "the other run made no namespaces"
read -r other_probe other_responder other_work <"$work/other"
other=$(pgrep -P "$unshared" | head -n 1) || fail "no process of the other run"

netns_create
for ns in "$other_probe" "$other_responder"; do
  exists "$ns" || fail "this run's reap deleted $ns of a live run in another PID namespace"
done
echo "this run ($PROBE_NS, $RESPONDER_NS) left the other's ($other_probe, $other_responder) alone"
: >"$work/go"
wait_until 10 test -e "$work/reaped" || fail "the other run did not reap"
for ns in "$PROBE_NS" "$RESPONDER_NS"; do
  exists "$ns" || fail "the other run's reap deleted $ns of this live run"
done
echo "the other run, in its own PID namespace, left this run's alone"

# Killed: no teardown, its namespaces, work directory and lock file stay,
# the lock is free.
kill -KILL "$other"
wait "$unshared" 2>/dev/null || true
other=
exists "$other_probe" || fail "the killed run's namespaces went away by themselves"
[ -d "$other_work" ] || fail "the killed run's work directory went away by itself"
netns_reap_stale
for ns in "$other_probe" "$other_responder"; do
  ! exists "$ns" || fail "$ns of the killed run was not reaped"
done
[ ! -e "$other_work" ] || fail "the killed run's work directory $other_work was not reaped"
for ns in "$PROBE_NS" "$RESPONDER_NS"; do
  exists "$ns" || fail "reaping the killed run's namespaces deleted $ns of this run"
done
[ -d "$NETNS_WORK" ] || fail "reaping the killed run's deleted this run's work directory"
echo "the killed run's namespaces were reaped, this run's kept"
echo PASS

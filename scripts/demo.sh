#!/usr/bin/env bash
# Builds the probe (release) and runs it once between a throwaway pair of
# network namespaces: a probe host with 192.0.2.10 and a responder host with
# 198.51.100.7 that answers echo requests with its kernel's own replies.
# Nothing leaves the machine. Needs root (Debian); build output goes to
# standard error, so the last thing on standard output is the report line.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root (it installs packages and creates network namespaces)" >&2
  exit 1
fi

# The release configuration in a directory of its own, without the tests (and
# so without their build dependencies).
build=build/demo
scripts/install-deps.sh build >&2
cmake --preset release -B "$build" -DKETROVA_BUILD_TESTS=OFF >&2
cmake --build "$build" --target ketrova-probe >&2

# shellcheck source=SCRIPTDIR/../tests/integration/netns.sh
source tests/integration/netns.sh
netns_create
kernel_echo on
echo "demo: ketrova-probe --src-ip $PROBE_IP --target-ip $TARGET_IP (in namespace $PROBE_NS)" >&2
in_probe "$build/ketrova-probe" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"

#!/usr/bin/env bash
# The Windows stage: cross-compiles the windows preset with mingw-w64 and runs
# its tests under Wine (unit tests, end to end, the command line against the C
# runtime's, and a real echo series between two network namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
start=$SECONDS

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows -j 1
echo "windows stage: $((SECONDS - start)) s"

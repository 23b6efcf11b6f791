#!/usr/bin/env bash
# Builds the libFuzzer targets (the 'fuzz' preset: clang, ASan + UBSan) and
# runs each for a bounded time, starting from its seed corpus under
# fuzz/corpus/. Fails on any finding: a crash, a sanitizer report, a broken
# invariant, a leak, a timeout or running out of memory. Inputs that libFuzzer
# finds interesting go to a scratch directory, never into the seed corpus;
# a failing input is kept under build/fuzz/findings/.
#
#   FUZZ_SECONDS  seconds per target (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-15}
jobs=$(nproc 2>/dev/null || echo 2)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

bin=build/fuzz/fuzz
findings=build/fuzz/findings
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rm -rf "$findings"
mkdir -p "$findings"

# One target per processor at a time (libFuzzer runs one thread each); the
# results in the corpus directories' order once all have ended.
fuzz() {  # fuzz TARGET SEEDS: its log in $scratch/TARGET.log, its status in .status
  local target=$1 seeds=$2 status=0
  "$bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/$target-" \
    "$scratch/$target" "$seeds" >"$scratch/$target.log" 2>&1 || status=$?
  echo "$status" >"$scratch/$target.status"
}
targets=()
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  targets+=("$target")
  mkdir -p "$scratch/$target"
  while [ "$(jobs -pr | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  fuzz "$target" "$seeds" &
done
wait

failed=()
for target in "${targets[@]}"; do
  seeds=fuzz/corpus/$target/
  log=$scratch/$target.log
  status=$(cat "$scratch/$target.status")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  corpus=$(find "$scratch/$target" "$seeds" -type f | wc -l)
  if [ "$status" -eq 0 ]; then
    printf '%-20s ok      %10s runs  %7s/s  corpus %s\n' "$target" "${runs:-?}" "${speed:-?}" "$corpus"
  else
    printf '%-20s FAILED  (exit %s) after %s runs\n' "$target" "$status" "${runs:-?}"
    grep -E -A 30 '^==[0-9]+==|runtime error|deadly signal|^SUMMARY' "$log" | head -60 || tail -40 "$log"
    failed+=("$target")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs under $findings/)" >&2
  exit 1
fi
echo "fuzzing: no findings in ${seconds}s per target"

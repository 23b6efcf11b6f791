#!/usr/bin/env bash
# shellcheck disable=SC1003 # texts in single quotes end in backslashes on purpose
# The Windows probe under Wine, end to end, for the outcomes that stop before
# the ICMP service: the exact report line (no carriage return) to a pipe and
# to a file, and the exit status, for arguments with spaces, quotes,
# backslashes, tabs and non-ASCII text. Wine builds the Windows command line
# from these arguments and the probe splits it again.
#
#   end_to_end.sh WINE_RUN PREFIX PROBE_EXE
set -euo pipefail

wine_run=$1
prefix=$2
probe=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

probe() { bash "$wine_run" "$prefix" "$probe" "$@"; }

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# check EXPECTED_LINE ARGUMENT...: the line plus one line feed, nothing else.
check() {
  local expected=$1
  shift
  printf '%s\n' "$expected" >"$work/expected"
  local status=0
  probe "$@" >"$work/file" 2>"$work/stderr" || status=$?
  [ "$status" -eq 0 ] || fail "exit status $status to a file for: $*"
  cmp -s "$work/expected" "$work/file" || fail "to a file for: $* -> $(od -An -c "$work/file")"
  [ ! -s "$work/stderr" ] || fail "standard error for: $* -> $(cat "$work/stderr")"
  status=0
  probe "$@" 2>"$work/stderr" | cat >"$work/pipe" || status=$?
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "exit status to a pipe for: $*"
  cmp -s "$work/expected" "$work/pipe" || fail "to a pipe for: $* -> $(od -An -c "$work/pipe")"
}

# The report lines of the rows that carry the address texts (already escaped).
row() {
  printf '{"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,"sent":0,"received":0,"src_ip":"%s","target_ip":"%s","note":"%s"}' "$1" "$2" "$3"
}
invalid_src() { row "$1" "$2" "invalid --src-ip"; }
invalid_target() { row "$1" "$2" "invalid --target-ip"; }

missing='{"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,"sent":0,"received":0,"src_ip":"","target_ip":"","note":"missing --src-ip"}'
e_acute=$'\xc3\xa9'
euro=$'\xe2\x82\xac'
grinning=$'\xf0\x9f\x98\x80'  # U+1F600, a surrogate pair in UTF-16

check "$missing"
check "$missing" --target-ip 192.0.2.1
check "$missing" --src-ip
check "$missing" --SRC-IP 192.0.2.1 '--src-ip 192.0.2.1'
check "$(invalid_src 'a b' 1.1.1.1)" --src-ip 'a b'
check "$(invalid_src ' 192.0.2.1 x ' 'two words')" --src-ip ' 192.0.2.1 x ' --target-ip 'two words'
check "$(invalid_src '192.0.2.10\\' 198.51.100.7)" --src-ip '192.0.2.10\' --target-ip 198.51.100.7
check "$(invalid_src 'say \"hi\"' 'C:\\dir\\')" --src-ip 'say "hi"' --target-ip 'C:\dir\'
check "$(invalid_src 'a\\\\\"b' '\"')" --src-ip 'a\\"b' --target-ip '"'
check "$(invalid_src '' '')" --src-ip '' --target-ip ''
check "$(invalid_src 'a\tb' '\t192.0.2.1')" --src-ip $'a\tb' --target-ip $'\t192.0.2.1'
check "$(invalid_src "caf${e_acute} ${euro}" "${grinning}")" --src-ip "caf${e_acute} ${euro}" --target-ip "${grinning}"
check "$(invalid_src "x${grinning}y" 1.1.1.1)" "--src-ip=x${grinning}y"
check "$(invalid_target 192.0.2.10 'x\"y\\\\z')" --src-ip 192.0.2.10 --target-ip 'x"y\\z'
check "$(invalid_target ' 192.0.2.10 ' "198.51.100.7 ${e_acute}")" "--src-ip= 192.0.2.10 " "--target-ip=198.51.100.7 ${e_acute}"
check "$(invalid_src '--src-ip' '--src-ip')" --target-ip --src-ip --src-ip 192.0.2.10
check "$(invalid_target 192.0.2.10 '--src-ip')" --src-ip 192.0.2.10 --target-ip --src-ip

# No standard output at all: nothing is written and the status is still 0.
status=0
probe --src-ip x >&- 2>"$work/stderr" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status with standard output closed"
[ ! -s "$work/stderr" ] || fail "standard error with standard output closed: $(cat "$work/stderr")"

# A pipe whose reader has gone: the diagnostic and a status other than 0.
status=0
python3 - "$wine_run" "$prefix" "$probe" >"$work/broken" 2>&1 <<'PY' || status=$?
import os, subprocess, sys
read_end, write_end = os.pipe()
os.close(read_end)
result = subprocess.run(["bash", *sys.argv[1:], "--src-ip", "x"], stdout=write_end,
                        stderr=subprocess.PIPE)
sys.stdout.write(result.stderr.decode("utf-8", "replace"))
sys.exit(result.returncode)
PY
[ "$status" -ne 0 ] || fail "exit status 0 with a broken pipe"
grep -q 'failed printing to stdout' "$work/broken" || fail "no diagnostic with a broken pipe: $(cat "$work/broken")"
grep -q '[^[:space:]]' <(sed 's/.*failed printing to stdout: //' "$work/broken" | head -1) ||
  fail "diagnostic without a description: $(cat "$work/broken")"

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all end-to-end checks passed"

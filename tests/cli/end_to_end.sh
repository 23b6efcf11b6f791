#!/usr/bin/env bash
# End-to-end checks of the probe's output that need no network: the exact
# bytes of the line, invalid UTF-8 and control characters in arguments, and
# what happens when standard output cannot be written.
set -uo pipefail
probe=${1:?usage: end_to_end.sh PATH-TO-PROBE}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

missing='{"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,"sent":0,"received":0,"src_ip":"","target_ip":"","note":"missing --src-ip"}'

# Standard output is a file: exactly the line and its line feed, status 0.
"$probe" >"$work/out" 2>"$work/err"
rc=$?
[ "$rc" -eq 0 ] || fail "file: exit status $rc"
printf '%s\n' "$missing" | cmp -s - "$work/out" || fail "file: bytes differ: $(od -c "$work/out" | head -3)"
[ "$(stat -c %s "$work/out")" -eq 149 ] || fail "file: not 149 bytes"
[ -s "$work/err" ] && fail "file: standard error not empty"

# No standard output at all: nothing anywhere, status 0.
"$probe" >&- 2>"$work/err"
rc=$?
[ "$rc" -eq 0 ] || fail "closed stdout: exit status $rc"
[ -s "$work/err" ] && fail "closed stdout: standard error not empty: $(cat "$work/err")"

# A full disk: diagnostic and a non-zero status.
if [ -w /dev/full ]; then
  "$probe" >/dev/full 2>"$work/err"
  rc=$?
  [ "$rc" -ne 0 ] || fail "/dev/full: exit status 0"
  grep -q 'failed printing to stdout: ' "$work/err" || fail "/dev/full: no diagnostic"
fi

# A pipe whose reader has gone: diagnostic and a non-zero status, even when
# the caller ignores SIGPIPE or leaves it at its default.
mkfifo "$work/fifo"
for sigpipe in default ignored; do
  (exec 3<"$work/fifo"; exec 3<&-) &
  reader=$!
  exec 4>"$work/fifo"
  wait "$reader"
  if [ "$sigpipe" = ignored ]; then trap '' PIPE; fi
  "$probe" >&4 2>"$work/err"
  rc=$?
  trap - PIPE
  exec 4>&-
  [ "$rc" -ne 0 ] || fail "broken pipe ($sigpipe SIGPIPE): exit status 0"
  grep -q 'failed printing to stdout: ' "$work/err" || fail "broken pipe ($sigpipe SIGPIPE): no diagnostic"
done

# A write that succeeds only in part and then fails: a file-size limit of one
# block (1024 bytes) on a file that already holds 1000, with SIGXFSZ ignored,
# takes the first 24 bytes of the line and refuses the rest. Diagnostic and a
# non-zero status all the same, and nothing written twice.
head -c 1000 /dev/zero >"$work/limited"
(ulimit -f 1 && trap '' XFSZ && exec "$probe" >>"$work/limited" 2>"$work/err")
rc=$?
[ "$rc" -ne 0 ] || fail "partial write: exit status 0"
grep -q 'failed printing to stdout: ' "$work/err" || fail "partial write: no diagnostic"
[ "$(stat -c %s "$work/limited")" -eq 1024 ] || fail "partial write: file holds $(stat -c %s "$work/limited") bytes"
[ "$(tail -c 24 "$work/limited")" = "${missing:0:24}" ] || fail "partial write: $(tail -c 24 "$work/limited" | od -c | head -2)"

# Argument 0 takes part in the lookup like any other argument (exec -a sets
# it): as an option name, as a joined option, and repaired like the rest when
# it is not UTF-8. The addresses are invalid, so nothing is sent.
check_argv0() {
  local name=$1 argv0=$2 expected=$3
  shift 3
  (exec -a "$argv0" "$probe" "$@" >"$work/out" 2>/dev/null)
  printf '%s\n' "$expected" | cmp -s - "$work/out" || fail "argument 0 $name: $(cat "$work/out")"
}
invalid_src='{"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,"sent":0,"received":0'
check_argv0 "option name" --src-ip "$invalid_src"',"src_ip":"1.2.3","target_ip":"1.1.1.1","note":"invalid --src-ip"}' 1.2.3
check_argv0 "joined option" --src-ip=0.1.2 "$invalid_src"',"src_ip":"0.1.2","target_ip":"1.1.1.1","note":"invalid --src-ip"}'
check_argv0 "joined target" --target-ip=x "$invalid_src"',"src_ip":"1.2.3","target_ip":"x","note":"invalid --src-ip"}' --src-ip 1.2.3
check_argv0 "not UTF-8" $'--src-ip=\xff' "$invalid_src"$',"src_ip":"\xef\xbf\xbd","target_ip":"1.1.1.1","note":"invalid --src-ip"}'

# Hostile argument texts: the line stays one valid JSON object on one line,
# and every text comes back as passed (invalid UTF-8 as U+FFFD).
check_json() {
  local name=$1 expected_src=$2
  shift 2
  "$probe" "$@" >"$work/out" 2>/dev/null
  python3 - "$work/out" "$expected_src" <<'PY' || fail "$name"
import json, sys
data = open(sys.argv[1], "rb").read()
assert data.endswith(b"\n") and data.count(b"\n") == 1, data
report = json.loads(data.decode("utf-8", errors="strict"))
assert list(report) == ["status", "loss_rate", "avg_latency_ms", "jitter_ms", "sent",
                        "received", "src_ip", "target_ip", "note"], report
assert report["src_ip"] == sys.argv[2], (report["src_ip"], sys.argv[2])
PY
}
check_json "line feed in source" $'10.0.0.1\n' --src-ip $'10.0.0.1\n' --target-ip 1.2.3
check_json "control characters" $'\x01\x1f\t\r"\\' --src-ip $'\x01\x1f\t\r"\\'
check_json "invalid UTF-8" $'a\xef\xbf\xbdb\xef\xbf\xbd' --src-ip $'a\xffb\xc3'
check_json "non-ASCII" 'ünïcødé 😀' --src-ip 'ünïcødé 😀'

if [ "$failures" -ne 0 ]; then
  echo "$failures end-to-end check(s) failed"
  exit 1
fi
echo "end-to-end output checks passed"

# shellcheck shell=bash
# What every scenario uses: how a test fails, and how a process is started as
# nobody. Sourced after netns.sh and before lib/observe.sh (strace_log).

# fail WHY: the test fails, with what the responder and strace logged.
fail() {
  echo "FAIL ($SCENARIO${KIND:+.$KIND}): $*" >&2
  echo "--- responder log" >&2
  responder_log >&2
  strace_log >&2
  exit 1
}

# setpriv options for running as nobody, followed by PROBE_SETPRIV (what
# else to grant or take away).
as_nobody() {
  echo setpriv --reuid=nobody --regid=nogroup --clear-groups "${PROBE_SETPRIV[@]}"
}

# shellcheck shell=bash
# wait_until SECONDS CMD...: runs CMD every 20 ms until it succeeds, and
# returns 0 then, or 1 once SECONDS (whole seconds) have passed without.
# CMD runs in the calling shell, so it may end the test itself (fail, where
# what it waits for can no longer happen).
wait_until() {
  local limit=$(($1 * 1000000)) start=${EPOCHREALTIME//[!0-9]/}
  shift
  until "$@"; do
    [ $((${EPOCHREALTIME//[!0-9]/} - start)) -lt "$limit" ] || return 1
    sleep 0.02
  done
}

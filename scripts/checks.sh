# shellcheck shell=bash
# Counted checks for the test scripts (sourced): check NAME COMMAND... runs
# COMMAND and prints "ok" or "FAIL" with NAME; $passes and $failures count
# them for the script's closing line.
failures=0
passes=0
check() {
  local name=$1
  shift
  if "$@"; then
    echo "ok   $name"
    passes=$((passes + 1))
  else
    echo "FAIL $name"
    failures=$((failures + 1))
  fi
}
contains() { [[ $1 == *"$2"* ]]; }
lacks() { [[ $1 != *"$2"* ]]; }

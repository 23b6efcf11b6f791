#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec, in a prefix of its own
# (a copy of the main test prefix, thrown away afterwards, its session in a
# network namespace with no interfaces):
#   - msiexec /i PACKAGE /qn installs it for the machine into the 64-bit
#     Program Files, the program, README.md and LICENSE.txt and nothing else;
#     the program, run by its full path, writes its line; the product's
#     uninstall key is in HKLM, as Apps and Features reads it;
#   - the package of a later version replaces it: one copy of the program,
#     one uninstall key, the later one's; the earlier package then refuses
#     to go over the later one;
#   - msiexec /x removes every file, every folder and the uninstall key.
#
#   installer.sh WINE_RUN WINE_SESSION MAIN_PREFIX PREFIX PACKAGE LATER_PACKAGE
set -euo pipefail

wine_run=$1
wine_session=$2
main_prefix=$3
prefix=$4
package=$5
later_package=$6
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root for the Wine session's network namespace"
  exit 77
fi
if [ ! -f "$package" ] || [ ! -f "$later_package" ]; then
  echo "skipped: no Windows Installer package (wixl is not installed: scripts/install-deps.sh test)"
  exit 77
fi

# shellcheck source=SCRIPTDIR/../../scripts/checks.sh
source "$source_dir/scripts/checks.sh"

passed=no
cleanup() {
  bash "$wine_session" stop "$prefix" || true
  if [ "$passed" = yes ]; then rm -rf "$prefix"; fi
}
trap cleanup EXIT

bash "$wine_session" fresh "$prefix" "$main_prefix"

in_prefix() { bash "$wine_run" "$prefix" "$@"; }
windows_path() { local path; path=$(realpath "$1"); echo "Z:${path//\//\\}"; }
# msiexec_status /i|/x PACKAGE: msiexec's exit status, silent (modulo 256, as
# Wine passes it on: 1603 is 67).
msiexec_status() {
  local status=0
  in_prefix msiexec "$1" "$(windows_path "$2")" /qn || status=$?
  echo "$status"
}
# A property of a package, from its Property table.
property() { msiinfo export "$1" Property | tr -d '\r' | sed -n "s/^$2\t//p"; }

name=$(property "$package" ProductName)
manufacturer=$(property "$package" Manufacturer)
code=$(property "$package" ProductCode)
version=$(property "$package" ProductVersion)
later_code=$(property "$later_package" ProductCode)
later_version=$(property "$later_package" ProductVersion)
echo "packages: $name $version $code, $later_version $later_code, by $manufacturer"

drive=$prefix/drive_c
folder="$drive/Program Files/ketrova-probe"
program='C:\Program Files\ketrova-probe\ketrova-probe.exe'
uninstall='Software\Microsoft\Windows\CurrentVersion\Uninstall'

# The uninstall keys (product codes) whose DisplayName is the product's.
uninstall_keys() {
  { in_prefix reg query "HKLM\\$uninstall" /s /v DisplayName || true; } | tr -d '\r' |
    awk -v name="$name" '/^HKEY_/ { key = $0; sub(/.*\\/, "", key) }
      $1 == "DisplayName" && $2 == "REG_SZ" && match($0, /REG_SZ +/) &&
      substr($0, RSTART + RLENGTH) == name { print key }' |
    tr '\n' ' '
}
key_missing() { ! in_prefix reg query "$1" >/dev/null 2>&1; }
# What Apps and Features shows of a product: name, version, publisher.
listed_as() {
  local key="HKLM\\$uninstall\\$1" value
  for value in DisplayName DisplayVersion Publisher; do
    in_prefix reg query "$key" /v "$value" | tr -d '\r' | sed -n "s/^ *$value  *REG_SZ  *//p"
  done | paste -sd '|'
}
documents_from_source() {
  cmp -s "$folder/README.md" "$source_dir/README.md" && cmp -s "$folder/LICENSE.txt" "$source_dir/LICENSE"
}
# Every file and folder under C:, but for the folder of the installer's
# cache, which the first install makes (Windows has it from the start); the
# packages cached in it count.
drive_listing() { (cd "$drive" && find . ! -path ./windows/Installer | LC_ALL=C sort); }
# The program's copies anywhere under C:.
copies() { find "$drive" -iname ketrova-probe.exe | wc -l; }

missing='{"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,"sent":0,"received":0,"src_ip":"","target_ip":"","note":"missing --src-ip"}'
# The installed program, by its full path: the missing --src-ip line, exactly,
# and exit status 0.
installed_program_runs() {
  local status=0 output
  output=$(in_prefix "$program" | od -An -c) || status=$?
  [ "$status" -eq 0 ] && [ "$output" = "$(printf '%s\n' "$missing" | od -An -c)" ]
}

before=$(drive_listing)

# --- install -------------------------------------------------------------------
check "msiexec /i $(basename "$package") /qn: exit 0" test "$(msiexec_status /i "$package")" -eq 0
check "Program Files\\ketrova-probe holds the program, README.md and LICENSE.txt only" \
  test "$(find "$folder" -mindepth 1 -printf '%f\n' 2>&1 | LC_ALL=C sort | paste -sd ' ')" = \
  "LICENSE.txt README.md ketrova-probe.exe"
check "README.md and LICENSE.txt are the source tree's" documents_from_source
check "64-bit: nothing in Program Files (x86)" test ! -e "$drive/Program Files (x86)/ketrova-probe"
check "the installed program by its full path: the missing --src-ip line" installed_program_runs
check "uninstall key $code in HKLM (per machine), the product's only one" \
  test "$(uninstall_keys)" = "$code "
check "none in HKCU" key_missing "HKCU\\$uninstall\\$code"
check "Apps and Features: $name, $version, $manufacturer" \
  test "$(listed_as "$code")" = "$name|$version|$manufacturer"

# --- a later version over it ---------------------------------------------------
check "msiexec /i $(basename "$later_package") /qn ($later_version): exit 0" \
  test "$(msiexec_status /i "$later_package")" -eq 0
check "after the upgrade: one uninstall key, the later version's" test "$(uninstall_keys)" = "$later_code "
check "after the upgrade: listed as $later_version" \
  test "$(listed_as "$later_code")" = "$name|$later_version|$manufacturer"
check "after the upgrade: one copy of the program" test "$(copies)" -eq 1
check "after the upgrade: the installed program runs" installed_program_runs

# --- the earlier version does not go over the later ----------------------------
status=$(msiexec_status /i "$package")
check "msiexec /i $(basename "$package") over $later_version: refused (exit $status, the status modulo 256)" test "$status" -ne 0
check "after the refusal: still the later version alone" test "$(uninstall_keys)" = "$later_code "
check "after the refusal: the installed program runs" installed_program_runs

# --- removal -------------------------------------------------------------------
check "msiexec /x $(basename "$later_package") /qn: exit 0" test "$(msiexec_status /x "$later_package")" -eq 0
check "after removal: no Program Files\\ketrova-probe" test ! -e "$folder"
check "after removal: no uninstall key" test -z "$(uninstall_keys)"
after=$(drive_listing)
check "after removal: every file and folder under C: as before the install" test "$before" = "$after"
[ "$before" = "$after" ] || { diff <(echo "$before") <(echo "$after") | sed 's/^/  /' || true; }

echo "windows installer: $passes passed, $failures failed"
[ "$failures" -eq 0 ] && passed=yes
[ "$passed" = yes ]

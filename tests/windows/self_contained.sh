#!/usr/bin/env bash
# The executable loads no DLL but the system's: the C and C++ runtimes and
# winpthread are linked in, so it runs on a bare Windows.
#
#   self_contained.sh OBJDUMP EXE
set -euo pipefail
dlls=$("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "imports: $(echo "$dlls" | tr "\n" " ")"
status=0
for dll in $dlls; do  # names hold no blanks
  case ${dll,,} in
  kernel32.dll | msvcrt.dll | iphlpapi.dll | ws2_32.dll) ;;
  *)
    echo "FAIL: imports $dll"
    status=1
    ;;
  esac
done
[ -n "$dlls" ] || { echo "FAIL: no imports found"; status=1; }
exit $status

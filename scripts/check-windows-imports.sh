#!/usr/bin/env bash
# Fails unless every DLL the given Windows executables import is a system DLL, so that each
# executable runs on its own without the compiler's runtime DLLs.
# Usage: check-windows-imports.sh OBJDUMP EXE...
set -euo pipefail
objdump=$1
shift
allowed='^(kernel32|setupapi|hid|msvcrt|user32|advapi32|ntdll|cfgmgr32|shell32|ole32|ws2_32|api-ms-win-crt-[a-z0-9-]+|vcruntime140|ucrtbase)\.dll$'
status=0
for exe in "$@"; do
  dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  [ -n "$dlls" ] || { echo "$exe: no import table found"; status=1; }
  for dll in $dlls; do
    if ! printf '%s\n' "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
      echo "$exe imports $dll, which is not a system DLL"
      status=1
    fi
  done
  echo "$exe: $(stat -c %s "$exe") bytes, imports $(echo $dlls)"
done
exit $status

#!/usr/bin/env bash
# Velmora.exe must run from the kit folder as it is: x86-64, no DLL beyond
# Windows' own, the manifest inside.
set -u
exe=$1
fail=0
dump=$(x86_64-w64-mingw32-objdump -p "$exe") || exit 1
echo "$dump" | grep -q 'file format pei-x86-64' || { echo "FAIL: not an x86-64 PE image"; fail=1; }
windows_dlls='^(KERNEL32|USER32|GDI32|COMCTL32|WS2_32|ADVAPI32|SHELL32|msvcrt)\.dll$'
while read -r dll; do
  echo "imports $dll"
  echo "$dll" | grep -Eiq "$windows_dlls" || { echo "FAIL: needs $dll"; fail=1; }
done < <(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
grep -aq 'requireAdministrator' "$exe" || { echo "FAIL: no execution level in the manifest"; fail=1; }
grep -aq 'Microsoft.Windows.Common-Controls' "$exe" || { echo "FAIL: no common controls in the manifest"; fail=1; }
exit $fail

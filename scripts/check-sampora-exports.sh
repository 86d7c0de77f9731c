#!/usr/bin/env bash
# Checks the 32-bit Sampora.dll: exactly the 21 cdecl functions under their
# plain names (no leading underscore, no @N), and no DLL beyond the system's.
# Usage: scripts/check-sampora-exports.sh [path/to/Sampora.dll]
set -euo pipefail
cd "$(dirname "$0")/.."
dll="${1:-build/mingw-i686/sampora/Sampora.dll}"
objdump=i686-w64-mingw32-objdump

expected="AllowDeep Close CloseCard CloseReader DisAllowDeep DownSecret Init
OpCorrectDeep OpIncorrectDeep OpenCard OpenReader ReSend ReadBlock ReadCardFile
RestoreCard SelectSAMCatalog SetMAD WriteBlock WriteCardFile WriteMAC WriteSecret"

[ -f "$dll" ] || { echo "check-sampora-exports: $dll not found" >&2; exit 1; }
dump="$("$objdump" -p "$dll")"
grep -q 'Magic.*010b' <<<"$dump" || { echo "check-sampora-exports: $dll is not a 32-bit DLL" >&2; exit 1; }

actual="$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p' | sort)"
wanted="$(tr ' ' '\n' <<<"$expected" | tr -s '\n' | sort)"
if [ "$actual" != "$wanted" ]; then
  echo "check-sampora-exports: export names differ from the expected list:" >&2
  diff <(echo "$wanted") <(echo "$actual") >&2 || true
  exit 1
fi

bad_imports="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" |
  grep -viE '^(kernel32|msvcrt|user32|advapi32|ucrtbase|api-ms-win-.*)\.dll$' || true)"
if [ -n "$bad_imports" ]; then
  echo "check-sampora-exports: $dll needs non-system DLLs: $bad_imports" >&2
  exit 1
fi
echo "check-sampora-exports: $dll exports the 21 functions undecorated"

#!/usr/bin/env bash
# Checks the export tables of the built libraries: the exact undecorated names
# of the Windows DLLs (both widths), the Linux shared library's exported set,
# and that the DLLs need nothing but system DLLs.
set -euo pipefail
cd "$(dirname "$0")/.."

kelvara_names="KelvaraSetMessageBoxHandler KelvaraSetNoticeHandler TS_CheckKelvara TS_DelIcFiles TS_DirIcFiles
TS_FileTime TS_Format TS_GetBitTable TS_GetVersion TS_IcCardExit TS_IcCardLock TS_IsFormat TS_ReadBlock
TS_ReadIcFiles TS_ReleaseKelvara TS_SetPortSpeed TS_Test TS_WriteBlock TS_WriteIcFiles"
expected=$(printf '%s\n' $kelvara_names | sort)
status=0

dll_exports() { # objdump, dll
  "$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort
}

for arch in i686 x86_64; do
  dll=build/mingw-$arch/kelvara/Kelvara.dll
  objdump=$arch-w64-mingw32-objdump
  got=$(dll_exports "$objdump" "$dll" | grep -v '^Java_' || true)
  if [ "$got" != "$expected" ]; then
    echo "export table of $dll differs:"; diff <(echo "$expected") <(echo "$got") || true; status=1
  fi
  foreign=$("$objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p' | grep -viE '^(kernel32|user32|advapi32|setupapi|msvcrt|gdi32|api-ms-win-.*|ucrtbase)\.dll$' || true)
  if [ -n "$foreign" ]; then
    echo "$dll needs non-system DLLs: $foreign"; status=1
  fi
done

so=build/debug/kelvara/libkelvara.so
if [ -f "$so" ]; then
  got=$(nm -D --defined-only "$so" | awk '{print $3}' | grep -v '^Java_' | sort)
  if [ "$got" != "$expected" ]; then
    echo "exported symbols of $so differ:"; diff <(echo "$expected") <(echo "$got") || true; status=1
  fi
fi

[ $status = 0 ] && echo "export tables: ok"
exit $status

#!/usr/bin/env bash
# Checks the export tables of the built libraries: the exact names of the
# Windows DLLs (both widths), the Linux shared library's exported set, and
# that the DLLs need nothing but system DLLs.
set -euo pipefail
cd "$(dirname "$0")/.."

kelvara_names="KelvaraSetMessageBoxHandler KelvaraSetNoticeHandler KelvaraSetProgressHandler KelvaraSetProgressNoticeHandler
KelvaraSetSettingsDialogHandler TS_CheckKelvara TS_DelIcFiles TS_DirIcFiles
TS_FileTime TS_Format TS_GetBitTable TS_GetVersion TS_IcCardExit TS_IcCardLock TS_IsFormat TS_ReadBlock
TS_ReadIcFiles TS_ReleaseKelvara TS_SetPortSpeed TS_Test TS_WriteBlock TS_WriteIcFiles"
# The Java native methods of wqn.vorn.icnative.NativeClass with the byte
# count of their arguments: the 32-bit DLL exports them decorated as a 32-bit
# JVM looks them up (_Java_...@N), the 64-bit DLL and the .so plainly.
java_methods="CheckKelvara@8 ReleaseKelvara@8 ReadIcFileIndex@8 WriteIcFileIndex@8 ReadIC@16 WriteIC@16
ICFileDel@12 ICFormat@8 ICFileTime@12 IsProcessExist@12 ShowPro@12 SetText@12 HidePro@8 SetPortSpeed@8"
java_plain=$(for m in $java_methods; do echo "Java_wqn_vorn_icnative_NativeClass_${m%@*}"; done)
java_decorated=$(for m in $java_methods; do echo "_Java_wqn_vorn_icnative_NativeClass_$m"; done)
expected=$(printf '%s\n' $kelvara_names $java_plain | sort)
expected_i686=$(printf '%s\n' $kelvara_names $java_decorated | sort)
status=0

dll_exports() { # objdump, dll
  "$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort
}

for arch in i686 x86_64; do
  dll=build/mingw-$arch/kelvara/Kelvara.dll
  objdump=$arch-w64-mingw32-objdump
  want=$expected
  [ "$arch" = i686 ] && want=$expected_i686
  got=$(dll_exports "$objdump" "$dll")
  if [ "$got" != "$want" ]; then
    echo "export table of $dll differs:"; diff <(echo "$want") <(echo "$got") || true; status=1
  fi
  foreign=$("$objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p' | grep -viE '^(kernel32|user32|advapi32|setupapi|msvcrt|gdi32|api-ms-win-.*|ucrtbase)\.dll$' || true)
  if [ -n "$foreign" ]; then
    echo "$dll needs non-system DLLs: $foreign"; status=1
  fi
done

so=build/debug/kelvara/libkelvara.so
if [ -f "$so" ]; then
  got=$(nm -D --defined-only "$so" | awk '{print $3}' | sort)
  if [ "$got" != "$expected" ]; then
    echo "exported symbols of $so differ:"; diff <(echo "$expected") <(echo "$got") || true; status=1
  fi
fi

[ $status = 0 ] && echo "export tables: ok"
exit $status

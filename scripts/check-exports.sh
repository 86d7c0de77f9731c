#!/usr/bin/env bash
# Checks the built libraries' export tables and what they need:
#   - Kelvara.dll (both widths) and libkelvara.so export exactly the TS_
#     functions, KelvaraReadIcFilesBounded, KelvaraWaitForCard,
#     KelvaraRenameIcFile, the handler setters and the 14 JNI functions,
#     under their undecorated names (the JNI ones decorated in the 32-bit
#     DLL);
#   - Sampora.dll (32-bit) its 21 cdecl functions undecorated
#     (scripts/check-sampora-exports.sh);
#   - the simulated vendor DLLs Gcic32.dll and MCS_SR.DLL their vendors'
#     stdcall functions under their plain names;
#   - every 32-bit DLL is a 32-bit PE (PE32, i386), and every DLL imports
#     only DLLs every Windows has.
set -euo pipefail
cd "$(dirname "$0")/.."

kelvara_names="KelvaraReadIcFilesBounded KelvaraSetMessageBoxHandler KelvaraSetNoticeHandler KelvaraSetProgressHandler KelvaraSetProgressNoticeHandler
KelvaraSetSettingsDialogHandler
KelvaraWaitForCard
KelvaraRenameIcFile
TS_CheckKelvara TS_DelIcFiles TS_DirIcFiles
TS_FileTime TS_Format TS_GetBitTable TS_GetVersion TS_IcCardExit TS_IcCardLock TS_IsFormat TS_ReadBlock
TS_ReadIcFiles TS_ReleaseKelvara TS_SetPortSpeed TS_Test TS_WriteBlock TS_WriteIcFiles"
# The 14 native methods of wqn.vorn.icnative.NativeClass with the byte count
# of their arguments: the 32-bit DLL exports them under their stdcall
# decorations as a 32-bit JVM looks them up (_Java_..._Name@N), the 64-bit
# DLL and libkelvara.so plainly (Java_..._Name).
java_methods="CheckKelvara@8 ReleaseKelvara@8 ReadIcFileIndex@8 WriteIcFileIndex@8 ReadIC@16 WriteIC@16
ICFileDel@12 ICFormat@8 ICFileTime@12 IsProcessExist@12 ShowPro@12 SetText@12 HidePro@8 SetPortSpeed@8"
kelvara_jni_plain=$(for m in $java_methods; do echo "Java_wqn_vorn_icnative_NativeClass_${m%@*}"; done)
kelvara_jni_i686=$(for m in $java_methods; do echo "_Java_wqn_vorn_icnative_NativeClass_$m"; done)
gc481_names="IC_DirectRead IC_DirectWrite IC_Down IC_ExitComm IC_InitComm_Baud IC_InitType IC_Status IC_WhatIsType"
mcs_names="AT45D_BundleReadChar AT45D_BundleWriteChar AT45D_CloseCard AT45D_OpenCard MCS_AutoTest MCS_ExitComm
MCS_InitComm MCS_LED"
system_dlls='kernel32|user32|gdi32|advapi32|setupapi|comctl32|msvcrt|ws2_32'
status=0

sorted() { printf '%s\n' $* | sort; }

dll_exports() { # objdump, dll
  "$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort
}

same() { # what, expected, got
  if [ "$2" != "$3" ]; then
    echo "$1 differs (< expected, > found):"
    diff <(echo "$2") <(echo "$3") || true
    status=1
  fi
}

check_dll() { # arch, dll, expected names (sorted, one a line)
  local arch=$1 dll=$2 want=$3 objdump=$1-w64-mingw32-objdump dump foreign
  if [ ! -f "$dll" ]; then
    echo "$dll not built"; status=1; return
  fi
  dump=$("$objdump" -p "$dll")
  if [ "$arch" = i686 ] && ! { grep -q 'Magic.*010b' <<<"$dump" && grep -q 'file format pei-i386' <<<"$dump"; }; then
    echo "$dll is not a 32-bit PE"; status=1
  fi
  same "export table of $dll" "$want" "$(dll_exports "$objdump" "$dll")"
  foreign=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | grep -viE "^($system_dlls)\.dll$" || true)
  if [ -n "$foreign" ]; then
    echo "$dll needs DLLs that are not the system's: $foreign"; status=1
  fi
}

for arch in i686 x86_64; do
  build=build/mingw-$arch
  if [ "$arch" = i686 ]; then jni=$kelvara_jni_i686; else jni=$kelvara_jni_plain; fi
  check_dll "$arch" "$build/kelvara/Kelvara.dll" "$(sorted $kelvara_names $jni)"
  # (Sampora's names are checked below; here its kind and imports.)
  check_dll "$arch" "$build/sampora/Sampora.dll" "$(dll_exports "$arch-w64-mingw32-objdump" "$build/sampora/Sampora.dll" 2>/dev/null)"
  check_dll "$arch" "$build/sim/gc481/gcic32/Gcic32.dll" "$(sorted $gc481_names)"
  check_dll "$arch" "$build/sim/gc481/gcic32_without_down/Gcic32.dll" "$(sorted ${gc481_names/IC_Down/})"
  check_dll "$arch" "$build/sim/gc481/gcic32_without_direct_write/Gcic32.dll" "$(sorted ${gc481_names/IC_DirectWrite/})"
  check_dll "$arch" "$build/sim/gc481/gcic32_without_init_comm_baud/Gcic32.dll" "$(sorted ${gc481_names/IC_InitComm_Baud/})"
  check_dll "$arch" "$build/sim/gc481/gcic32_without_exit_comm/Gcic32.dll" "$(sorted ${gc481_names/IC_ExitComm/})"
  check_dll "$arch" "$build/sim/mcs/MCS_SR.DLL" "$(sorted $mcs_names)"
done
# Sampora's names: one list, kept by its own script.
./scripts/check-sampora-exports.sh || status=1

so=build/debug/kelvara/libkelvara.so
if [ -f "$so" ]; then
  same "exported symbols of $so" "$(sorted $kelvara_names $kelvara_jni_plain)" \
    "$(nm -D --defined-only "$so" | awk '{print $3}' | sort)"
fi

[ $status = 0 ] && echo "export tables: ok"
exit $status

#!/usr/bin/env bash
# Lists what the 32-bit product DLLs import and compares it with the reviewed
# lists in scripts/imports/: the DLLs must load on Windows XP SP3, so every
# imported function must exist there. A new import fails this check until it
# has been looked up and added to the list, a conscious decision. It also
# checks that every 32-bit DLL of the Windows package asks for no newer
# Windows than XP (5.1) in its PE header: a DLL marked for a later OS or
# subsystem version does not load there.
#
#   scripts/check-imports.sh                list and compare both DLLs
#   scripts/check-imports.sh --list FILE    print what a 32-bit FILE imports
#                                           (OBJDUMP=x86_64-w64-mingw32-objdump
#                                           for a 64-bit one)
set -euo pipefail
cd "$(dirname "$0")/.."
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

# One "dll!Function" line per import, the DLL name in lower case, sorted.
imports() {
  "$objdump" -p "$1" | awk '
    /^[ \t]*DLL Name:/ { dll = tolower($3); next }
    /^[ \t]*vma:/ { next }
    dll != "" && NF == 0 { dll = ""; next }
    dll != "" && NF >= 3 && $1 ~ /^[0-9a-f]+$/ { print dll "!" $3 }
  ' | sort -u
}

if [ "${1:-}" = "--list" ]; then
  imports "$2"
  exit 0
fi

status=0
for pair in kelvara/Kelvara.dll:Kelvara sampora/Sampora.dll:Sampora; do
  dll=build/mingw-i686/${pair%%:*}
  list=scripts/imports/${pair##*:}-i686.txt
  if [ ! -f "$dll" ]; then
    echo "check-imports: $dll not built (cmake --build --preset mingw-i686)" >&2
    status=1
    continue
  fi
  got=$(imports "$dll")
  if [ -z "$got" ]; then
    echo "check-imports: no imports read from $dll" >&2
    status=1
    continue
  fi
  want=$(grep -v '^\s*\(#\|$\)' "$list" | sort -u)
  if [ "$got" != "$want" ]; then
    echo "check-imports: the imports of $dll differ from $list"
    echo "(+ imported but not reviewed, - reviewed but no longer imported):"
    diff <(echo "$want") <(echo "$got") | sed -n 's/^> /  + /p; s/^< /  - /p' || true
    status=1
  fi
done
# The versions of Windows each DLL asks for: OS and subsystem at most 5.1.
for dll in kelvara/Kelvara.dll sampora/Sampora.dll sim/gc481/gcic32/Gcic32.dll sim/mcs/MCS_SR.DLL; do
  dll=build/mingw-i686/$dll
  if [ ! -f "$dll" ]; then
    echo "check-imports: $dll not built (cmake --build --preset mingw-i686)" >&2
    status=1
    continue
  fi
  header=$("$objdump" -p "$dll")
  for kind in OSystem Subsystem; do
    major=$(awk -v k="Major${kind}Version" '$1 == k { print $2 }' <<<"$header")
    minor=$(awk -v k="Minor${kind}Version" '$1 == k { print $2 }' <<<"$header")
    if [ -z "$major" ] || [ -z "$minor" ]; then
      echo "check-imports: no ${kind} version read from $dll"
      status=1
    elif [ "$major" -gt 5 ] || { [ "$major" = 5 ] && [ "$minor" -gt 1 ]; }; then
      echo "check-imports: $dll asks for ${kind/OSystem/OS} version $major.$minor; Windows XP is 5.1"
      status=1
    fi
  done
done
[ $status = 0 ] && echo "check-imports: both DLLs import only the reviewed functions; every DLL loads on XP (5.1)"
exit $status

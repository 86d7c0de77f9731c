#!/usr/bin/env bash
# Builds the Windows distribution zips (target `package` of the presets
# mingw-i686 and mingw-x86_64), checks what they hold (each DLL and tool the
# one its preset built, of its width), and links a small C
# program against each archive's import libraries, the MSVC ones and the
# mingw ones: the program must then import the functions by their plain
# names from Kelvara.dll and Sampora.dll.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/wqn-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0

cat >"$work/caller.c" <<'C'
#include "kelvara.h"
#include "sampora.h"
/* Takes the functions' addresses, so each needs its import. */
void *volatile used[] = {(void *)&TS_CheckKelvara, (void *)&TS_ReadBlock, (void *)&KelvaraSetNoticeHandler,
                         (void *)&Init, (void *)&ReadCardFile};
int main(void) { return used[0] == 0; }
C

for pair in i686:win32 x86_64:win64; do
  arch=${pair%%:*}
  name=Kelvara-Sampora-1.0-${pair##*:}
  cmake --build --preset "mingw-$arch" --target package >/dev/null
  zip=build/mingw-$arch/$name.zip
  want="$name/README-windows.md
$name/bin/Kelvara.dll
$name/bin/Sampora.dll
$name/bin/kelvara.exe
$name/bin/sampora.exe
$name/include/kelvara.h
$name/include/sampora.h
$name/lib/Kelvara.def
$name/lib/Kelvara.lib
$name/lib/Sampora.def
$name/lib/Sampora.lib
$name/lib/libKelvara.dll.a
$name/lib/libSampora.dll.a
$name/simulators/Gcic32.dll
$name/simulators/MCS_SR.DLL"
  want=$(sort <<<"$want")
  got=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
  if [ "$got" != "$want" ]; then
    echo "check-windows-package: $zip holds other files:"
    diff <(echo "$want") <(echo "$got") || true
    status=1
    continue
  fi
  (cd "$work" && cmake -E tar xf "$OLDPWD/$zip")
  # The DLLs are this preset's own, as it built them (the win32 ones are
  # those scripts/wine32-tests.sh runs the ABI test against).
  if [ "$arch" = i686 ]; then format=pei-i386; else format=pei-x86-64; fi
  for pair in bin/Kelvara.dll:kelvara/Kelvara.dll bin/Sampora.dll:sampora/Sampora.dll \
              bin/kelvara.exe:tools/kelvara/kelvara.exe bin/sampora.exe:tools/sampora/sampora.exe \
              simulators/Gcic32.dll:sim/gc481/gcic32/Gcic32.dll simulators/MCS_SR.DLL:sim/mcs/MCS_SR.DLL; do
    packed=$work/$name/${pair%%:*}
    if ! "$arch-w64-mingw32-objdump" -f "$packed" | grep -q "file format $format"; then
      echo "check-windows-package: $zip: ${pair%%:*} is not $format"
      status=1
    fi
    if ! cmp -s "$packed" "build/mingw-$arch/${pair##*:}"; then
      echo "check-windows-package: $zip: ${pair%%:*} differs from build/mingw-$arch/${pair##*:}"
      status=1
    fi
  done
  for libs in "Kelvara.lib Sampora.lib" "libKelvara.dll.a libSampora.dll.a"; do
    exe=$work/caller-$arch-${libs%%.*}.exe
    set -- $libs
    if ! "$arch-w64-mingw32-gcc" -I"$work/$name/include" "$work/caller.c" "$work/$name/lib/$1" "$work/$name/lib/$2" \
         -o "$exe"; then
      echo "check-windows-package: $arch caller does not link with $libs"
      status=1
      continue
    fi
    imports=$(OBJDUMP=$arch-w64-mingw32-objdump scripts/check-imports.sh --list "$exe")
    for import in kelvara.dll!TS_CheckKelvara kelvara.dll!TS_ReadBlock kelvara.dll!KelvaraSetNoticeHandler \
                  sampora.dll!Init sampora.dll!ReadCardFile; do
      if ! grep -qx "$import" <<<"$imports"; then
        echo "check-windows-package: $arch caller linked with $libs does not import $import"
        status=1
      fi
    done
  done
done
[ $status = 0 ] && echo "check-windows-package: both zips complete, their DLLs the presets' own; their import libraries link by plain names"
exit $status

#!/usr/bin/env bash
# Runs the portable test suites built as 64-bit Windows programs (preset
# mingw-x86_64) under Wine: the card file system with the Win32 file layer,
# and the simulated card.
set -euo pipefail
cd "$(dirname "$0")/.."

wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; break; fi
done
if [ -z "$wine" ]; then
  echo "wine-tests: no Wine found (Debian package wine64)" >&2
  exit 1
fi

# A Chinese locale gives the programs code page 936, as on the target systems.
export WINEPREFIX="$PWD/build/mingw-x86_64/wineprefix" WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
status=0
for exe in build/mingw-x86_64/tests/storage/storage_tests.exe build/mingw-x86_64/tests/sim/sim_card_tests.exe; do
  echo "== $exe under Wine"
  if ! timeout 900 "$wine" "$exe" --gtest_brief=1; then
    status=1
  fi
done
"$(dirname "$wine")/wineserver" -k 2>/dev/null || wineserver -k 2>/dev/null || true
exit $status

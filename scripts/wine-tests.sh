#!/usr/bin/env bash
# Runs the portable test suites built as 64-bit Windows programs (preset
# mingw-x86_64) under Wine: the card file system with the Win32 file layer,
# the simulated card, and the host bindings' windows and process check.
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
# The host bindings' windows (notice, settings dialog) need a display: a
# virtual one, and a Wine session started on it rather than the one above.
"$(dirname "$wine")/wineserver" -k 2>/dev/null || true
"$(dirname "$wine")/wineserver" -w 2>/dev/null || true
echo "== build/mingw-x86_64/tests/host_win32/host_win32_tests.exe under Wine on a virtual display"
if ! timeout 900 xvfb-run -a "$wine" build/mingw-x86_64/tests/host_win32/host_win32_tests.exe --gtest_brief=1; then
  status=1
fi
"$(dirname "$wine")/wineserver" -k 2>/dev/null || wineserver -k 2>/dev/null || true
exit $status

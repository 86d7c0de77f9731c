#!/usr/bin/env bash
# Runs the 32-bit product under 32-bit Wine: the calling-convention test of
# every export (tests/abi) against the DLLs of the Windows package zip of the
# preset mingw-i686, in a fresh win32 prefix with an X server of its own.
#
# Where the kernel cannot run 32-bit programs (IA-32 emulation switched off),
# the 32-bit Wine processes run under qemu-i386 user-mode emulation through
# binfmt_misc (scripts/install-deps.sh registers it), with the small
# scripts/wine32/noreplace.c preloaded into them. Every program start then
# costs seconds, so only this short run is made here; the full suites run
# under 64-bit Wine (scripts/wine-tests.sh). Wine's background services may
# crash noisily under emulation; the program's output and exit code count.
#
#   scripts/wine32-tests.sh            build, run, print "N passed, M failed"
#   WQN_WINE_KEEP=1 ...                keep the prefix (its path is shown)
# Exits 0 with a "skipped" line when this machine cannot run 32-bit Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

wine=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver
skip() {
  echo "wine32-tests: skipped: $*"
  exit 0
}
[ -x "$wine" ] || skip "no 32-bit Wine ($wine; Debian package wine32:i386)"
command -v Xvfb >/dev/null || skip "no Xvfb"
if ! "$wine" --version >/dev/null 2>&1; then
  skip "32-bit programs do not start here (no IA-32 emulation and no qemu-i386 binfmt entry:" \
    "run scripts/install-deps.sh as root)"
fi

t0=$(date +%s)
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 --target package >/dev/null
build=$root/build/mingw-i686
zip=$(ls "$build"/Kelvara-Sampora-*-win32.zip)

work=$(mktemp -d /tmp/wqn-wine32.XXXXXX)
xvfb_pid=""
cleanup() {
  WINEPREFIX=$work/prefix "$wineserver" -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  if [ "${WQN_WINE_KEEP:-}" = 1 ]; then
    echo "wine32-tests: prefix kept in $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# The DLLs the customer gets: the zip's, unpacked.
(cd "$work" && cmake -E tar xf "$zip")
package=$(ls -d "$work"/Kelvara-Sampora-*-win32)

# Under emulation: the shim, built for the emulated processes. (Natively
# the variable is simply not read.)
shim=$work/noreplace32.so
if command -v i686-linux-gnu-gcc >/dev/null; then
  i686-linux-gnu-gcc -O2 -shared -fPIC scripts/wine32/noreplace.c -o "$shim"
  export QEMU_SET_ENV=LD_PRELOAD=$shim
fi

display=""
for n in $(seq 141 190); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "wine32-tests: no free X display" >&2; exit 1; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

export WINEARCH=win32 WINEPREFIX=$work/prefix WINEDEBUG=-all DISPLAY=:$display
# No debugger, no Mono or Gecko installers: the test needs none of them.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="

t1=$(date +%s)
timeout 600 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 || true
"$wineserver" -w
[ -f "$WINEPREFIX/system.reg" ] || { echo "wine32-tests: wineboot made no prefix"; tail "$work/wineboot.log"; exit 1; }
# COM1..COM6 lead to a directory, which no program can open: the readers'
# search finds no port at once instead of probing the host's serial ports.
# (The prefix is written while no wineserver runs.)
mkdir -p "$work/no-port"
awk -v dir="$work/no-port" '
  function ports() { for (n = 1; n <= 6; n++) printf "\"COM%d\"=\"%s\"\n", n, dir; done = 1 }
  pending && /^#time=/ { print; ports(); pending = 0; next }
  pending { ports(); pending = 0 }
  { print }
  /^\[Software\\\\Wine\\\\Ports\]/ { pending = 1 }
  END { if (pending) ports(); if (!done) { print "\n[Software\\\\Wine\\\\Ports]"; ports() } }
' "$WINEPREFIX/system.reg" >"$work/system.reg"
mv "$work/system.reg" "$WINEPREFIX/system.reg"
grep -q '^"COM6"=' "$WINEPREFIX/system.reg" || { echo "wine32-tests: COM ports not mapped"; exit 1; }
t2=$(date +%s)
echo "wine32-tests: fresh win32 prefix ready in $((t2 - t1)) s"

to_windows() { echo "Z:$1" | tr / '\\'; }
status=0
timeout 600 "$wine" "$(to_windows "$build/tests/abi/abi_tests.exe")" "$(to_windows "$package")" \
  >"$work/abi.out" 2>"$work/abi.err" || status=$?
"$wineserver" -k 2>/dev/null || true
t3=$(date +%s)
grep -v '^ok ' "$work/abi.out" || true
line=$(grep -o '[0-9]* passed, [0-9]* failed' "$work/abi.out" || true)
if [ "$status" != 0 ] || [ -z "$line" ]; then
  echo "wine32-tests: abi_tests FAILED (exit $status)"
  [ -n "$line" ] || { echo "(no result line; its error output:)"; tail -20 "$work/abi.err"; }
  status=1
fi
echo "wine32-tests: abi_tests: ${line:-0 passed, 1 failed} in $((t3 - t2)) s" \
  "(build $((t1 - t0)) s, prefix $((t2 - t1)) s)"
exit $status

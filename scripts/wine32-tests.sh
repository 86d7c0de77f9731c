#!/usr/bin/env bash
# Runs the 32-bit product under 32-bit Wine, in a fresh win32 prefix with an
# X server of its own: the calling-convention test of every export
# (tests/abi) against the DLLs of the Windows package zip of the preset
# mingw-i686, and a smoke run of the kelvara tool with those DLLs on a card
# image (the simulated GC481 reader): a file onto the card and back.
#
# Where the kernel cannot run 32-bit programs (IA-32 emulation switched off),
# the 32-bit Wine processes run under qemu-i386 user-mode emulation through
# binfmt_misc (scripts/install-deps.sh registers it), with the small
# scripts/wine32/noreplace.c preloaded into them. Every program start then
# costs seconds, so only this short run is made here; the full suites run
# under 64-bit Wine (scripts/wine-tests.sh). Wine's background services may
# crash noisily under emulation; the program's output and exit code count.
#
#   scripts/wine32-tests.sh            build, run both, print "N passed, M failed"
#   WQN_WINE_KEEP=1 ...                keep the prefix (its path is shown)
# Exits 0 with a "skipped" line when this machine cannot run 32-bit Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/wine-common.sh

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
  finish_work "$work"
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

start_xvfb 141 190 "$work/xvfb.log"

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
passed=0
failed=0
# Runs a Windows program with a time limit. Under emulation Wine now and then
# hangs (a crashed background service); a run that times out is made once
# more, and says so.
run32() { # seconds, program, arguments...
  local limit=$1 rc
  shift
  for attempt in 1 2; do
    rc=0
    timeout "$limit" "$wine" "$@" || rc=$?
    [ "$rc" = 124 ] || return "$rc"
    echo "wine32-tests: $(basename "${1//\\//}") timed out after $limit s (attempt $attempt)" >&2
    "$wineserver" -k 2>/dev/null || true
  done
  return 124
}
check() { # name, status
  if [ "$2" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "wine32-tests: $1 FAILED"; fi
}

# The ABI test: one line per export that fails, its summary line.
status=0
run32 180 "$(to_windows "$build/tests/abi/abi_tests.exe")" "$(to_windows "$package")" \
  >"$work/abi.out" 2>"$work/abi.err" || status=$?
tr -d '\r' <"$work/abi.out" | grep -v '^ok ' || true
grep -q ' passed, 0 failed' "$work/abi.out" || { [ "$status" != 0 ] || status=1; tail -5 "$work/abi.err"; }
check abi_tests "$status"
t3=$(date +%s)

# A smoke run of one scenario end to end: the kelvara tool (32-bit) with
# the zip's Kelvara.dll and its simulated GC481 library beside it, on a card
# image file: a file copied onto the blank card (formatted on the spot) and
# back. Each program start
# costs seconds under emulation, so no more than this.
smoke=$work/smoke
mkdir -p "$smoke/back"
cp "$package/bin/Kelvara.dll" "$package/simulators/Gcic32.dll" "$build/tools/kelvara/kelvara.exe" "$smoke/"
printf 'Kelvara.dll under 32-bit Wine\r\n' >"$smoke/file.txt"
status=0
(
  cd "$smoke"
  export WQN_GC481_IMAGE=$(to_windows "$smoke/card.img")
  for command in "put \\smoke $(to_windows "$smoke/file.txt")" "get $(to_windows "$smoke/back") \\smoke\\file.txt"; do
    # shellcheck disable=SC2086 # the words of the command
    run32 180 kelvara.exe $command </dev/null >>"$work/smoke.out" 2>>"$work/smoke.err" ||
      { echo "wine32-tests: kelvara $command failed"; exit 1; }
  done
  cmp file.txt back/file.txt
) || status=1
check smoke "$status"
"$wineserver" -k 2>/dev/null || true
t4=$(date +%s)

echo "wine32-tests: $passed passed, $failed failed" \
  "(prefix $((t2 - t1)) s, abi_tests $((t3 - t2)) s, smoke $((t4 - t3)) s; build $((t1 - t0)) s)"
[ "$failed" = 0 ]

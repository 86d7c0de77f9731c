#!/usr/bin/env bash
# Runs the Windows build (preset mingw-x86_64) under Wine, in a fresh Wine
# prefix in a temporary directory with an X server of its own (Xvfb):
#   - the portable suites as Windows programs (card file system, simulated
#     card, vendor adapters, USB channel, the host bindings' windows and
#     process check, Kelvara.dll's windows on the screen with screenshots in
#     build/screenshots);
#   - the end-to-end suites (serial reader, also on paced lines; the entry
#     gate with threads and posted window messages; the Java native methods;
#     the readers of every PortMode; Sampora): the same Linux test programs
#     that run natively, told by
#     WQN_WINE_BUILD to start the Windows library hosts under Wine. The
#     simulators run as Linux programs on ptys; the prefix maps COM1..COM6 to
#     symlinks in $WQN_WINE_PORTS that the tests point at them.
# The Chinese locale gives the programs code page 936, as on the target
# systems. Builds what it needs first.
#
#   scripts/wine-tests.sh                 everything
#   scripts/wine-tests.sh SUITE...        only these: storage sim vendor usb
#                                         host screen tools serial threads
#                                         java readers sampora
#   WQN_WINE_KEEP=1 scripts/wine-tests.sh keep the prefix (its path is shown)
#   WQN_WINE_ONLY=PATTERN / WQN_WINE_SKIP=PATTERN
#                                         run only / leave out the end-to-end
#                                         tests matching the GoogleTest
#                                         patterns (a:b), e.g. 'LineFileE2e.*'
#   WQN_WINE_REPEAT=N                     run the end-to-end tests N times
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/wine-common.sh

wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; break; fi
done
if [ -z "$wine" ]; then
  echo "wine-tests: no Wine found (Debian package wine64)" >&2
  exit 1
fi
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

suites=("$@")
[ ${#suites[@]} = 0 ] && suites=(storage sim vendor usb host screen tools serial threads java readers sampora)
wants() { [[ " ${suites[*]} " == *" $1 "* ]]; }

# What the suites need: the Windows programs and the Linux test programs.
cmake --preset mingw-x86_64 >/dev/null
cmake --build --preset mingw-x86_64
if wants serial || wants threads || wants java || wants readers || wants sampora; then
  cmake --preset debug >/dev/null
  cmake --build --preset debug --target kelvara_e2e_tests kelvara_thread_tests api_e2e_tests e2e_readers_tests \
    sampora_e2e_tests
fi

work=$(mktemp -d /tmp/wqn-wine.XXXXXX)
xvfb_pid=""
watch_pid=""
cleanup() {
  [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  finish_work "$work"
}
trap cleanup EXIT

# An X server of our own for the windows the programs open.
start_xvfb 90 140 "$work/xvfb.log"

export WINEPREFIX=$work/prefix WINEDEBUG=-all LC_ALL=zh_CN.UTF-8 DISPLAY=:$display
# No Mono or Gecko installers at start-up: the programs need neither.
export WINEDLLOVERRIDES="mscoree=;mshtml="
export WQN_WINE=$wine WQN_WINE_BUILD=$root/build/mingw-x86_64 WQN_WINE_PORTS=$work/ports
# Where screenshots of the programs' windows go (scripts/wine-screenshot.sh):
# a program asks for one with an empty NAME.request file there and waits
# until it is gone; the screen is then in NAME.png.
export WQN_SCREENSHOTS=$root/build/screenshots
mkdir -p "$WQN_SCREENSHOTS"
rm -f "$WQN_SCREENSHOTS"/*.request
(
  while :; do
    for request in "$WQN_SCREENSHOTS"/*.request; do
      [ -e "$request" ] || continue
      "$root/scripts/wine-screenshot.sh" "${request%.request}.png" >>"$work/screenshots.log" 2>&1 || true
      rm -f "$request"
    done
    sleep 0.1
  done
) &
watch_pid=$!

started=$(date +%s)
"$wine" wineboot --init >"$work/wineboot.log" 2>&1
"$wineserver" -w
# The symbols of the title bars' buttons (Debian's fonts-wine), which the
# prefix does not get by itself.
for font in /usr/share/wine/fonts/marlett.ttf; do
  [ -e "$font" ] && ln -sf "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
done

# COM1..COM6 lead to symlinks the tests point at the simulators' ptys (none
# at first); Chinese text in dialogs is drawn with the CJK font.
# (A link to a directory: a port that cannot be opened; a dangling link would
# make Wine open /dev/ttyS<n-1> instead.)
mkdir -p "$WQN_WINE_PORTS/absent"
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
  for n in 1 2 3 4 5 6; do
    ln -sfn "$WQN_WINE_PORTS/absent" "$WQN_WINE_PORTS/com$n"
    ln -sfn "$WQN_WINE_PORTS/com$n" "$WINEPREFIX/dosdevices/com$n"
    printf '"COM%s"="%s"\r\n' "$n" "$WQN_WINE_PORTS/com$n"
  done
  # Windows in a desktop window of Wine's own, drawn with their title bars
  # (there is no window manager), for screenshots.
  printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="Default"\r\n'
  printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"Default"="1024x768"\r\n'
  # A program that crashes ends at once instead of waiting in the debugger's
  # window for somebody.
  printf '\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]\r\n'
  printf '"Debugger"=""\r\n"Auto"="0"\r\n'
  printf '\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n'
  for font in "MS Shell Dlg" "MS Shell Dlg 2" "MS Sans Serif" "Microsoft Sans Serif" Tahoma SimSun NSimSun \
              "宋体" "新宋体" "Segoe UI"; do
    printf '"%s"="WenQuanYi Micro Hei"\r\n' "$font"
  done
} | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } >"$work/prefix.reg"
"$wine" regedit /S "$(echo "Z:$work/prefix.reg" | tr / '\\')"
# Start again so the port mapping is read; keep the server up between the
# many short programs that follow.
"$wineserver" -k
"$wineserver" -p 2>>"$work/wineserver.log"
"$wine" cmd /c exit 0 >/dev/null 2>&1 || true
echo "wine-tests: fresh prefix ready in $(( $(date +%s) - started )) s"

status=0
run() { # name, command...
  local name=$1 t0
  shift
  t0=$(date +%s)
  echo "== $name"
  if declare -F "$1" >/dev/null; then
    "$@" || { echo "wine-tests: $name FAILED"; status=1; }
  elif ! timeout 1200 "$@"; then
    echo "wine-tests: $name FAILED"
    status=1
  fi
  echo "== $name: $(( $(date +%s) - t0 )) s"
}
exe() { echo "$WQN_WINE_BUILD/$1"; }

wants storage && run storage "$wine" "$(exe tests/storage/storage_tests.exe)" --gtest_brief=1
wants storage && run card "$wine" "$(exe tests/card/card_tests.exe)" --gtest_brief=1
wants sim && run sim "$wine" "$(exe tests/sim/sim_card_tests.exe)" --gtest_brief=1
wants vendor && run vendor "$wine" "$(exe tests/readers/vendor/vendor_tests.exe)" --gtest_brief=1
wants usb && run usb "$wine" "$(exe tests/readers/usb/usb_win32_tests.exe)" --gtest_brief=1
wants host && run host "$wine" "$(exe tests/platform/win32/win32_view_tests.exe)" --gtest_brief=1
# Kelvara.dll's windows on the screen, photographed into $WQN_SCREENSHOTS.
wants screen && run screen "$wine" "$(exe tests/platform/win32/win32_screen_tests.exe)" --gtest_brief=1
# kelvara.exe and sampora.exe as the Windows zip ships them: a file onto a
# new card image and back, the reader listing (the COM ports of the registry
# and the vendor libraries, none answering here; --port for one run), the
# Sampora reader's port from --config, the versions.
tools_suite() {
  local dir=$work/tools kelvara=$work/tools/bin/kelvara.exe sampora=$work/tools/bin/sampora.exe
  mkdir -p "$dir/back" "$dir/bin" && cd "$dir" || return 1
  cp "$(exe tools/kelvara/kelvara.exe)" "$(exe tools/sampora/sampora.exe)" "$(exe kelvara/Kelvara.dll)" \
    "$(exe sampora/Sampora.dll)" bin/ || return 1
  printf '<return year="2025"><tax>8120</tax></return>\r\n' > return.xml
  "$wine" "$kelvara" --batch --image card.img format -- put '\tax' return.xml -- get back '\tax\return.xml' -- ls -l &&
    cmp return.xml back/return.xml &&
    { "$wine" "$kelvara" --batch --json readers > readers.json || true; } &&
    grep -qi '"port":"com1"' readers.json &&
    { "$wine" "$kelvara" --batch --port COM4 --json readers > port.json || true; } &&
    grep -qi '"port":"com4"' port.json &&
    printf '[reader]\r\nport=5\r\nbaud=9600\r\n' > s.ini &&
    { "$wine" "$sampora" --config s.ini open-reader 2> sampora.err; [ $? = 1 ]; } &&
    grep -q 'COM5' sampora.err &&
    "$wine" "$kelvara" --version | grep -q '^kelvara 1' &&
    "$wine" "$sampora" --version | grep -q '^sampora 1'
  local result=$?
  cd "$root"
  [ $result = 0 ] || { echo "tools: what the tools printed:"; cat "$dir"/*.json "$dir"/*.err 2>/dev/null; }
  return $result
}
wants tools && run tools tools_suite
# The end-to-end programs are Linux programs driving the Windows hosts:
# name, program, the tests it runs there, the tests it leaves out.
e2e() {
  local name=$1 program=$2 only=${WQN_WINE_ONLY:-$3} skip=$4
  run "$name" "$program" --gtest_brief=1 --gtest_repeat="${WQN_WINE_REPEAT:-1}" \
    --gtest_filter="$only:-$skip:${WQN_WINE_SKIP:-}"
}
# (The kelvara tool, and with it the trace it writes, is a Linux program: not
# part of the Windows run.)
wants serial && e2e serial build/debug/tests/e2e/kelvara_e2e_tests '*' 'ToolE2e.*:TraceE2e.*'
wants threads && e2e threads build/debug/tests/e2e/kelvara_thread_tests '*' ''
# The Java native methods of Kelvara.dll called as a JVM calls them.
wants java && e2e java build/debug/tests/api/api_e2e_tests 'JavaMethods.*' ''
wants readers && e2e readers build/debug/tests/e2e/readers/e2e_readers_tests '*' ''
wants sampora && e2e sampora build/debug/tests/sampora/sampora_e2e_tests '*' ''

exit $status

#!/usr/bin/env bash
# The main job: the maker's serial reader simulated on a pty over a card
# image, and the kelvara tool walking through a real use of the library:
# find the reader, format the card, copy files onto it, list them, copy them
# back, show the allocation bitmap, the space figures and a check of the
# card. The card image is kept (KELVARA_CARD_IMAGE, default
# build/main-job/card.img), so a second run finds the files there.
#
# Run it as root (or with sudo) on a fresh machine so it can install the
# packages; --no-deps skips that step once they are installed.
set -euo pipefail
cd "$(dirname "$0")/.."

deps=1
for arg in "$@"; do
  case $arg in
    --no-deps) deps=0 ;;
    *) echo "usage: $0 [--no-deps]" >&2; exit 2 ;;
  esac
done
if [ "$deps" = 1 ]; then ./scripts/install-deps.sh; fi
cmake --preset release >/dev/null
cmake --build --preset release --target kelvara-tool kelvara-serial-sim

work=build/main-job
mkdir -p "$work/in" "$work/out"
image=${KELVARA_CARD_IMAGE:-$work/card.img}
kelvara=build/release/tools/kelvara/kelvara
sim=build/release/sim/serial/kelvara-serial-sim

# Some tax data to carry.
printf '<return year="2024"><income>52000</income><tax>7800</tax></return>\n' > "$work/in/Return2024.xml"
printf '<return year="2025"><income>54100</income><tax>8120</tax></return>\n' > "$work/in/Return2025.xml"
head -c 5000 /dev/urandom > "$work/in/receipts.bin"

# The simulator prints its pty's path on its first line. The file of an
# earlier run must not answer for this one: it goes first, and only a whole
# line naming a device that exists counts.
rm -f "$work/sim.out"
"$sim" --image "$image" --pace --log "$work/frames.log" > "$work/sim.out" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
port=
for _ in $(seq 100); do
  if [ "$(wc -l < "$work/sim.out" 2>/dev/null || echo 0)" -ge 1 ]; then
    port=$(head -n 1 "$work/sim.out")
    [ -e "$port" ] && break
    port=
  fi
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "main job: the simulator gave no serial port (see $work/sim.out)" >&2
  exit 1
fi
export WQN_COM1=$port
export WQN_COM2=/nonexistent/com2
export KELVARA_SETTINGS="$PWD/$work/settings.ini"
echo "simulated serial reader on $WQN_COM1, card image $image"

run() { echo; echo "\$ kelvara $*"; "$kelvara" --batch "$@"; }
run check -- format -- isformat
run put '\tax' "$work/in/*.xml" -- put '\tax\2024' "$work/in/receipts.bin"
run ls
run time return2025.xml
run get "$work/out" '\tax\*.*'
run bitmap
run df -- fsck
run settings
run rm '\tax\2024\*.*' -- ls

for f in Return2024.xml Return2025.xml receipts.bin; do
  cmp "$work/in/$f" "$work/out/$(echo "$f" | tr 'A-Z' 'a-z')"
done
echo
echo "main job done: every file came back byte for byte"

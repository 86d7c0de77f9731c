#!/usr/bin/env bash
# The fuzz job: builds the fuzz targets (preset fuzz: clang libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer), then
#   1. replays every seed corpus in fuzz/corpus,
#   2. fuzzes each target for SECONDS seconds (two at a time), starting from
#      its corpus; new inputs go to build/fuzz/found/<target>, a failing input
#      to build/fuzz/artifacts,
#   3. measures the line coverage of the parser files over the corpora and
#      what was found (preset fuzz-coverage, clang source-based coverage).
# Usage: scripts/fuzz.sh [SECONDS] (default 30). Exit status 1 when a target
# failed or crashed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
targets=(card_index serial_reply usb_reply sampora_ring settings_ini)
# The files each target exists to cover.
declare -A parsers=(
  [card_index]="kelvara/storage/FileIndex.cpp"
  [serial_reply]="kelvara/readers/protocol/ReaderFrame.cpp kelvara/readers/serial/ReplyWait.cpp"
  [usb_reply]="kelvara/readers/usb/UsbFrames.cpp kelvara/readers/usb/UsbReader.cpp"
  [sampora_ring]="sampora/ReceiveRing.cpp"
  [settings_ini]="kelvara/platform/posix/IniText.cpp"
)
llvm_tool() {
  for candidate in "$1" "$1-14"; do
    if command -v "$candidate" >/dev/null; then echo "$candidate"; return; fi
  done
  echo "fuzz: $1 not found (Debian package llvm)" >&2
  exit 1
}
profdata=$(llvm_tool llvm-profdata)
cov=$(llvm_tool llvm-cov)

nice cmake --preset fuzz >/dev/null
nice cmake --build --preset fuzz
out=build/fuzz
mkdir -p "$out/artifacts"
status=0

echo "== replaying the corpora"
for t in "${targets[@]}"; do
  if ! "$out/fuzz/fuzz_$t" -runs=0 "fuzz/corpus/$t" >"$out/replay-$t.log" 2>&1; then
    echo "fuzz_$t fails on its corpus:"; tail -30 "$out/replay-$t.log"; status=1
  else
    echo "fuzz_$t: $(grep -c . <(ls "fuzz/corpus/$t")) inputs"
  fi
done

echo "== fuzzing each target for $seconds s"
run() {
  local t=$1
  mkdir -p "$out/found/$t"
  if nice "$out/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
      -artifact_prefix="$out/artifacts/$t-" "$out/found/$t" "fuzz/corpus/$t" >"$out/fuzz-$t.log" 2>&1; then
    echo "fuzz_$t: $(grep -E '^stat::number_of_executed_units' "$out/fuzz-$t.log" | awk '{print $2}') executions, no failure"
  else
    echo "fuzz_$t FAILED:"; grep -E 'ERROR|property failed|SUMMARY|Test unit written' "$out/fuzz-$t.log" | head -20
    return 1
  fi
}
pids=()
for t in "${targets[@]}"; do
  run "$t" & pids+=($!)
  if [ ${#pids[@]} -ge 2 ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done

echo "== line coverage of the parser files"
nice cmake --preset fuzz-coverage >/dev/null
nice cmake --build --preset fuzz-coverage >/dev/null
cdir=build/fuzz-coverage
rm -rf "$cdir/profiles"; mkdir -p "$cdir/profiles"
objects=()
files=()
for t in "${targets[@]}"; do
  LLVM_PROFILE_FILE="$cdir/profiles/$t.profraw" "$cdir/fuzz/fuzz_$t" "fuzz/corpus/$t" "$out/found/$t" >/dev/null 2>&1 ||
    LLVM_PROFILE_FILE="$cdir/profiles/$t.profraw" "$cdir/fuzz/fuzz_$t" "fuzz/corpus/$t" >/dev/null
  objects+=(-object "$cdir/fuzz/fuzz_$t")
  for f in ${parsers[$t]}; do files+=("$PWD/$f"); done
done
"$profdata" merge -sparse "$cdir"/profiles/*.profraw -o "$cdir/profiles/all.profdata"
"$cov" report -instr-profile="$cdir/profiles/all.profdata" "${objects[@]:1}" "${files[@]}" >"$cdir/report.txt"
# Lines, missed lines and line coverage of each file (columns 8 to 10).
awk 'NR > 2 && NF >= 10 && $1 !~ /^-/ {printf "%-45s %6s lines %5s missed %8s\n", $1, $8, $9, $10}' "$cdir/report.txt" |
  sed 's|'"$PWD"'/||'
exit $status

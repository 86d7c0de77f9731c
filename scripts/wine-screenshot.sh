#!/usr/bin/env bash
# Saves a picture of the whole X screen as PNG: what Windows programs under
# Wine show on the X server of scripts/wine-tests.sh (its DISPLAY), or on
# another one given as the second argument.
#   scripts/wine-screenshot.sh build/screenshots/notice.png [:95]
set -euo pipefail
out=${1:?usage: wine-screenshot.sh OUT.png [DISPLAY]}
display=${2:-${DISPLAY:?no DISPLAY: give the X display}}
mkdir -p "$(dirname "$out")"
import -display "$display" -window root "$out"

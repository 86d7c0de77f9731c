#!/usr/bin/env bash
# Photographs Kelvara.dll's windows under Wine (scripts/wine-tests.sh
# screen, which saves the whole screen for each in build/screenshots) and
# puts each picture, cut to the windows on it, in docs/images for
# docs/windows-dialogs.md.
#   scripts/dialog-pictures.sh
set -euo pipefail
cd "$(dirname "$0")/.."
rm -f build/screenshots/*.png
scripts/wine-tests.sh screen
mkdir -p docs/images
for shot in build/screenshots/*.png; do
  name=$(basename "$shot")
  # -trim cuts away the desktop's colour around the windows; a small margin
  # of it stays.
  convert "$shot" -trim +repage -bordercolor "$(convert "$shot" -format '%[pixel:p{0,0}]' info:)" -border 12 \
    -strip "docs/images/windows-$name"
  echo "docs/images/windows-$name"
done

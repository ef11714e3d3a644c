#!/usr/bin/env bash
# Renews the pictures in docs/: the setup dialog with the sample loaded (real FLTK on a private
# Xvfb, captured with ImageMagick's import), the built-in sample picture, and its engravings,
# classic and dithered, at the default 10 steps per column and on a coarse line of 2.
# Usage: scripts/screenshot.sh [BUILD_DIR]   (default build; builds what it needs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" -j "$(nproc)" --target host-sim ui_fltk_test
mkdir -p docs
ENGRAVING_UI=fltk ENGRAVING_SCREENSHOT="$PWD/docs/setup-dialog.png" \
  "$build/tests/ui/ui_fltk_test" --gtest_also_run_disabled_tests \
  --gtest_filter='*DISABLED_ScreenshotForTheDocs'
"$build/host-sim" sample docs/sample.png
"$build/host-sim" engrave --gcode /dev/null --image docs/sample-engraved.png
"$build/host-sim" engrave --dither --gcode /dev/null --image docs/sample-engraved-dithered.png
# A coarse machine: 2 steps per picture column.
"$build/host-sim" engrave --width 2 --height 1.6 --stepover 0.02 --steps-per-unit-y 50 \
  --gcode /dev/null --image docs/sample-coarse.png
"$build/host-sim" engrave --width 2 --height 1.6 --stepover 0.02 --steps-per-unit-y 50 --dither \
  --gcode /dev/null --image docs/sample-coarse-dithered.png
# A photo engraved dithered (4 steps per column), at neutral settings and with its shadows
# lifted by a gamma of 1.5, side by side; each at half size, a pixel the mean of 2 x 2 dots, as
# the eye sees the engraving from a step back (netpbm, installed by setup.sh).
photo=${ENGRAVING_TESTDATA_DIR:-../shared/testdata}/jpeg/testorig.jpg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for run in "neutral" "lifted --gamma 1.5"; do
  read -r name adjustments <<<"$run"
  # shellcheck disable=SC2086  # the adjustments are separate words
  "$build/host-sim" engrave "$photo" --dither --aspect --width 9.08 --stepover 0.01 $adjustments \
    --gcode /dev/null --image "$work/$name.png" >/dev/null
  pngtopnm "$work/$name.png" | pamscale -reduce 2 2>/dev/null >"$work/$name.pgm"
done
height=$(pamfile "$work/neutral.pgm" | awk '{print $6}')
pgmmake 0 12 "$height" >"$work/gap.pgm"
pnmcat -lr "$work/neutral.pgm" "$work/gap.pgm" "$work/lifted.pgm" | pnmtopng >docs/photo-shadows-lifted.png
echo "docs/setup-dialog.png docs/sample.png docs/sample-engraved*.png docs/sample-coarse*.png" \
  "docs/photo-shadows-lifted.png renewed"

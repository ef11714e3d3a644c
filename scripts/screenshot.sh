#!/usr/bin/env bash
# Renews the pictures in docs/: the setup dialog with the sample loaded (real FLTK on a private
# Xvfb, captured with ImageMagick's import), the built-in sample picture, and its engraving.
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
echo "docs/setup-dialog.png docs/sample.png docs/sample-engraved.png renewed"

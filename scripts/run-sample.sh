#!/usr/bin/env bash
# Sets everything up and engraves the built-in sample picture through host-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
mkdir -p out
build/host-sim engrave --gcode out/sample.gcode --image out/sample-engraved.png "$@"
echo "G-code: out/sample.gcode"
echo "Engraved result: out/sample-engraved.png"

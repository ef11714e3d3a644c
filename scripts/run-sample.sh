#!/usr/bin/env bash
# Sets everything up and engraves the built-in sample picture through host-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
mkdir -p out
# host-sim prints a summary and where it wrote the G-code and the result picture.
build/host-sim engrave --gcode out/sample.gcode --image out/sample-engraved.png "$@"

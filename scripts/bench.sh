#!/usr/bin/env bash
# Sets everything up and runs every benchmark (each prints its baseline beside it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
for program in build/bench/bench_*; do
  echo "== ${program##*/}"
  "$program" "$@"
done

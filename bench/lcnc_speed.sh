#!/usr/bin/env bash
# How much time an engraving through engrave-lcnc loses between its lines: the same raster run
# side by side in LinuxCNC's simulator by engrave-lcnc (MDI, line by line) and by LinuxCNC
# itself as a G-code program (AUTO, G61), both timed by engrave_trigger from the first X step to
# the last. Prints every run, the medians and their ratio.
#   bench/lcnc_speed.sh [RUNS] [engrave options]   (default: 3 runs of the built-in sample at
#                                                  step-over 0.1 and F1800, 81 lines)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
shift || true
settings=("$@")
((${#settings[@]})) || settings=(--stepover 0.1 --feed 1800)
build=${LCNC_SIM_BUILD:-build}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The sim's SCALE: the same G-code as the plug-in sends there.
scripts/lcnc-sim.sh engrave "${settings[@]}" --gcode "$work/engraved.gcode" >"$work/first.log" 2>&1 ||
  { cat "$work/first.log"; exit 1; }
"$build/host-sim" engrave "${settings[@]}" --steps-per-unit-x 1000 --steps-per-unit-y 1000 \
  --gcode "$work/raster.gcode" >/dev/null
cmp -s "$work/engraved.gcode" "$work/raster.gcode" || { echo "G-code differs" >&2; exit 1; }
{
  echo "G90 G61"
  cat "$work/raster.gcode"
  echo "M2"
} >"$work/raster.ngc"

# "raster time: 33.4 s ..." and the line-end standstill of each kind of run.
figure() { sed -n "s/^$1 *\([0-9.]*\).*/\1/p" "$2" | head -n 1; }
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
engraved=() program=() engraved_gap=() program_gap=()
printf '%-4s %14s %12s %16s %12s\n' run "engrave-lcnc" "line end" "program (AUTO)" "line end"
for i in $(seq "$runs"); do
  LCNC_SIM_SKIP_SETUP=1 scripts/lcnc-sim.sh engrave "${settings[@]}" >"$work/e.log" 2>&1 ||
    { cat "$work/e.log"; exit 1; }
  LCNC_SIM_SKIP_SETUP=1 scripts/lcnc-sim.sh program "$work/raster.ngc" >"$work/p.log" 2>&1 ||
    { cat "$work/p.log"; exit 1; }
  engraved+=("$(figure 'raster time:' "$work/e.log")")
  program+=("$(figure 'raster time:' "$work/p.log")")
  engraved_gap+=("$(sed -n 's/^line to line: median \([0-9.]*\).*/\1/p' "$work/e.log")")
  program_gap+=("$(sed -n 's/^X standstills.*median \([0-9.]*\).*/\1/p' "$work/p.log")")
  printf '%-4s %12s s %9s ms %14s s %9s ms\n' "$i" "${engraved[-1]}" "${engraved_gap[-1]}" \
    "${program[-1]}" "${program_gap[-1]}"
done
e=$(median "${engraved[@]}")
p=$(median "${program[@]}")
printf '%-4s %12s s %9s ms %14s s %9s ms\n' median "$e" "$(median "${engraved_gap[@]}")" "$p" \
  "$(median "${program_gap[@]}")"
awk -v e="$e" -v p="$p" 'BEGIN {printf "ratio: %.3f (engrave-lcnc / program; target <= 1.10)\n", e / p}'
echo "command: bench/lcnc_speed.sh $runs ${settings[*]}"

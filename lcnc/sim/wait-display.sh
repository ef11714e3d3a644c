#!/bin/sh
# Stands in for a display when engrave-lcnc runs beside one (scripts/lcnc-sim.sh --display
# none): runs the POSTGUI_HALFILE once the threads run, as displays do, then keeps LinuxCNC up
# until the file named by LCNC_SIM_STOP_FILE appears.
# LinuxCNC starts it as: wait-display.sh -ini INI
ini=$2
postgui=$(inivar -ini "$ini" -var POSTGUI_HALFILE -sec HAL 2>/dev/null)
# LinuxCNC starts displays in the INI's folder, where a relative name points.
[ -n "$postgui" ] && halcmd -i "$ini" -f "$postgui"
while [ ! -e "${LCNC_SIM_STOP_FILE:-/nonexistent}" ]; do sleep 0.1; done

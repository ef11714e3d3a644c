#!/bin/sh
# Started by LinuxCNC with the other applications: records every X step (fire, move, step
# number) into $ENGRAVE_LCNC_FIRE_SAMPLES when that names a file. halsampler stops, flushing
# the file, when LinuxCNC shuts down.
[ -n "$ENGRAVE_LCNC_FIRE_SAMPLES" ] || exit 0
exec halsampler -c 0 "$ENGRAVE_LCNC_FIRE_SAMPLES"

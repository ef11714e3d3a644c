#!/usr/bin/env bash
# Runs engrave-lcnc inside LinuxCNC's simulator (lcnc/sim/engrave-sim.ini):
#   scripts/lcnc-sim.sh engrave [PICTURE] [options of engrave-lcnc engrave]   headless
#   scripts/lcnc-sim.sh gui [options]                                         the host window
# Installs and builds what is missing, creates the user LinuxCNC runs as, starts LinuxCNC with
# engrave-lcnc as its display, stops it afterwards, and exits with engrave-lcnc's status.
# LinuxCNC refuses to run as root, so it runs as the user $LCNC_SIM_USER (default lcnc) in a
# folder of its own; pictures are copied in and the files written are copied back (the
# summary names the copies inside that folder; "lcnc-sim: wrote" names where they went).
#
# Environment: LCNC_SIM_BUILD (build folder, default build), LCNC_SIM_SKIP_SETUP=1 (use the
# build as it is), ENGRAVE_LCNC_FIRE_SAMPLES=FILE (record the fire pin at every X step:
# "fire move step" per line, from halsampler).
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
build=${LCNC_SIM_BUILD:-build}
user=${LCNC_SIM_USER:-lcnc}

mode=${1:-}
if [ "$mode" != engrave ] && [ "$mode" != gui ] && [ "$mode" != program ]; then
  echo "usage: scripts/lcnc-sim.sh engrave [PICTURE] [options]" >&2
  echo "       scripts/lcnc-sim.sh gui [options]" >&2
  exit 2
fi
shift
if [ "$mode" = gui ] && [ -z "${DISPLAY:-}" ]; then
  echo "lcnc-sim: gui needs an X display (DISPLAY)" >&2
  exit 2
fi

needs_setup() {
  command -v linuxcnc >/dev/null && command -v halcompile >/dev/null || return 0
  [ -x "$build/engrave-lcnc" ] && [ -x "$build/engrave-lcnc-window" ] || return 0
  [ -f "$build/Engraving.so" ] || return 0
  [ -f "$build/lcnc/engrave_trigger.source-id" ] || return 0
  grep -qaF "$(cat "$build/lcnc/engrave_trigger.source-id")" \
    /usr/lib/linuxcnc/modules/engrave_trigger.so 2>/dev/null || return 0
  return 1
}
if [ "${LCNC_SIM_SKIP_SETUP:-0}" != 1 ] && needs_setup; then
  scripts/setup.sh "$build"
fi
if [ "${LCNC_SIM_SKIP_SETUP:-0}" != 1 ]; then
  cmake --build "$build" --target engrave-lcnc engrave-lcnc-window Engraving >/dev/null
fi
scripts/lcnc-user.sh "$user"

run=$(mktemp -d /tmp/engrave-lcnc-sim.XXXXXX)
cleanup() { rm -rf "$run"; }
trap cleanup EXIT
mkdir -p "$run/bin" "$run/in" "$run/out"
cp -r lcnc/sim/. "$run/"
cp "$build/engrave-lcnc" "$build/engrave-lcnc-window" "$build/Engraving.so" "$run/bin/"

# File names given by the caller are taken from the caller's folder.
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$caller/$1" ;; esac; }

# Inputs are copied in; outputs are written in $run/out and copied back afterwards.
args=()
copy_back=()
files=0
output_option() { # $1 option, $2 path
  local name
  files=$((files + 1))
  name="$files-$(basename "$2")"
  args+=("$1" "$run/out/$name")
  copy_back+=("$run/out/$name" "$2")
}
input_file() { # $1 path; prints the path inside $run
  local name
  name="in/${#args[@]}-$(basename "$1")"
  cp "$1" "$run/$name"
  echo "$run/$name"
}
while (($#)); do
  arg=$1
  shift
  value=
  case "$arg" in
    --*=*) value=${arg#*=}; arg=${arg%%=*} ;;
  esac
  case "$arg" in
    --gcode | --image | --trace | --fired | --profile | --plugin | --width | --height | --feed | \
      --stepover | --before)
      if [ -z "$value" ]; then
        (($#)) || { echo "lcnc-sim: $arg needs a value" >&2; exit 2; }
        value=$1
        shift
      fi ;;
  esac
  case "$arg" in
    --gcode | --image | --trace | --fired | --profile | --plugin) value=$(absolute "$value") ;;
    -*) ;;
    *) arg=$(absolute "$arg") ;;
  esac
  case "$arg" in
    --gcode | --image | --trace | --fired) output_option "$arg" "$value" ;;
    --profile)
      # The profile is read and written back: copy it in when it exists.
      name="out/$(basename "$value")"
      [ -e "$value" ] && cp "$value" "$run/$name"
      args+=("$arg" "$run/$name")
      copy_back+=("$run/$name" "$value") ;;
    --plugin) args+=("$arg" "$(input_file "$value")") ;;
    --width | --height | --feed | --stepover | --before) args+=("$arg" "$value") ;;
    -*) args+=("$arg") ;;
    *) args+=("$(input_file "$arg")") ;;
  esac
done
{
  echo "$mode"
  for a in "${args[@]}"; do printf '%s\n' "$a"; done
} >"$run/args"
samples=${ENGRAVE_LCNC_FIRE_SAMPLES:-}
[ -n "$samples" ] && samples=$(absolute "$samples")
[ -n "$samples" ] && copy_back+=("$run/out/fire-samples" "$samples")
chown -R "$user:" "$run"
chmod 755 "$run"

display=()
if [ "$mode" = gui ]; then
  # The window and the setup dialog show on the caller's display.
  display=(DISPLAY="$DISPLAY")
  if [ -n "${XAUTHORITY:-}" ] && [ -f "$XAUTHORITY" ]; then
    cp "$XAUTHORITY" "$run/Xauthority" && chown "$user:" "$run/Xauthority"
    display+=(XAUTHORITY="$run/Xauthority")
  fi
fi

status=0
runuser -u "$user" -- env -u DISPLAY "${display[@]}" HOME="$(getent passwd "$user" | cut -d: -f6)" \
  PATH="$run/bin:$PATH" ENGRAVE_LCNC_ARGS_FILE="$run/args" \
  ENGRAVE_LCNC_FIRE_SAMPLES="${samples:+$run/out/fire-samples}" \
  bash -c 'cd "$1" && exec linuxcnc -r engrave-sim.ini' _ "$run" </dev/null || status=$?

for ((i = 0; i < ${#copy_back[@]}; i += 2)); do
  from=${copy_back[i]}
  to=${copy_back[i + 1]}
  if [ -e "$from" ]; then
    mkdir -p "$(dirname "$to")" && cp "$from" "$to" && echo "lcnc-sim: wrote $to"
  fi
done
exit "$status"

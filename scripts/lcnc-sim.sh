#!/usr/bin/env bash
# Runs engrave-lcnc with LinuxCNC's simulator (lcnc/sim):
#   scripts/lcnc-sim.sh engrave [--display D] [PICTURE] [options]   one headless engraving
#   scripts/lcnc-sim.sh resume [--display D] [PICTURE] [options]    goes on with an interrupted one
#   scripts/lcnc-sim.sh gui [--display D] [options]                 the host window
#   scripts/lcnc-sim.sh program FILE                                a G-code program in AUTO, timed
#   scripts/lcnc-sim.sh start [--display D]                         LinuxCNC in the background
#   scripts/lcnc-sim.sh run [resume] [PICTURE] [options]            an engraving in the started one
#   scripts/lcnc-sim.sh stop                                        ends the started LinuxCNC
# D is the display LinuxCNC runs with:
#   engrave-lcnc  engrave-lcnc itself (the default for engrave, gui and program);
#   axis          AXIS, on a private Xvfb when no DISPLAY is set, with engrave-lcnc beside it
#                 (engrave-axis.ini; for gui, LinuxCNC starts engrave-lcnc gui itself);
#   none          a stand-in that only keeps LinuxCNC up, with engrave-lcnc beside it.
# Installs and builds what is missing and creates the user LinuxCNC runs as. LinuxCNC refuses
# to run as root, so it runs as the user $LCNC_SIM_USER (default lcnc) in a folder of its own;
# pictures are copied in, the files written are copied back to the names given (a --profile
# with its resume file beside it), and the summary names them there. Exits with engrave-lcnc's
# status (0 complete, 1 not).
#
# Environment: LCNC_SIM_BUILD (build folder, default build), LCNC_SIM_SKIP_SETUP=1 (use the
# build as it is), ENGRAVE_LCNC_FIRE_SAMPLES=FILE (record the fire pin at every X step:
# "fire move step" per line, from halsampler), LCNC_SIM_SESSION (where start keeps its state,
# default /tmp/engrave-lcnc-sim.session).
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
source=$PWD
build=${LCNC_SIM_BUILD:-build}
case "$build" in /*) ;; *) build=$source/$build ;; esac
user=${LCNC_SIM_USER:-lcnc}
session_file=${LCNC_SIM_SESSION:-/tmp/engrave-lcnc-sim.session}

usage() {
  sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
mode=${1:-}
shift || true
display=engrave-lcnc
case "$mode" in
  engrave | resume | gui | program | start)
    if [ "${1:-}" = --display ]; then
      display=${2:-}
      shift 2 || usage
    fi
    case "$display" in engrave-lcnc | axis | none) ;; *) usage ;; esac
    [ "$mode" = start ] && [ "$display" = engrave-lcnc ] && display=none
    [ "$mode" = gui ] && [ "$display" = none ] && usage ;;
  run | stop) ;;
  *) usage ;;
esac
if [ "$mode" = gui ] && [ -z "${DISPLAY:-}" ]; then
  echo "lcnc-sim: gui needs an X display (DISPLAY)" >&2
  exit 2
fi

# A command as LinuxCNC's user, without the caller's X display unless DISPLAY=... is given.
as_user() { runuser -u "$user" -- env -u DISPLAY HOME="$(getent passwd "$user" | cut -d: -f6)" "$@"; }
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$caller/$1" ;; esac; }

prepare() {
  needs_setup() {
    command -v linuxcnc >/dev/null && command -v halcompile >/dev/null || return 0
    [ -x "$build/engrave-lcnc" ] && [ -x "$build/engrave-lcnc-window" ] || return 0
    [ -f "$build/Engraving.so" ] || return 0
    local name
    for name in engrave_trigger fire_watch; do
      [ -f "$build/lcnc/$name.source-id" ] || return 0
      grep -qaF "$(cat "$build/lcnc/$name.source-id")" \
        "/usr/lib/linuxcnc/modules/$name.so" 2>/dev/null || return 0
    done
    return 1
  }
  if [ "${LCNC_SIM_SKIP_SETUP:-0}" != 1 ] && needs_setup; then
    scripts/setup.sh "$build"
  fi
  if [ "${LCNC_SIM_SKIP_SETUP:-0}" != 1 ]; then
    cmake --build "$build" --target engrave-lcnc engrave-lcnc-window Engraving >/dev/null
  fi
  scripts/lcnc-user.sh "$user"
}

# A folder of LinuxCNC's user with the configuration and the programs.
make_run_folder() {
  run=$(mktemp -d /tmp/engrave-lcnc-sim.XXXXXX)
  mkdir -p "$run/bin" "$run/in" "$run/out"
  cp -r lcnc/sim/. "$run/"
  cp "$build/engrave-lcnc" "$build/engrave-lcnc-window" "$build/Engraving.so" "$run/bin/"
  cp lcnc/sim/wait-display.sh "$run/bin/"
  case "$display" in
    engrave-lcnc) ini=engrave-sim.ini ;;
    axis) ini=engrave-axis.ini ;;
    none)
      ini=engrave-beside.ini
      sed 's/^DISPLAY = engrave-lcnc$/DISPLAY = wait-display.sh/' lcnc/sim/engrave-sim.ini \
        >"$run/$ini" ;;
  esac
  # A scripted run beside AXIS brings its own engrave-lcnc: no window from the INI.
  if [ "$display" = axis ] && [ "$mode" != gui ]; then
    sed -i '/^APP = engrave-lcnc gui$/d' "$run/$ini"
  fi
  samples=${ENGRAVE_LCNC_FIRE_SAMPLES:-}
  [ -n "$samples" ] && samples=$(absolute "$samples")
  return 0
}

# engrave-lcnc's arguments, one per line, in $run/args: inputs copied in, outputs written in
# $run/out and listed in $run/copy-back as "inside<TAB>caller's name".
write_arguments() { # $1 mode, then the caller's arguments
  local first=$1 files=0 arg value name
  shift
  : >"$run/copy-back"
  local args=()
  input_file() { # $1 path; prints the path inside $run
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
      --gcode | --image | --trace | --fired | --profile | --plugin | --width | --height | \
        --feed | --stepover | --before | --preview | --overscan | --from-line | --brightness | \
        --contrast | --gamma)
        if [ -z "$value" ]; then
          (($#)) || { echo "lcnc-sim: $arg needs a value" >&2; exit 2; }
          value=$1
          shift
        fi ;;
    esac
    case "$arg" in
      --gcode | --image | --trace | --fired | --profile | --plugin | --preview)
        value=$(absolute "$value") ;;
      -*) ;;
      *) arg=$(absolute "$arg") ;;
    esac
    case "$arg" in
      --gcode | --image | --trace | --fired | --preview)
        files=$((files + 1))
        name="$run/out/$files-$(basename "$value")"
        args+=("$arg" "$name")
        printf '%s\t%s\n' "$name" "$value" >>"$run/copy-back" ;;
      --profile)
        # The profile is read and written back: copy it in when it exists; likewise its
        # resume file, which the run may also remove.
        name="$run/out/$(basename "$value")"
        [ -e "$value" ] && cp "$value" "$name"
        rm -f "$name.resume"
        [ -e "$value.resume" ] && cp "$value.resume" "$name.resume"
        args+=("$arg" "$name")
        printf '%s\t%s\n' "$name" "$value" >>"$run/copy-back"
        printf '%s\t%s\tsync\n' "$name.resume" "$value.resume" >>"$run/copy-back" ;;
      --plugin) args+=("$arg" "$(input_file "$value")") ;;
      --width | --height | --feed | --stepover | --before | --overscan | --from-line | \
        --brightness | --contrast | --gamma) args+=("$arg" "$value") ;;
      -*) args+=("$arg") ;;
      *) args+=("$(input_file "$arg")") ;;
    esac
  done
  {
    echo "$first"
    for a in "${args[@]}"; do printf '%s\n' "$a"; done
  } >"$run/args"
}

# What engrave-lcnc prints about its files names them where the caller finds them.
rename_outputs() {
  local expressions=(-e 's/$//') inside outside sync
  while IFS=$'\t' read -r inside outside sync; do
    expressions+=(-e "s|$inside|$outside|g")
  done <"$run/copy-back"
  sed -u "${expressions[@]}"
}

copy_back() {
  local inside outside sync
  while IFS=$'\t' read -r inside outside sync; do
    if [ -e "$inside" ]; then
      mkdir -p "$(dirname "$outside")" && cp "$inside" "$outside"
    elif [ "$sync" = sync ]; then
      rm -f "$outside"
    fi
  done <"$run/copy-back"
  if [ -n "$samples" ] && [ -e "$run/out/fire-samples" ]; then
    mkdir -p "$(dirname "$samples")" && cp "$run/out/fire-samples" "$samples"
  fi
}

# LinuxCNC in the foreground with engrave-lcnc as its display (or AXIS starting the window).
run_with_display() {
  local environment=(PATH="$run/bin:$PATH" ENGRAVE_LCNC_ARGS_FILE="$run/args"
    ENGRAVE_LCNC_FIRE_SAMPLES="${samples:+$run/out/fire-samples}")
  if [ "$mode" = gui ]; then
    # The window and the setup dialog show on the caller's display.
    environment+=(DISPLAY="$DISPLAY")
    if [ -n "${XAUTHORITY:-}" ] && [ -f "$XAUTHORITY" ]; then
      cp "$XAUTHORITY" "$run/Xauthority" && chown "$user:" "$run/Xauthority"
      environment+=(XAUTHORITY="$run/Xauthority")
    fi
  fi
  chown -R "$user:" "$run"
  chmod 755 "$run"
  local status=0
  as_user "${environment[@]}" bash -c 'cd "$1" && exec linuxcnc -r "$2"' _ "$run" \
    "$ini" </dev/null 2>&1 | rename_outputs || status=${PIPESTATUS[0]}
  copy_back
  return "$status"
}

# LinuxCNC in the background with a display beside which engrave-lcnc runs.
start_session() {
  if [ -e "$session_file" ]; then
    echo "lcnc-sim: a session is already started ($session_file); stop it first" >&2
    exit 1
  fi
  local x_display=${DISPLAY:-} xvfb_pid= xauthority=
  if [ "$display" = axis ]; then
    # AXIS answers axis-remote only on a server that checks who connects (Tk's send).
    xauthority=$run/Xauthority
    if [ -z "$x_display" ]; then
      local n
      for n in $(seq 91 120); do
        [ -e "/tmp/.X$n-lock" ] && continue
        x_display=":$n"
        break
      done
      touch "$xauthority"
      xauth -q -f "$xauthority" add "$x_display" . "$(mcookie)"
      Xvfb "$x_display" -screen 0 1280x1024x24 -nolisten tcp -auth "$xauthority" >/dev/null 2>&1 &
      xvfb_pid=$!
      for _ in $(seq 50); do
        [ -e "/tmp/.X11-unix/X${x_display#:}" ] && break
        sleep 0.1
      done
    elif [ -n "${XAUTHORITY:-}" ] && [ -f "$XAUTHORITY" ]; then
      cp "$XAUTHORITY" "$xauthority"
    else
      xauthority=
    fi
  fi
  chown -R "$user:" "$run"
  chmod 755 "$run"
  as_user ${x_display:+DISPLAY=$x_display} ${xauthority:+XAUTHORITY=$xauthority} \
    PATH="$run/bin:$PATH" \
    LCNC_SIM_STOP_FILE="$run/stop" \
    ENGRAVE_LCNC_FIRE_SAMPLES="${samples:+$run/out/fire-samples}" \
    bash -c 'cd "$1" && exec linuxcnc -r "$2"' _ "$run" "$ini" </dev/null >"$run/linuxcnc.log" 2>&1 &
  local linuxcnc_pid=$!
  printf 'run=%q\nini=%q\nlinuxcnc_pid=%q\nxvfb_pid=%q\nx_display=%q\nxauthority=%q\n' \
    "$run" "$ini" "$linuxcnc_pid" "$xvfb_pid" "$x_display" "$xauthority" >"$session_file"
  printf 'samples=%q\ndisplay=%q\n' "$samples" "$display" >>"$session_file"
  # Ready once the display has run the POSTGUI_HALFILE: the stepgen timing is then in effect.
  local steplen
  steplen=$(inivar -ini "$run/$ini" -var STEPLEN -sec JOINT_0)
  for _ in $(seq 300); do
    if ! kill -0 "$linuxcnc_pid" 2>/dev/null; then
      cat "$run/linuxcnc.log" >&2
      echo "lcnc-sim: LinuxCNC did not start" >&2
      stop_session >/dev/null 2>&1 || true
      exit 1
    fi
    if [ "$(as_user halcmd getp stepgen.0.steplen 2>/dev/null)" = "$steplen" ]; then
      # AXIS answers once it has started up, its program loaded (it switches modes for that).
      [ "$display" != axis ] && break
      as_user DISPLAY="$x_display" ${xauthority:+XAUTHORITY=$xauthority} axis-remote --ping \
        >/dev/null 2>&1 && break
    fi
    sleep 0.1
  done
  echo "lcnc-sim: LinuxCNC runs with $display as its display (folder $run)"
}

load_session() {
  if [ ! -e "$session_file" ]; then
    echo "lcnc-sim: no session started (scripts/lcnc-sim.sh start)" >&2
    exit 1
  fi
  # shellcheck disable=SC1090
  source "$session_file"
}

run_in_session() {
  local status=0
  as_user PATH="$run/bin:$PATH" ENGRAVE_LCNC_ARGS_FILE="$run/args" \
    bash -c 'cd "$1" && exec engrave-lcnc -ini "$1/$2"' _ "$run" "$ini" </dev/null 2>&1 |
    rename_outputs || status=${PIPESTATUS[0]}
  copy_back
  return "$status"
}

stop_session() {
  touch "$run/stop"
  if [ "$display" = axis ]; then
    as_user DISPLAY="$x_display" ${xauthority:+XAUTHORITY=$xauthority} axis-remote --quit \
      >/dev/null 2>&1 ||
      pkill -TERM -u "$user" -f 'bin/axis -ini' || true
  fi
  for _ in $(seq 300); do
    kill -0 "$linuxcnc_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$linuxcnc_pid" 2>/dev/null; then
    echo "lcnc-sim: LinuxCNC did not stop; killing it" >&2
    pkill -KILL -u "$user" || true
  fi
  wait "$linuxcnc_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  # What LinuxCNC said, the shutdown's report of firing at a standstill among it.
  cat "$run/linuxcnc.log"
  if [ -n "$samples" ] && [ -e "$run/out/fire-samples" ]; then
    mkdir -p "$(dirname "$samples")" && cp "$run/out/fire-samples" "$samples"
  fi
  rm -rf "$run" "$session_file"
}

case "$mode" in
  engrave | resume | gui | program)
    prepare
    make_run_folder
    trap 'rm -rf "$run"' EXIT
    write_arguments "$mode" "$@"
    if [ "$display" = engrave-lcnc ] || [ "$mode" = gui ]; then
      run_with_display
      exit $?
    fi
    trap 'stop_session >/dev/null 2>&1 || true' EXIT
    start_session >/dev/null
    # shellcheck disable=SC1090
    source "$session_file"
    status=0
    run_in_session || status=$?
    trap - EXIT
    stop_session
    exit "$status"
    ;;
  start)
    prepare
    make_run_folder
    start_session
    ;;
  run)
    load_session
    command=engrave
    if [ "${1:-}" = resume ]; then
      command=resume
      shift
    fi
    write_arguments "$command" "$@"
    chown -R "$user:" "$run"
    run_in_session
    ;;
  stop)
    load_session
    stop_session
    ;;
esac

component engrave_trigger "Fires an engraving tool at chosen X motor steps";

description """
Holds the trigger-bit buffer of the Engraving plug-in in realtime shared memory (key 0x454e4754,
mapped by engrave-lcnc) and fires the tool from it. When the host arms it for an X move, it
counts the X stepgen's steps from the move's start, in either direction, and at the j-th step
that advances the move (0-based) drives \\fBfire\\fR from bit j. A step back over ground the move
has already covered never fires, nor does the step that returns over it.

The tool is safe by itself: disarmed, or with \\fBenable\\fR false, \\fBfire\\fR is 0; holding a
step's bit, \\fBfire\\fR falls once X has made no step for \\fBstandstill-ns\\fR (a pause, a Stop, a
crashed host); and an armed move is disarmed when engrave-lcnc's heartbeat has stopped for
\\fBwatchdog-ns\\fR and X stands still (for \\fBstandstill-ns\\fR) or Y steps, after which nothing
fires until a host arms a move again. While X goes on stepping along its line the move's own
bits stay right, so a host held up for a moment does not cut its line short.

Add \\fBengrave-trigger\\fR to the base thread after \\fBstepgen.make-pulses\\fR and before the port
write, so that \\fBfire\\fR changes in the same thread run as the step, and
\\fBengrave-trigger.capture\\fR to the servo thread after \\fBmotion-controller\\fR.
""";

pin in bit step "The X stepgen's step output (step type 0)";
pin in bit dir "The X stepgen's direction output: low forward, high reverse";
pin in bit y_step "The Y stepgen's step output (optional: engrave-lcnc then also waits for Y to stand still)";
pin in bit enable = 1 "Firing allowed: connect the machine-on signal (motion.motion-enabled)";
pin in s32 x_counts "The X stepgen's counts (stepgen.N.counts)";
pin in s32 y_counts "The Y stepgen's counts";
pin in float x_pos_cmd "X's commanded motor position (joint.N.motor-pos-cmd)";
pin in float y_pos_cmd "Y's commanded motor position";
pin in bit cycle_start "Cycle Start for engrave-lcnc (rising edge)";
pin in bit reset "Reset for engrave-lcnc (rising edge): cancels the engraving";
pin out bit fire "The tool: the step's trigger bit, or a pulse of pulse-ns in pulse mode";
pin out bit armed "An X move is armed";
pin out bit pulsing "The armed move fires pulses of pulse-ns rather than holding the bit";
pin out bit host_alive "engrave-lcnc's heartbeat is fresh";
pin out s32 move "Number of the armed move, 0 when disarmed";
pin out s32 step_index "Step number of this thread run's step in the armed move; -1 otherwise";
pin out s32 raster_line "The raster line engrave-lcnc engraves, -1 when none";
pin out s32 steps "X steps seen since loading";
pin out s32 fires "Fires since loading";
pin out s32 retraced "Steps of armed moves that went back over covered ground";
pin out s32 overrun "Advancing steps beyond the last trigger bit";
pin out s32 watchdog_trips "Armed moves disarmed because engrave-lcnc went silent";
pin out s32 standstill_drops "Times fire fell because X stood still";

param rw u32 pulse_ns = 40000 "Length of a fire pulse in pulse mode, in nanoseconds";
param rw u32 standstill_ns = 5000000 """Holding a bit, fire falls once X has made no step for
this long (ns). It must exceed the longest time between two X steps while X moves: at the
slowest feed F (units/min) with S steps per unit, 60e9/(F*S), and the first steps of a move from
standstill.""";
param rw u32 watchdog_ns = 100000000 "An armed move is disarmed once engrave-lcnc's heartbeat has stood still this long (ns) and X stands still or Y steps";

option singleton yes;
option extra_setup yes;
option extra_cleanup yes;

function _ nofp "Count the step of this period and set fire";
function capture fp "Capture the stepgens' counts and commanded positions for engrave-lcnc";
include "trigger_logic.h";
license "GPL";
author "Engraving";
;;


/* Built through CMake, the module names its source, so that an installed copy can be told
 * apart from a stale one; built by hand with halcompile, it does not. */
#if __has_include("engrave_trigger_source.h")
#include "engrave_trigger_source.h"
__attribute__((used)) static const char source_id[] = ENGRAVE_TRIGGER_SOURCE_ID;
#endif

static int shm_id = -1;
static void* shm_base;
static struct engrave_trigger_control* ctl;
static const unsigned int* trigger_bits;
static unsigned int* fired_record;
static struct engrave_trigger_state state;

FUNCTION(_) {
  struct engrave_trigger_inputs in;
  struct engrave_trigger_outputs out;
  in.x_step_level = step;
  in.x_dir_level = dir;
  in.y_step_level = y_step;
  in.enable_level = enable;
  in.period_ns = period;
  in.now_ns = rtapi_get_time();
  in.pulse_length_ns = pulse_ns;
  in.standstill_limit_ns = standstill_ns;
  in.watchdog_limit_ns = watchdog_ns;
  engrave_trigger_period(&state, ctl, trigger_bits, fired_record, &in, &out);
  fire = out.fire_level;
  armed = out.is_armed;
  pulsing = out.is_pulsing;
  host_alive = out.host_is_alive;
  move = out.move_number;
  step_index = out.advanced_step;
  steps = state.step_count;
  fires = state.fire_count;
  retraced = state.retrace_count;
  overrun = state.overrun_count;
  watchdog_trips = (int)ctl->watchdog_trip_count;
  standstill_drops = (int)ctl->standstill_drop_count;
}

FUNCTION(capture) {
  /* A sequence lock: odd while the values change, so the host never pairs a count with the
   * command of another servo period. */
  const unsigned int seq = ctl->capture_seq;
  double x_command = x_pos_cmd, y_command = y_pos_cmd;
  __atomic_store_n(&ctl->capture_seq, seq + 1, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_RELEASE);
  __atomic_store_n(&ctl->captured_x_counts, x_counts, __ATOMIC_RELAXED);
  __atomic_store_n(&ctl->captured_y_counts, y_counts, __ATOMIC_RELAXED);
  __atomic_store(&ctl->captured_x_pos_cmd, &x_command, __ATOMIC_RELAXED);
  __atomic_store(&ctl->captured_y_pos_cmd, &y_command, __ATOMIC_RELAXED);
  __atomic_store_n(&ctl->capture_seq, seq + 2, __ATOMIC_RELEASE);
  __atomic_store_n(&ctl->buttons, (cycle_start ? 1u : 0u) | (reset ? 2u : 0u), __ATOMIC_RELAXED);
  raster_line = __atomic_load_n(&ctl->host_raster_line, __ATOMIC_RELAXED);
}

EXTRA_SETUP() {
  int result;
  shm_id = rtapi_shmem_new(ENGRAVE_TRIGGER_SHM_KEY, comp_id, ENGRAVE_TRIGGER_SHM_BYTES);
  if (shm_id < 0) {
    rtapi_print_msg(RTAPI_MSG_ERR, "engrave_trigger: rtapi_shmem_new failed (%d)\n", shm_id);
    return shm_id;
  }
  result = rtapi_shmem_getptr(shm_id, &shm_base);
  if (result < 0) {
    rtapi_print_msg(RTAPI_MSG_ERR, "engrave_trigger: rtapi_shmem_getptr failed (%d)\n", result);
    rtapi_shmem_delete(shm_id, comp_id);
    shm_id = -1;
    return result;
  }
  memset(shm_base, 0, ENGRAVE_TRIGGER_SHM_BYTES);
  ctl = ENGRAVE_TRIGGER_CONTROL(shm_base);
  trigger_bits = (const unsigned int*)shm_base;
  fired_record = ENGRAVE_TRIGGER_FIRED(shm_base);
  engrave_trigger_init(&state);
  ctl->host_raster_line = -1;
  ctl->version = ENGRAVE_TRIGGER_VERSION;
  ctl->words = ENGRAVE_TRIGGER_WORDS;
  __atomic_store_n(&ctl->magic, ENGRAVE_TRIGGER_MAGIC, __ATOMIC_RELEASE);
  return 0;
}

EXTRA_CLEANUP() {
  if (shm_id >= 0) rtapi_shmem_delete(shm_id, comp_id);
  shm_id = -1;
}

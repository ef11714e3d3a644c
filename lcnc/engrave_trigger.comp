component engrave_trigger "Fires an engraving tool at chosen X motor steps";

description """
Holds the trigger-bit buffer of the Engraving plug-in in realtime shared memory (key 0x454e4754,
mapped by engrave-lcnc) and fires the tool from it. When the host arms it for an X move, it
counts the X stepgen's steps from the move's start, in either direction, and at the j-th step
that advances the move (0-based) drives \\fBfire\\fR from bit j. A step back over ground the move
has already covered never fires, nor does the step that returns over it. Disarmed, or with
\\fBenable\\fR false, \\fBfire\\fR is 0.

Add its function to the base thread after \\fBstepgen.make-pulses\\fR and before the port
write, so that \\fBfire\\fR changes in the same thread run as the step.
""";

pin in bit step "The X stepgen's step output (step type 0)";
pin in bit dir "The X stepgen's direction output: low forward, high reverse";
pin in bit enable = 1 "Firing allowed: connect the machine-on signal (motion.motion-enabled)";
pin out bit fire "The tool: the step's trigger bit, or a pulse of pulse-ns in pulse mode";
pin out bit armed "An X move is armed";
pin out bit pulsing "The armed move fires pulses of pulse-ns rather than holding the bit";
pin out s32 move "Number of the armed move, 0 when disarmed";
pin out s32 step_index "Step number of this thread run's step in the armed move; -1 otherwise";
pin out s32 steps "X steps seen since loading";
pin out s32 fires "Fires since loading";
pin out s32 retraced "Steps of armed moves that went back over covered ground";
pin out s32 overrun "Advancing steps beyond the last trigger bit";

param rw u32 pulse_ns = 40000 "Length of a fire pulse in pulse mode, in nanoseconds";

option singleton yes;
option extra_setup yes;
option extra_cleanup yes;

function _ nofp "Count the step of this period and set fire";
license "GPL";
author "Engraving";
;;

#include "rtapi.h"
#include "trigger_shm.h"

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

static unsigned int current_move;
static int move_direction;
static int move_position; /* net steps from the move's start, along its direction */
static unsigned int covered;
static int last_step;
static int hold;
static long long pulse_left;

static void start_move(unsigned int number) {
  current_move = number;
  move_direction = ctl->direction < 0 ? -1 : 1;
  move_position = 0;
  covered = 0;
  ctl->move_steps = 0;
  ctl->move_retraced = 0;
  ctl->move_fires = 0;
  ctl->move_overrun = 0;
  ctl->move_first_ns = 0;
  ctl->move_last_ns = 0;
}

/* Outcome of one advancing step. */
enum { ADVANCE_QUIET, ADVANCE_FIRE, ADVANCE_OVERRUN };

/* One advancing step: its number in the move is the ground covered before it. */
static int advance(unsigned int index, int enabled) {
  const long long now = rtapi_get_time();
  covered = index + 1;
  ctl->move_steps = covered;
  if (ctl->move_first_ns == 0) ctl->move_first_ns = now;
  ctl->move_last_ns = now;
  if (index >= ENGRAVE_TRIGGER_BITS) {
    ctl->move_overrun++;
    return ADVANCE_OVERRUN;
  }
  if (!enabled || !((trigger_bits[index / 32] >> (index % 32)) & 1u)) return ADVANCE_QUIET;
  fired_record[index / 32] |= 1u << (index % 32);
  ctl->move_fires++;
  ctl->total_fires++;
  return ADVANCE_FIRE;
}

FUNCTION(_) {
  const unsigned int wanted = __atomic_load_n(&ctl->arm_move, __ATOMIC_ACQUIRE);
  int step_edge;

  if (wanted != current_move) {
    if (wanted != 0)
      start_move(wanted);
    else
      current_move = 0;
    hold = 0;
    pulse_left = 0;
    __atomic_store_n(&ctl->ack_move, wanted, __ATOMIC_RELEASE);
  }

  step_index = -1;
  step_edge = step && !last_step;
  last_step = step;
  if (step_edge) {
    const int sign = dir ? -1 : 1;
    ctl->total_steps++;
    steps++;
    if (current_move != 0) {
      move_position += sign * move_direction;
      if (move_position > (int)covered) {
        const unsigned int index = covered;
        const int outcome = advance(index, enable);
        step_index = (int)index;
        if (outcome == ADVANCE_OVERRUN) overrun++;
        if (outcome == ADVANCE_FIRE) fires++;
        hold = outcome == ADVANCE_FIRE;
        if (hold) pulse_left = pulse_ns;
      } else {
        ctl->move_retraced++;
        retraced++;
        hold = 0;
      }
    }
  }

  if (current_move == 0 || !enable) {
    hold = 0;
    pulse_left = 0;
  }
  armed = current_move != 0;
  move = (int)current_move;
  pulsing = current_move != 0 && ctl->pulse_mode != 0;
  if (pulsing) {
    fire = pulse_left > 0;
    if (pulse_left > 0) pulse_left -= period;
  } else {
    fire = hold;
  }
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
  ctl->version = ENGRAVE_TRIGGER_VERSION;
  ctl->words = ENGRAVE_TRIGGER_WORDS;
  __atomic_store_n(&ctl->magic, ENGRAVE_TRIGGER_MAGIC, __ATOMIC_RELEASE);
  return 0;
}

EXTRA_CLEANUP() {
  if (shm_id >= 0) rtapi_shmem_delete(shm_id, comp_id);
  shm_id = -1;
}

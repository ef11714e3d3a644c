/* What engrave_trigger decides in each base-thread period, apart from HAL: plain C over the
 * shared control block, so that the realtime component and the unit tests run the same code.
 *
 * The tool is safe by itself, whatever the host program does:
 *   - disarmed, or with enable low (the machine is not on), fire is 0;
 *   - holding a step's bit, fire falls once X has made no step for longer than standstill_ns
 *     (a pause, a Stop, a crashed host all leave X standing);
 *   - an armed move is disarmed when the host's heartbeat has stood still for longer than
 *     watchdog_ns and X stands still or Y steps, and no arming is taken from a silent host or
 *     repeated from a dead one. While X goes on stepping along the line, the move's own bits
 *     are still the right ones, whether the host is held up or gone: a host that the scheduler
 *     leaves behind for a moment does not cut the line it armed.
 * Nothing here allocates, blocks or reads a clock: time is the sum of the thread's periods. */
#ifndef ENGRAVE_TRIGGER_LOGIC_H
#define ENGRAVE_TRIGGER_LOGIC_H

#include "trigger_shm.h"

#ifdef __cplusplus
#include <cstring>
using std::memset;
#elif !defined(RTAPI)
#include <string.h>
#endif

/* Longer idle times are not told apart: about 9 minutes. */
#define ENGRAVE_TRIGGER_IDLE_CAP_NS (1ull << 39)

struct engrave_trigger_state {
  unsigned int current_move;
  int move_direction;
  int move_position; /* net steps from the move's start, along its direction */
  unsigned int covered;
  int last_x_step;
  int last_y_step;
  int hold;
  long long pulse_left;
  unsigned long long x_idle_ns;
  unsigned long long y_idle_ns;
  unsigned int last_beat;
  unsigned long long silence_ns;
  unsigned int tripped_move;
  unsigned int epoch;
  /* Counters since loading, shown on pins. */
  int step_count, fire_count, retrace_count, overrun_count;
};

struct engrave_trigger_inputs {
  int x_step_level, x_dir_level, y_step_level, enable_level;
  long period_ns;
  long long now_ns; /* rtapi time of this period, for the records only */
  unsigned int pulse_length_ns, standstill_limit_ns, watchdog_limit_ns;
};

struct engrave_trigger_outputs {
  int fire_level, is_armed, is_pulsing, move_number, advanced_step, host_is_alive;
};

static inline unsigned long long engrave_trigger_add_idle(unsigned long long idle, long period) {
  const unsigned long long next = idle + (unsigned long long)(period > 0 ? period : 0);
  return next > ENGRAVE_TRIGGER_IDLE_CAP_NS ? ENGRAVE_TRIGGER_IDLE_CAP_NS : next;
}

/* The state as it is when the component loads: nothing armed, no host seen yet. */
static inline void engrave_trigger_init(struct engrave_trigger_state* s) {
  memset(s, 0, sizeof *s);
  s->x_idle_ns = s->y_idle_ns = s->silence_ns = ENGRAVE_TRIGGER_IDLE_CAP_NS;
}

static inline void engrave_trigger_start_move(struct engrave_trigger_state* s,
                                              struct engrave_trigger_control* ctl,
                                              unsigned int number) {
  s->current_move = number;
  s->move_direction = ctl->direction < 0 ? -1 : 1;
  s->move_position = 0;
  s->covered = 0;
  ctl->move_steps = 0;
  ctl->move_retraced = 0;
  ctl->move_fires = 0;
  ctl->move_overrun = 0;
  ctl->move_first_ns = 0;
  ctl->move_last_ns = 0;
}

static inline void engrave_trigger_stop_move(struct engrave_trigger_state* s) {
  s->current_move = 0;
  s->hold = 0;
  s->pulse_left = 0;
}

/* Takes the host's arming word: a new move, a disarm, or nothing new. */
static inline void engrave_trigger_take_arming(struct engrave_trigger_state* s,
                                               struct engrave_trigger_control* ctl,
                                               int host_alive) {
  const unsigned int wanted = __atomic_load_n(&ctl->arm_move, __ATOMIC_ACQUIRE);
  if (wanted == 0 && s->tripped_move != 0) {
    s->tripped_move = 0;
    ctl->tripped_move = 0;
  }
  if (wanted == s->current_move) return;
  /* A move armed by a host that has gone silent, or the very move the watchdog stopped, is
   * not taken: after a crash the arming word still holds the dead host's last move. */
  if (wanted != 0 && (!host_alive || wanted == s->tripped_move)) return;
  if (wanted != 0)
    engrave_trigger_start_move(s, ctl, wanted);
  else
    engrave_trigger_stop_move(s);
  s->hold = 0;
  s->pulse_left = 0;
  __atomic_store_n(&ctl->ack_move, wanted, __ATOMIC_RELEASE);
}

/* One advancing step of the armed move: its number in the move is the ground covered before
 * it. Returns whether the tool fires at it. */
static inline int engrave_trigger_advance(struct engrave_trigger_state* s,
                                          struct engrave_trigger_control* ctl,
                                          const unsigned int* bits, unsigned int* fired,
                                          const struct engrave_trigger_inputs* in) {
  const unsigned int index = s->covered;
  s->covered = index + 1;
  ctl->move_steps = s->covered;
  if (ctl->move_first_ns == 0) ctl->move_first_ns = in->now_ns;
  ctl->move_last_ns = in->now_ns;
  if (index >= ENGRAVE_TRIGGER_BITS) {
    ctl->move_overrun++;
    s->overrun_count++;
    return 0;
  }
  if (!in->enable_level || !((bits[index / 32] >> (index % 32)) & 1u)) return 0;
  fired[index / 32] |= 1u << (index % 32);
  ctl->move_fires++;
  ctl->total_fires++;
  s->fire_count++;
  return 1;
}

/* The X stepping record: first and latest step, and the standstills before steps. */
static inline void engrave_trigger_record_step(struct engrave_trigger_state* s,
                                               struct engrave_trigger_control* ctl,
                                               const struct engrave_trigger_inputs* in) {
  const unsigned int epoch = __atomic_load_n(&ctl->stamp_epoch, __ATOMIC_ACQUIRE);
  if (epoch != s->epoch) {
    s->epoch = epoch;
    ctl->x_first_ns = 0;
    ctl->gap_count = 0;
    __atomic_store_n(&ctl->seen_epoch, epoch, __ATOMIC_RELEASE);
  } else if (ctl->x_first_ns != 0 && s->x_idle_ns >= ENGRAVE_TRIGGER_GAP_MIN_NS) {
    const unsigned long long gap = s->x_idle_ns > 0xffffffffull ? 0xffffffffull : s->x_idle_ns;
    ctl->gaps_ns[ctl->gap_count % ENGRAVE_TRIGGER_GAP_SLOTS] = (unsigned int)gap;
    __atomic_store_n(&ctl->gap_count, ctl->gap_count + 1, __ATOMIC_RELEASE);
  }
  if (ctl->x_first_ns == 0) ctl->x_first_ns = in->now_ns;
  ctl->x_last_ns = in->now_ns;
}

static inline void engrave_trigger_period(struct engrave_trigger_state* s,
                                          struct engrave_trigger_control* ctl,
                                          const unsigned int* bits, unsigned int* fired,
                                          const struct engrave_trigger_inputs* in,
                                          struct engrave_trigger_outputs* out) {
  const unsigned int beat = __atomic_load_n(&ctl->heartbeat, __ATOMIC_ACQUIRE);
  int x_edge, y_edge, pulsing;

  if (beat != s->last_beat) {
    s->last_beat = beat;
    s->silence_ns = 0;
  } else {
    s->silence_ns = engrave_trigger_add_idle(s->silence_ns, in->period_ns);
  }
  out->host_is_alive = beat != 0 && s->silence_ns <= in->watchdog_limit_ns;

  engrave_trigger_take_arming(s, ctl, out->host_is_alive);

  out->advanced_step = -1;
  x_edge = in->x_step_level && !s->last_x_step;
  s->last_x_step = in->x_step_level;
  if (x_edge) {
    const int along = (in->x_dir_level ? -1 : 1) * s->move_direction;
    ctl->total_steps++;
    s->step_count++;
    engrave_trigger_record_step(s, ctl, in);
    s->x_idle_ns = 0;
    if (s->current_move != 0) {
      s->move_position += along;
      /* Only a step forward onto new ground advances the move; one back over covered ground,
       * and the steps that return over it, never fire. */
      if (along > 0 && s->move_position > (int)s->covered) {
        out->advanced_step = (int)s->covered;
        s->hold = engrave_trigger_advance(s, ctl, bits, fired, in);
        if (s->hold) s->pulse_left = in->pulse_length_ns;
      } else {
        ctl->move_retraced++;
        s->retrace_count++;
        s->hold = 0;
      }
    }
  } else {
    s->x_idle_ns = engrave_trigger_add_idle(s->x_idle_ns, in->period_ns);
  }
  y_edge = in->y_step_level && !s->last_y_step;
  s->last_y_step = in->y_step_level;
  s->y_idle_ns = y_edge ? 0 : engrave_trigger_add_idle(s->y_idle_ns, in->period_ns);
  __atomic_store_n(&ctl->x_idle_ns, s->x_idle_ns, __ATOMIC_RELAXED);
  __atomic_store_n(&ctl->y_idle_ns, s->y_idle_ns, __ATOMIC_RELAXED);

  /* The host is gone (or stuck) and the line is over (X stands) or left (Y stepped since the
   * last beat): nobody is left to disarm this move, so it is disarmed here. */
  if (s->current_move != 0 && !out->host_is_alive &&
      (s->x_idle_ns > in->standstill_limit_ns || s->y_idle_ns < s->silence_ns)) {
    s->tripped_move = s->current_move;
    ctl->tripped_move = s->current_move;
    ctl->watchdog_trip_count++;
    engrave_trigger_stop_move(s);
    __atomic_store_n(&ctl->ack_move, 0u, __ATOMIC_RELEASE);
  }

  pulsing = s->current_move != 0 && ctl->pulse_mode != 0;
  /* Holding a bit is for a tool that works while X moves: X standing still, it stops. */
  if (!pulsing && s->hold && s->x_idle_ns > in->standstill_limit_ns) {
    s->hold = 0;
    ctl->standstill_drop_count++;
  }
  if (s->current_move == 0 || !in->enable_level) {
    s->hold = 0;
    s->pulse_left = 0;
  }
  out->is_armed = s->current_move != 0;
  out->move_number = (int)s->current_move;
  out->is_pulsing = pulsing;
  if (pulsing) {
    out->fire_level = s->pulse_left > 0;
    if (s->pulse_left > 0) s->pulse_left -= in->period_ns;
  } else {
    out->fire_level = s->hold;
  }
}

#endif

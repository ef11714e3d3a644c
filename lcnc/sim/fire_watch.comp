component fire_watch "Measures how long a tool fires while X stands still, and how fast X goes at fired steps";

description """
A yardstick for the simulator. In every base-thread period in which \\fBfire\\fR is high and
\\fBstep\\fR has no rising edge, the current run grows by one period; a step or a low
\\fBfire\\fR ends it. \\fBstill-longest\\fR keeps the longest run since loading or since
\\fBclear\\fR rose, and \\fBstill-longest-end\\fR what ended it.

A step at which \\fBfire\\fR is high counts as fired; it counts as slow too when X's command
passed the step's position (\\fBcounts\\fR) slower than \\fBslow-below\\fR. The steps follow the
command by a little, and in a simulator whose threads are not realtime by a varying lot, so the
speed of the moment the step is taken would judge steps by a later part of the path: the servo
function keeps the counts each servo period's command went through, with its speed
(\\fBvel-cmd\\fR), and the base function looks the step up there. Add \\fBfire-watch\\fR to the base
thread after the component that drives \\fBfire\\fR, and \\fBfire-watch.speed\\fR to the servo
thread after \\fBmotion-controller\\fR.
""";

pin in bit fire "The tool";
pin in bit step "The X stepgen's step output";
pin in s32 step_index "The trigger's step number of this period's step, -1 when the step advanced nothing (engrave-trigger.step-index)";
pin in bit clear "Rising edge: forget the longest run and the counts";
pin in float vel_cmd "X's commanded velocity (joint.N.vel-cmd), units per second";
pin in float pos_cmd "X's commanded position (joint.N.motor-pos-cmd), units";
pin in float scale "X's steps per unit (the stepgen's position-scale)";
pin in s32 counts "X's position in steps (stepgen.N.counts)";
pin in float slow_below "A fired step counts as slow below this speed (units per second); 0: none does";
pin out s32 still_now "Periods in the current run of firing without an X step";
pin out s32 still_longest "The longest such run, in base periods";
pin out s32 still_longest_end "What ended the longest run: 0 nothing yet (it still runs), 1 an X step that advanced nothing (back over covered ground), 2 fire falling with X standing, 3 an X step onto new ground";
pin out bit fired_at_last_advance "Whether fire was high at the latest X step onto new ground";
pin out s32 fire_periods "Periods with fire high, since loading or clear";
pin out s32 fired_steps "X steps at which fire was high";
pin out s32 slow_fired_steps "Fired steps taken while X was commanded slower than slow-below";

option singleton yes;

variable int last_step;
variable int last_clear;
variable int longest_is_current;

function _ nofp "Measure this period";
function speed fp "Compare X's commanded speed with slow-below";
license "GPL";
author "Engraving";
;;

#include "rtapi_math.h"

/* Built through CMake, the module names its source, so that an installed copy can be told
 * apart from a stale one. */
#if __has_include("fire_watch_source.h")
#include "fire_watch_source.h"
__attribute__((used)) static const char source_id[] = FIRE_WATCH_SOURCE_ID;
#endif

/* The stretch of X's counts that the command went through in one servo period, and whether it
 * went through it slower than slow-below: written by the servo thread, read by the base
 * thread, the newest published by passed_head. */
struct passage {
  int low, high, slow;
};
#define PASSAGES 512
static struct passage passages[PASSAGES];
static unsigned passed_head;
static double passed_from;

/* Whether the command passed this count slowly: the newest servo period that went through it
 * says. The oldest entries may be overwritten while they are read, so they are left out; a
 * count not found (a step lagging further than that) is judged by the newest period. */
static int PassedSlowly(int count) {
  const unsigned head = __atomic_load_n(&passed_head, __ATOMIC_ACQUIRE);
  unsigned back;
  if (head == 0) return 0;
  for (back = 1; back <= head && back <= PASSAGES - 16; back++) {
    const struct passage* entry = &passages[(head - back) % PASSAGES];
    if (__atomic_load_n(&entry->low, __ATOMIC_RELAXED) <= count &&
        count <= __atomic_load_n(&entry->high, __ATOMIC_RELAXED))
      return __atomic_load_n(&entry->slow, __ATOMIC_RELAXED);
  }
  return __atomic_load_n(&passages[(head - 1) % PASSAGES].slow, __ATOMIC_RELAXED);
}

FUNCTION(_) {
  const int step_edge = step && !last_step;
  last_step = step;
  if (clear && !last_clear) {
    still_longest = 0;
    still_longest_end = 0;
    longest_is_current = 0;
    fire_periods = 0;
    fired_steps = 0;
    slow_fired_steps = 0;
  }
  last_clear = clear;
  if (fire) fire_periods++;
  if (step_edge && step_index >= 0) fired_at_last_advance = fire;
  if (fire && step_edge) {
    fired_steps++;
    if (PassedSlowly(counts)) slow_fired_steps++;
  }
  if (fire && !step_edge) {
    still_now++;
    if (still_now > still_longest) {
      still_longest = still_now;
      still_longest_end = 0;
      longest_is_current = 1;
    }
  } else {
    if (longest_is_current && still_now > 0)
      still_longest_end = !step_edge ? 2 : step_index >= 0 ? 3 : 1;
    longest_is_current = 0;
    still_now = 0;
  }
}

FUNCTION(speed) {
  const double speed = vel_cmd < 0.0 ? -vel_cmd : vel_cmd;
  const double now = pos_cmd * scale;
  const double low = passed_from < now ? passed_from : now;
  const double high = passed_from < now ? now : passed_from;
  const unsigned head = __atomic_load_n(&passed_head, __ATOMIC_RELAXED);
  struct passage* entry = &passages[head % PASSAGES];
  passed_from = now;
  __atomic_store_n(&entry->low, (int)floor(low), __ATOMIC_RELAXED);
  __atomic_store_n(&entry->high, (int)ceil(high), __ATOMIC_RELAXED);
  __atomic_store_n(&entry->slow, slow_below > 0.0 && speed < slow_below, __ATOMIC_RELAXED);
  __atomic_store_n(&passed_head, head + 1, __ATOMIC_RELEASE);
}

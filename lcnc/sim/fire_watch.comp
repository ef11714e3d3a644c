component fire_watch "Measures how long a tool fires while X stands still, and how fast X goes at fired steps";

description """
A yardstick for the simulator. In every base-thread period in which \\fBfire\\fR is high and
\\fBstep\\fR has no rising edge, the current run grows by one period; a step or a low
\\fBfire\\fR ends it. \\fBstill-longest\\fR keeps the longest run since loading or since
\\fBclear\\fR rose, and \\fBstill-longest-end\\fR what ended it.

A step at which \\fBfire\\fR is high counts as fired; it counts as slow too when X's commanded
speed (\\fBvel-cmd\\fR, compared in the servo thread, since the base thread has no floating
point) was below \\fBslow-below\\fR. Add \\fBfire-watch\\fR to the base thread after the component
that drives \\fBfire\\fR, and \\fBfire-watch.speed\\fR to the servo thread after
\\fBmotion-controller\\fR.
""";

pin in bit fire "The tool";
pin in bit step "The X stepgen's step output";
pin in s32 step_index "The trigger's step number of this period's step, -1 when the step advanced nothing (engrave-trigger.step-index)";
pin in bit clear "Rising edge: forget the longest run and the counts";
pin in float vel_cmd "X's commanded velocity (joint.N.vel-cmd), units per second";
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
variable int slow;

function _ nofp "Measure this period";
function speed fp "Compare X's commanded speed with slow-below";
license "GPL";
author "Engraving";
;;

/* Built through CMake, the module names its source, so that an installed copy can be told
 * apart from a stale one. */
#if __has_include("fire_watch_source.h")
#include "fire_watch_source.h"
__attribute__((used)) static const char source_id[] = FIRE_WATCH_SOURCE_ID;
#endif

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
    if (slow) slow_fired_steps++;
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
  slow = slow_below > 0.0 && speed < slow_below;
}

component fire_watch "Measures how long a tool fires while X stands still";

description """
A yardstick for the simulator: in every base-thread period in which \\fBfire\\fR is high and
\\fBstep\\fR has no rising edge, the current run grows by one period; a step or a low
\\fBfire\\fR ends it. \\fBstill-longest\\fR keeps the longest run since loading or since
\\fBclear\\fR rose. Add it to the base thread after the component that drives \\fBfire\\fR.
""";

pin in bit fire "The tool";
pin in bit step "The X stepgen's step output";
pin in bit clear "Rising edge: forget the longest run";
pin out s32 still_now "Periods in the current run of firing without an X step";
pin out s32 still_longest "The longest such run, in base periods";
pin out s32 fire_periods "Periods with fire high, since loading or clear";

option singleton yes;

variable int last_step;
variable int last_clear;

function _ nofp "Measure this period";
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
    fire_periods = 0;
  }
  last_clear = clear;
  if (fire) fire_periods++;
  if (fire && !step_edge) {
    still_now++;
    if (still_now > still_longest) still_longest = still_now;
  } else {
    still_now = 0;
  }
}

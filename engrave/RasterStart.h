// Where a raster starts: at line 1 by default, or further on ("Start at line"), and how much of
// that first line has fired already when an interrupted raster goes on.
#pragma once

#include <cstdint>

struct ControlState;

namespace engrave {

// What the host asked for when the setup dialog opened, read on the host thread: line `line`
// (from 1; 0 none) fired its steps up to `afterStep` before it was interrupted.
struct ResumePoint {
  int32_t line = 0;
  int64_t afterStep = -1;

  static ResumePoint From(const ControlState* control);
};

// The start of the raster the dialog arms: the first line engraved (from 1, as the progress
// counts lines) and the last step of that line, counted from the line's edge, that must not
// fire again (-1: the whole line fires).
struct RasterStart {
  int32_t line = 1;
  int64_t afterStep = -1;
};

// The raster's line count for this height and step-over: every Y reached by repeated addition
// below the height; -1 when that never ends (a step-over of 0) or passes `most`.
int64_t CountRasterLines(double length, double stepOver, int64_t most = 10000000);

}  // namespace engrave

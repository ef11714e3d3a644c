#include "engrave/RasterStart.h"

#include "plugin/HostInterface.h"

namespace engrave {

ResumePoint ResumePoint::From(const ControlState* control) {
  ResumePoint point;
  if (control == nullptr || control->ResumeLine < 1) return point;
  point.line = control->ResumeLine;
  point.afterStep = control->ResumeAfterStep < -1 ? -1 : control->ResumeAfterStep;
  return point;
}

int64_t CountRasterLines(double length, double stepOver, int64_t most) {
  if (!(stepOver > 0.0)) return length > 0.0 ? -1 : 0;
  int64_t lines = 0;
  for (double y = 0.0; y < length; y = y + stepOver)
    if (++lines > most) return -1;
  return lines;
}

}  // namespace engrave

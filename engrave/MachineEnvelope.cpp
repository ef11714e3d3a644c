#include "engrave/MachineEnvelope.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "engrave/EngraveSetup.h"
#include "plugin/HostInterface.h"

namespace engrave {

MachineEnvelope MachineEnvelope::From(const MotionState* motion) {
  MachineEnvelope machine;
  if (motion == nullptr) return machine;
  machine.stepsPerUnitX = motion->StepsPerUnitX;
  machine.accelerationX = motion->MaxAccelerationX;
  // A limit the host left undefined limits nothing.
  auto limit = [](double value, double none) { return std::isnan(value) ? none : value; };
  machine.minX = limit(motion->TravelMinX, -HUGE_VAL);
  machine.maxX = limit(motion->TravelMaxX, HUGE_VAL);
  machine.minY = limit(motion->TravelMinY, -HUGE_VAL);
  machine.maxY = limit(motion->TravelMaxY, HUGE_VAL);
  return machine;
}

double MachineEnvelope::BrakingDistance(double feedRate) const {
  if (!KnowsAcceleration() || !(feedRate > 0.0) || !std::isfinite(feedRate)) return 0.0;
  const double speed = feedRate / 60.0;
  return speed * speed / (2.0 * accelerationX);
}

double MachineEnvelope::AutoOverscan(double feedRate) const {
  return 1.2 * BrakingDistance(feedRate);
}

double RasterTopY(double length, double stepOver) {
  if (!(stepOver > 0.0) || !std::isfinite(stepOver) || !std::isfinite(length)) return 0.0;
  // The sequence's own sum; past ten million lines the product is well within a step.
  constexpr int64_t kCountedLines = 10000000;
  if (length / stepOver > double(kCountedLines)) return std::ceil(length / stepOver) * stepOver;
  double y = 0.0;
  while (y < length) y = y + stepOver;
  return y;
}

std::string SoftLimitMessage(const MachineEnvelope& machine, const RasterMoves& moves,
                             double length, double stepOver) {
  const double overscan = moves.OverscanUnits();
  const double lowX = std::min(0.0, -overscan), highX = std::max(0.0, moves.width + overscan);
  const double highY = std::max(0.0, RasterTopY(length, stepOver));
  auto message = [](const char* axis, double limit, double reach) {
    // The reach as the moves write it.
    char text[400];
    const auto end = std::to_chars(text, text + sizeof text, reach, std::chars_format::fixed, 4);
    return std::string("ERROR... The raster passes the ") + axis + " soft limit " +
           FormatFieldReal(limit) + ": its moves reach " + axis + std::string(text, end.ptr) + ".";
  };
  if (lowX < machine.minX) return message("X", machine.minX, lowX);
  if (highX > machine.maxX) return message("X", machine.maxX, highX);
  if (0.0 < machine.minY) return message("Y", machine.minY, 0.0);
  if (highY > machine.maxY) return message("Y", machine.maxY, highY);
  return "";
}

}  // namespace engrave

// What the host knows of its machine, taken on the host thread when a setup dialog opens: X's
// steps per unit and acceleration, and the soft limits no move of a raster may pass.
#pragma once

#include <cmath>
#include <string>

#include "engrave/RasterMoves.h"

struct MotionState;

namespace engrave {

struct MachineEnvelope {
  double stepsPerUnitX = 0.0;
  double accelerationX = 0.0;  // units per second squared; 0 when the host does not know it
  double minX = -HUGE_VAL, maxX = HUGE_VAL;  // work coordinates
  double minY = -HUGE_VAL, maxY = HUGE_VAL;

  static MachineEnvelope From(const MotionState* motion);

  bool KnowsAcceleration() const { return accelerationX > 0.0 && std::isfinite(accelerationX); }
  // How far X travels while it brakes from the feed rate (units per minute) to a standstill:
  // v^2 / 2a; 0 when the acceleration is not known.
  double BrakingDistance(double feedRate) const;
  // The overscan that "Auto" gives: a fifth more than the braking distance, so that X is at the
  // feed rate a little before the first step that can fire.
  double AutoOverscan(double feedRate) const;
};

// The Y of the raster's last step-over move: the height reached by repeated addition of the
// step-over, as the sequence adds it; 0 when the step-over never reaches the height.
double RasterTopY(double length, double stepOver);

// Why the raster's moves would pass a soft limit ("ERROR... ..." naming the axis and the
// limit), or empty when they stay within the machine's travel. X runs from the lines' starts
// to their ends (with the overscan), Y from 0 to the last step-over.
std::string SoftLimitMessage(const MachineEnvelope& machine, const RasterMoves& moves,
                             double length, double stepOver);

}  // namespace engrave

// The G-code lines of the raster, formatted with a point as the decimal separator whatever
// locale the host process runs in.
#pragma once

#include <string>

namespace engrave {

// "G1 X%.4f F%.4f"
std::string LineMove(double x, double feedRate);
// "G1 Y%.4f"
std::string StepOverMove(double y);
// "G0 X%.4f": X to the start of a line, with the tool off.
std::string PositionMove(double x);
// "G0 Y%.4f": Y to the first line of a raster that does not start at line 1, and the step-over
// of a line left out for firing nothing (which may come before any feed rate was given).
std::string PositionMoveY(double y);
// Rapid home and tool stop at the end of a raster.
inline constexpr char kEndOfRaster[] = "G0X0Y0 M5";

}  // namespace engrave

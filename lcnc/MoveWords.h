// The moves the plug-in sends, as engrave-lcnc reads them: which axes a line moves and where
// to, and whether LinuxCNC's commanded position got there.
#pragma once

#include <optional>
#include <string>

namespace lcnc {

// The G, X and Y words of a line as the plug-in writes them ("G1 X10.0000 F100.0000",
// "G0X0Y0 M5").
struct MoveWords {
  std::optional<double> g, x, y;
};
MoveWords ReadMoveWords(const std::string& line);

// Why a finished move did not end where it was sent, or nothing when it did: within half a
// step of its X and Y target (work coordinates).
std::optional<std::string> MissedTarget(const MoveWords& target, double commandedX,
                                        double commandedY, double scaleX, double scaleY);

}  // namespace lcnc

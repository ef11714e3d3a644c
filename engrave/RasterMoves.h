// Where each raster line's armed X move runs. By default a line runs from one edge of the
// engraving to the other. With an overscan, it starts that many whole X steps before the edge
// and ends as far past the other one, so that X cruises at the feed rate over every step that
// can fire; with "skip blank ends" it covers only the steps that fire on that line (plus the
// overscan), and a line that fires nothing gets no X move at all. Either way every step fires
// at the same absolute X as in the default raster: the line's bits move within the buffer by
// the whole steps its start moved.
#pragma once

#include <cstdint>
#include <optional>

namespace engrave {

// How the raster lays out its lines; fixed when the raster is armed.
struct RasterMoves {
  double width = 0.0;          // the engraved width: reverse lines start there
  double stepsPerUnitX = 0.0;  // X motor steps per unit
  int32_t overscanSteps = 0;   // run-in and run-out of every line, in whole X steps
  bool skipBlank = false;

  // The default raster: every line from edge to edge, nothing more.
  bool Plain() const { return overscanSteps == 0 && !skipBlank; }
  // The overscan as the machine runs it: rounded to whole steps.
  double OverscanUnits() const;

  bool operator==(const RasterMoves&) const = default;
};

// The overscan in whole X steps (rounded to the nearest); -1 for a negative or undefined
// overscan or steps per unit, and for one that does not fit the trigger buffer.
int32_t OverscanSteps(double overscan, double stepsPerUnitX);

// One line's armed X move.
struct ArmedMove {
  bool runs = true;       // false: the line fires nothing and its X move is left out
  bool position = false;  // X must first go to startX, with the tool off
  double startX = 0.0;    // where X must stand when the move is armed
  double endX = 0.0;
  int64_t bitShift = 0;  // bit j of the line as filled is bit j + bitShift of the move
  int64_t lastBit = -1;  // the move's last set bit when its bits are known, else -1
};

// The move of a line whose bits (filled as for the default raster, bit j the j-th step from
// the line's edge) are given; bits may be null when the line was not filled, which lays it out
// as a line that fires somewhere along its whole length.
ArmedMove PlanLineMove(const RasterMoves& moves, bool forward, const uint32_t* bits);

// Moves every bit of the trigger buffer by shift places (up for a positive shift); bits that
// leave the buffer are dropped and the places left behind are cleared.
void ShiftTriggerBits(uint32_t* words, int64_t shift);

// The first and last set bit of the trigger buffer; false when none is set.
bool FiredSpan(const uint32_t* words, int64_t* first, int64_t* last);

// Lays the raster's lines out one after the other, as the sequence sends them. Where X stands
// decides where a line starts: a line whose first step lies ahead of X starts where X is and
// crosses the ground before that step with the tool off, and a line that the next line (the
// other way) starts beyond runs on to that start, so that X goes from line to line without
// moves of its own. Only a line that starts behind X (the first, or one after lines left out)
// needs X taken to its start first.
class LineChain {
 public:
  explicit LineChain(const RasterMoves& moves) : moves_(moves) {}
  // X stands at x, or somewhere not known (it is then taken to the first line's start).
  void Restart(std::optional<double> x) { x_ = x; }

  // The next line's move, from its bits (filled as for the default raster; null when not
  // filled) and, for blank ends skipped, the bits of the line after it.
  ArmedMove Next(bool forward, const uint32_t* bits, const uint32_t* nextBits);
  const std::optional<double>& x() const { return x_; }

 private:
  RasterMoves moves_;
  std::optional<double> x_;
};

// The path of the raster's moves as the sequence sends them, from X 0, Y 0: positioning to each
// line's start, the line, the Y step, and at the end the return to X 0, Y 0.
class RasterTravel {
 public:
  // A line that ends with the Y step to nextY; a line that does not run adds the Y step only.
  // The path starts at X 0, Y 0; a line that is not positioned starts where the last ended.
  void Line(const ArmedMove& move, double nextY);
  // The whole length, the return included.
  double Length() const;
  double x() const { return x_; }

 private:
  double x_ = 0.0, y_ = 0.0;
  double length_ = 0.0;
};

}  // namespace engrave

// What the machine will engrave, before it starts: the dialog's view of the engraving and the
// time its moves take.
//
// The view runs the raster's own fill (classic or dithered, inverted or not) on a filler of its
// own, line by line from line 0 with the sequence's Y (repeated addition) and directions, and
// shows each pixel of the preview frame as the fired share of the engraved area under it
// (width x height stretched into the frame, as the picture is), fired = white. It never touches
// the sequence's state. Lines are drawn in slices of time, so that a large raster does not
// freeze the dialog.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engrave/DitherLine.h"
#include "engrave/RasterMoves.h"
#include "engrave/TriggerLine.h"
#include "image/PixelSurface.h"

class CxImage;

namespace engrave {

// The raster as armed now would run it.
struct EngravingJob {
  TriggerLineInput line;  // steps, pixel counts, height, step-over, inverted
  double width = 0.0;     // where reverse lines start
  double stepsPerUnitX = 0.0;
  bool dithered = false;
  RasterMoves moves;  // the lines' X moves: overscan, blank ends skipped
  // The first line engraved (from 0): the lines before it are filled (the dithered fill
  // carries its error on) but neither drawn nor counted, and the machine goes from X 0, Y 0
  // to that line's start first.
  int64_t firstLine = 0;

  bool operator==(const EngravingJob&) const = default;
};

// The time the raster's moves take at the feed rate, every move (the final return to X 0, Y 0
// included) at the modal feed rate, as host-sim sums them; and the number of lines.
struct RasterEstimate {
  bool runs = false;  // false: no width, height or feed rate, or a step-over that never ends
  int64_t lines = 0;
  double seconds = 0.0;
};

class EngravingView {
 public:
  // Rasters with more lines are drawn as far as this many, as host-sim runs them.
  static constexpr int64_t kMostLines = 200000;

  // Starts drawing the job's lines from line 0 into a frame of this many pixels. Nothing is
  // drawn for a raster that cannot run (no steps, no height, a step-over that never reaches
  // the height) or without a picture. The same job on the same picture and frame goes on
  // where it is.
  void Start(const EngravingJob& job, const CxImage* picture, int frameWidth, int frameHeight);
  void Stop();

  // Draws further lines for about this long; true when it drew any.
  bool Advance(std::chrono::steady_clock::duration budget);
  bool Drawing() const { return picture_ != nullptr && drawn_ < lineCount_; }
  bool Started() const { return picture_ != nullptr; }
  int64_t LinesDrawn() const { return drawn_; }
  int64_t LineCount() const { return lineCount_; }
  // The time of the raster's moves once every line is drawn (lines left out for firing
  // nothing, blank ends and overscans as the sequence sends them), from the first line
  // engraved on; not running before.
  RasterEstimate Estimate(double feedRate) const;

  // The frame's pixels so far, stretched into the surface; rows no line has reached yet keep
  // what the surface holds.
  void Paint(PixelSurface& surface) const;
  // The fired share (0 .. 1) of one frame pixel; negative where no line has reached yet.
  double Share(int x, int y) const;

 private:
  void DrawLine();
  void FillLine(const TriggerLineInput& line, uint32_t* bits);
  // Fired steps of the line's move in [0, step), fractions of a step counting by their part.
  double FiredBefore(double step) const;

  EngravingJob requested_;  // as Start was given it
  EngravingJob job_;
  const CxImage* picture_ = nullptr;
  int frameWidth_ = 0, frameHeight_ = 0;
  int64_t lineCount_ = 0;
  int64_t drawn_ = 0;
  double scanY_ = 0.0;
  TriggerLineFiller classic_;
  DitheredLineFiller dithered_;
  RasterTravel travel_;
  LineChain chain_{RasterMoves{}};
  std::vector<uint32_t> bits_;
  std::vector<uint32_t> aheadBits_;  // skipping blank ends: the next line, filled a line ahead
  int64_t moveSteps_ = 0;            // the steps of the line's move that its bits can reach
  std::vector<uint32_t> firedBeforeWord_;  // fired steps in the words before word w
  std::vector<double> columnShare_;        // of the line being drawn, per frame column
  std::vector<double> fired_;              // per frame pixel: sum of share x weight
  std::vector<double> weight_;             // per frame row: sum of the lines' weights
};

RasterEstimate EstimateRaster(double width, double length, double feedRate, double stepOver);
// The same for lines laid out by moves that need no bits (whole lines with an overscan), from
// line firstLine (from 0) on, X and Y taken there from X 0, Y 0 first; for skipped blank ends
// the view's Estimate has it.
RasterEstimate EstimateRaster(const RasterMoves& moves, double length, double feedRate,
                              double stepOver, int64_t firstLine = 0);

// "Engraving time: H:MM:SS (N lines)", or "Engraving time: -" for a raster that cannot run.
std::string EstimateText(const RasterEstimate& estimate);

// The advice shown when the classic fill gives a picture column fewer than 4 steps (it then has
// at most as many gray levels as steps plus one); empty otherwise and when dithering.
std::string ClassicFillHint(int32_t triggerLineLength, double imagePixelsX, bool dithered);

}  // namespace engrave

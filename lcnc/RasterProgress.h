// How far a raster has come and how long the rest will take, for the progress lines and the
// window. The number of lines follows the plug-in's own rule: a line at every Y reached by
// repeated additions of the step-over from 0 while it is below the height.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace lcnc {

// The raster's line count for this height and step-over; nothing when they give no finite
// raster (a step-over of 0 never reaches the height).
std::optional<long> RasterLineCount(double height, double stepOver);

// H:MM:SS of a time in seconds (rounded to whole seconds).
std::string FormatClock(double seconds);

class RasterProgress {
 public:
  using Clock = std::chrono::steady_clock;

  // A new raster of `lines` lines (0 when unknown) starts now, with `alreadyDone` of them
  // engraved before (a raster that starts further on).
  void Start(long lines, Clock::time_point now, long alreadyDone = 0);
  void LineDone() { ++done_; }
  bool started() const { return started_; }
  long done() const { return done_; }
  long lines() const { return lines_; }

  // "progress: K/N lines, H:MM:SS spent, H:MM:SS left" (without N and the time left when the
  // count is unknown, and without the time left before the first line is done).
  std::string Text(Clock::time_point now) const;
  // The text when it is due: at least every `interval` while running, and not more often.
  std::optional<std::string> Due(Clock::time_point now, Clock::duration interval);

 private:
  bool started_ = false;
  long lines_ = 0;
  long done_ = 0;
  long alreadyDone_ = 0;
  Clock::time_point start_, lastShown_;
};

}  // namespace lcnc

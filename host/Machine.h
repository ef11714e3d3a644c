// The simulated machine: executes the G-code lines the plug-in sends (moves at the feed rate,
// X motor steps counted) and fires the tool at the steps whose trigger bits are set.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/PngFile.h"
#include "plugin/HostInterface.h"

namespace host {

struct MachineSummary {
  long codeLines = 0;    // G-code lines executed
  long rasterLines = 0;  // X moves (one per engraved line)
  long fires = 0;
  double seconds = 0.0;  // every move, rapid ones too, at the modal feed rate
};

class Machine {
 public:
  Machine(double stepsPerUnitX, double stepsPerUnitY)
      : stepsPerUnitX_(stepsPerUnitX), stepsPerUnitY_(stepsPerUnitY) {}

  // Executes one line with the trigger state as the host's driver sees it now. False for a
  // line the machine does not understand (it is then skipped).
  bool Execute(const std::string& line, int32_t triggerMode, const DriverState& driver);

  // The engraved width, as the dialog shows it: the result picture spans it. Without it the
  // first X move's extent is taken, which is the width when lines run from edge to edge.
  void SetEngravedWidth(double width) { engravedWidth_ = width; }

  double x() const { return x_; }
  double y() const { return y_; }
  const MachineSummary& summary() const { return summary_; }

  // The engraved result: one dot per fired step at its machine position, white on black, Y
  // up; a picture pixel shows the share of its steps that fired.
  GrayPicture Render() const;

 private:
  struct LineDots {
    std::vector<uint32_t> fired;  // per picture column
    std::vector<uint32_t> steps;
  };

  void Move(double toX, double toY, int32_t triggerMode, const DriverState& driver, bool rapid);
  void RecordSteps(double fromX, double toX, double atY, int32_t triggerMode,
                   const DriverState& driver);

  double stepsPerUnitX_;
  double stepsPerUnitY_;
  double x_ = 0.0, y_ = 0.0, feed_ = 0.0;
  double untimed_ = 0.0;  // moved before any feed rate was given
  MachineSummary summary_;
  // The picture's scale is fixed by the first X move, which spans the engraved width.
  double pixelsPerUnit_ = 0.0;
  double engravedWidth_ = 0.0;
  int columns_ = 0;
  std::map<double, LineDots> lines_;  // by Y
  double lineSpacing_ = 0.0;          // smallest Y step seen between raster lines
};

std::string FormatDuration(double seconds);

}  // namespace host

// The files a host writes about a run: every G-code line (--gcode) and every host-visible
// event (--trace), in the same format whichever host ran the engraving.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#include "plugin/HostInterface.h"

namespace host {

class TraceWriter {
 public:
  // Empty paths write nothing. False with a reason when a file cannot be made.
  bool Open(const std::string& gcodePath, const std::string& tracePath, std::string* error);

  // A line the plug-in sent. Before an X move ("G1 X..."), the trace gets the trigger bits of
  // the raster line: `bits` TAB line number (from 0, as the plug-in numbers its lines, else by
  // the X moves) TAB the set bits as ranges.
  void Code(const std::string& line, const DriverState& driver);
  void Status(const std::string& text);
  void TriggerMode(int32_t mode);
  void Message(const std::string& title, const std::string& text);

  // X moves seen so far: the number of the next raster line.
  long xMoves() const { return xMoves_; }

  static bool IsXMove(const std::string& line) { return line.rfind("G1 X", 0) == 0; }

 private:
  std::ofstream gcode_, trace_;
  long xMoves_ = 0;
};

}  // namespace host

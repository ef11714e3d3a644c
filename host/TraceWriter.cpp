#include "host/TraceWriter.h"

#include "host/HostFiles.h"

namespace host {

bool TraceWriter::Open(const std::string& gcodePath, const std::string& tracePath,
                       std::string* error) {
  if (!gcodePath.empty()) {
    gcode_.open(gcodePath, std::ios::trunc);
    if (!gcode_) *error = "cannot write " + gcodePath;
  }
  if (!tracePath.empty()) {
    trace_.open(tracePath, std::ios::trunc);
    if (!trace_) *error = "cannot write " + tracePath;
  }
  return error->empty();
}

void TraceWriter::Code(const std::string& line, const DriverState& driver) {
  if (IsXMove(line)) {
    if (trace_)
      trace_ << "bits\t" << (driver.RasterLine >= 0 ? long(driver.RasterLine) : xMoves_) << '\t'
             << BitRanges(driver.TriggerBits, kTriggerWordCount) << '\n';
    ++xMoves_;
  }
  if (trace_) trace_ << "code\t" << line << '\n';
  if (gcode_) gcode_ << line << '\n';
}

void TraceWriter::Status(const std::string& text) {
  if (trace_) trace_ << "status\t" << text << '\n';
}

void TraceWriter::TriggerMode(int32_t mode) {
  if (trace_) trace_ << "triggermode\t" << mode << '\n';
}

void TraceWriter::Message(const std::string& title, const std::string& text) {
  if (trace_) trace_ << "message\t" << title << '\t' << text << '\n';
}

}  // namespace host

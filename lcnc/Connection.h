// What every engrave-lcnc session sets up, in the order it must come up: the machine's INI, the
// trigger component's buffer, the POSTGUI_HALFILE (only when engrave-lcnc is LinuxCNC's display:
// another display runs it itself), LinuxCNC's task.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "host/HostOptions.h"
#include "lcnc/HalLink.h"
#include "lcnc/LcncHost.h"
#include "lcnc/LinuxCnc.h"

namespace lcnc {

// Set by SIGINT and SIGTERM (LinuxCNC ends its display so).
extern std::atomic<bool> gStopRequested;

struct Connection {
  MachineSettings machine;
  TriggerBuffer trigger;
  LinuxCnc cnc;

  // False (said on stderr) when a step fails; a trigger component that is not loaded is only
  // reported: the plug-in then finds no printer port. Another engrave-lcnc that still runs
  // is a failure: two hosts must never drive one trigger buffer.
  bool Open(const host::Options& options);
};

// Out of E-stop, on, in MDI.
bool MachineOn(LinuxCnc& cnc, std::string* error);

// Homes every joint and waits until all are homed; back in MDI afterwards.
bool HomeAll(LinuxCnc& cnc, std::string* error);

// The run's figures on stdout: lines, steps, fires, line-to-line latency, step rate, MDI cost.
void PrintSummary(const LcncHost& host, const host::Options& options, double mdiSeconds);

// Whether this INI makes engrave-lcnc LinuxCNC's display ([DISPLAY] DISPLAY = engrave-lcnc).
bool IsTheDisplay(const MachineSettings& machine);

// Median and largest of some figures (0 for none).
double Median(std::vector<double> values);
double Max(const std::vector<double>& values);

// Says what failed on stderr; the exit status of a failed run.
int Failure(const std::string& error);

}  // namespace lcnc

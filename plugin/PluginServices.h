// What the rest of the plug-in may ask of its frame: the host's records and the hand-over of
// texts and choices from the dialog thread to the host thread.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/HostInterface.h"

namespace plugin {

// The host records handed over by InitControl; null before it.
ControlState* Control();
MotionState* Motion();
DriverState* Driver();

// The module file name without directory and extension ("Engraving"): message-box titles.
const std::string& ModuleName();

// Dialog thread: hand a status-line text or a pulse-mode choice to the host thread, which
// writes it into its records at the start of its next entry-point call.
void PostStatus(const std::string& text);
void PostPulseMode(uint8_t pulseMode);

// Dialog thread: arm the raster (ScanXTarget = ScanY = 0, status "Press Cycle Start to begin
// scanning Seq.", then the Armed state, published last). Does nothing without a MenuHandler.
void ArmSequence();

// Any thread: the sequence state (Idle 0, Armed 1, Running 4); Idle without a MenuHandler.
int32_t SequenceState();

}  // namespace plugin

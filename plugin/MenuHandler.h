// The plug-in's central object: it owns the menu command of "&Engrave Photo" and the state of
// the scanning sequence, and runs the sequence one host tick at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engrave/DitherLine.h"
#include "engrave/RasterMoves.h"
#include "engrave/TriggerLine.h"
#include "plugin/PluginState.h"

class MenuHandler {
 public:
  static constexpr int32_t kIdle = 0;
  static constexpr int32_t kArmed = 1;
  static constexpr int32_t kRunning = 4;

  explicit MenuHandler(plugin::HostLink& host);
  virtual ~MenuHandler() = default;
  MenuHandler(const MenuHandler&) = delete;
  MenuHandler& operator=(const MenuHandler&) = delete;

  // Written by the host thread, and by the dialog thread when it arms; arming publishes the
  // zeroed scan position with release, the host thread reads the state with acquire.
  std::atomic<int32_t> SequenceState{kIdle};
  int32_t MenuCommandId = -1;

  // Host thread.
  void SequenceTick();
  void AdvanceLine();
  void OnMenuCommand(int32_t id);
  void StartEngraving();
  void CancelSequence();
  void SetStatus(const std::string& text);
  void FillTriggerLine();
  void SetTriggerBit(int32_t index, int32_t fire);

  // Dialog thread: ScanXTarget = ScanY = 0, the raster's mode taken from the parameter set and
  // its fill prepared, the lines before the start line filled without moving, the status text
  // handed over, then Armed.
  void Arm();

 private:
  void SendCode(const char* line);
  // The moves of a line laid out with an overscan or without its blank ends: X to the line's
  // start when it is not there, then the armed move; nothing for a line that fires nothing.
  // Whether it sent the line's X move.
  bool SendLineMoves(bool forward);
  // Fills one line's bits with the raster's fill.
  void FillLine(const engrave::TriggerLineInput& line, uint32_t* bits);
  // The line under the scan position, as the parameter set describes it now.
  engrave::TriggerLineInput CurrentLine() const;
  // Dialog thread, at arming: takes the scan position past the first `lines` lines, filling
  // them as the raster would, so that a dithered raster started further on carries the same
  // error into its first line.
  void SkipLines(int32_t lines);

  plugin::HostLink& host_;
  // The raster's mode is fixed when it is armed: a box ticked in a dialog opened later must not
  // change it halfway. Written by the dialog thread before the armed state is published, read
  // by the host thread only once it has seen that state.
  bool rasterDithered_ = false;
  bool rasterInverted_ = false;
  engrave::RasterMoves rasterMoves_;
  // Host thread, reset at arming: the line being filled (from 0), whether this tick filled its
  // bits, and the lines' moves laid out so far.
  int32_t lineNumber_ = 0;
  bool lineFilled_ = false;
  // Set at arming: the first line engraved (from 0), whether X and Y must first be taken to
  // its start (it is not line 0), and its last step from the edge that fired already (-1 none).
  int32_t firstLine_ = 0;
  bool positionFirst_ = false;
  int64_t firstLineFiredThrough_ = -1;
  engrave::LineChain chain_{engrave::RasterMoves{}};
  // Skipping blank ends, each line is filled a tick ahead, here, so that the line before it
  // can run on to where it starts. Sized at arming.
  std::vector<uint32_t> aheadBits_;
  bool aheadFilled_ = false;
  engrave::ToneAdjustment rasterTone_;  // the picture adjustments are part of the mode
  engrave::TriggerLineFiller filler_;
  engrave::DitheredLineFiller ditheredFiller_;
};

// The scanning sequence: one step per host tick, paced by the host's LineDone flag.
#include <atomic>

#include "engrave/GCode.h"
#include "engrave/Parameters.h"
#include "plugin/MenuHandler.h"
#include "plugin/PluginState.h"

namespace {

// Set while a tick runs, so that a tick re-entered from inside a host callback does nothing.
std::atomic<bool> gUpdateBusy{false};

class BusyScope {
 public:
  BusyScope() { gUpdateBusy.store(true, std::memory_order_relaxed); }
  ~BusyScope() { gUpdateBusy.store(false, std::memory_order_relaxed); }
};

}  // namespace

void MenuHandler::SequenceTick() {
  if (gUpdateBusy.load(std::memory_order_relaxed)) return;
  BusyScope busy;
  if (host_.motion->LineDone == 0) return;
  const int32_t state = SequenceState.load(std::memory_order_acquire);
  if (state != kIdle) {
    host_.control->TickReset = 0;
    host_.motion->TickReset = 0;
  }
  switch (state) {
    case kArmed:
      // The armed state was published after its status text; take that text over first so
      // that it never lands after a later one.
      plugin::ApplyHandover();
      if (host_.control->CycleStart != 0) {
        SequenceState.store(kRunning, std::memory_order_relaxed);
        SetStatus("Scanning Sequence Begins..");
      }
      break;
    case kRunning:
      FillTriggerLine();
      AdvanceLine();
      break;
    default:
      break;
  }
}

void MenuHandler::AdvanceLine() {
  engrave::ParameterSet& p = engrave::gParameters;
  const double scanY = p.ScanY;
  if (!(scanY < p.Length)) {
    SequenceState.store(kIdle, std::memory_order_relaxed);
    host_.control->TriggerMode = -1;
    SetStatus("Scanning Sequence Complete");
    SendCode(engrave::kEndOfRaster);
    return;
  }
  const bool forward = p.ScanXTarget == 0.0;
  const double lineEnd = forward ? double(p.Width) : 0.0;
  const double nextY = scanY + p.YStepOver;
  p.ScanY = nextY;
  p.ScanXTarget = lineEnd;
  bool moved = true;
  if (positionFirst_) {
    // A raster that starts past its first line: Y goes to that line first, the tool off.
    SendCode(engrave::PositionMoveY(scanY).c_str());
    if (rasterMoves_.Plain())
      SendCode(engrave::PositionMove(forward ? 0.0 : double(p.Width)).c_str());
    positionFirst_ = false;
  }
  if (rasterMoves_.Plain())
    SendCode(engrave::LineMove(lineEnd, p.FeedRate).c_str());
  else
    moved = SendLineMoves(forward);
  SendCode((moved ? engrave::StepOverMove(nextY) : engrave::PositionMoveY(nextY)).c_str());
  ++lineNumber_;
  host_.motion->LineDone = 0;
}

bool MenuHandler::SendLineMoves(bool forward) {
  uint32_t* bits = host_.driver->TriggerBits;
  // A line whose bits were not filled (no printer port) runs whole, its bits as they are.
  const bool filled = lineFilled_;
  const uint32_t* ahead = filled && aheadFilled_ ? aheadBits_.data() : nullptr;
  const engrave::ArmedMove move = chain_.Next(forward, filled ? bits : nullptr, ahead);
  if (!move.runs) return false;
  if (filled) {
    engrave::ShiftTriggerBits(bits, move.bitShift);
    host_.driver->RasterBitShift = int32_t(move.bitShift);
  }
  // The armed move counts its steps from where it starts: X goes there first, tool off.
  if (move.position) SendCode(engrave::PositionMove(move.startX).c_str());
  SendCode(engrave::LineMove(move.endX, engrave::gParameters.FeedRate).c_str());
  return true;
}

void MenuHandler::CancelSequence() {
  if (SequenceState.load(std::memory_order_acquire) != kIdle) {
    plugin::ApplyHandover();
    SetStatus("Engraving Canceled.");
    host_.control->TriggerMode = -1;
  }
  SequenceState.store(kIdle, std::memory_order_relaxed);
}

#include "plugin/MenuHandler.h"

#include <algorithm>
#include <cmath>

#include "engrave/EngraveThread.h"
#include "engrave/Parameters.h"
#include "image/EngraveImage.h"
#include "plugin/PluginServices.h"
#include "ui/Ui.h"

namespace {

// Clears bits 0 .. last of the trigger buffer: the steps of a line that fired before the
// raster was interrupted.
void ClearTriggerBitsThrough(uint32_t* words, int64_t last) {
  if (last < 0) return;
  const int64_t bits = int64_t(kTriggerWordCount) * 32;
  if (last >= bits) last = bits - 1;
  const int64_t whole = (last + 1) / 32;
  std::fill(words, words + whole, 0u);
  const int64_t rest = (last + 1) % 32;
  if (rest != 0) words[whole] &= ~((uint32_t(1) << rest) - 1u);
}

}  // namespace

MenuHandler::MenuHandler(plugin::HostLink& host) : host_(host) {}

void MenuHandler::OnMenuCommand(int32_t id) {
  if (SequenceState.load(std::memory_order_acquire) != kIdle) {
    ui::ShowMessage("Previous SEQ not yet complete. ");
    return;
  }
  if (id == MenuCommandId) StartEngraving();
}

void MenuHandler::StartEngraving() {
  if (host_.driver->PrinterPortActive == 0) {
    ui::ShowMessage("Printer Port operation only!");
    return;
  }
  if (std::fabs(host_.motion->PositionX) > 0.01 || std::fabs(host_.motion->PositionY) > 0.01) {
    ui::ShowMessage("X and Y Axis must be zeroed to proceed!");
    return;
  }
  if (host_.motion->FileLoaded != 0) {
    ui::ShowMessage("Please close current Gcode file before probing!");
    return;
  }
  engrave::OpenSetupDialog();
}

void MenuHandler::SetStatus(const std::string& text) {
  host_.motion->StatusLine = text;
}

engrave::TriggerLineInput MenuHandler::CurrentLine() const {
  engrave::TriggerLineInput line = engrave::CurrentRasterLine(rasterInverted_);
  line.tone = rasterTone_;
  return line;
}

void MenuHandler::FillLine(const engrave::TriggerLineInput& line, uint32_t* bits) {
  if (rasterDithered_)
    ditheredFiller_.Fill(line, TheEngraveImage().Picture(), bits);
  else
    filler_.Fill(line, TheEngraveImage().Picture(), bits);
}

void MenuHandler::FillTriggerLine() {
  host_.driver->RasterLine = lineNumber_;
  host_.driver->RasterBitShift = 0;
  lineFilled_ = false;
  if (host_.driver->PrinterPortActive == 0) return;
  uint32_t* bits = host_.driver->TriggerBits;
  if (!rasterMoves_.skipBlank) {
    FillLine(CurrentLine(), bits);
  } else {
    // The lines are filled in their order, one ahead, so the dithered fill carries its error
    // from line to line as it always does.
    if (!aheadFilled_) FillLine(CurrentLine(), aheadBits_.data());
    std::copy(aheadBits_.begin(), aheadBits_.end(), bits);
    engrave::TriggerLineInput next = CurrentLine();
    next.scanY = next.scanY + engrave::gParameters.YStepOver;
    next.scanXTarget = next.scanXTarget == 0.0 ? double(engrave::gParameters.Width) : 0.0;
    FillLine(next, aheadBits_.data());
    aheadFilled_ = true;
  }
  if (lineNumber_ == firstLine_) ClearTriggerBitsThrough(bits, firstLineFiredThrough_);
  host_.control->TriggerMode = 0;
  lineFilled_ = true;
}

void MenuHandler::SetTriggerBit(int32_t index, int32_t fire) {
  // Negative indices lie outside the buffer as surely as those past its end.
  if (index < 0 || index / 32 >= kTriggerWordCount) return;
  const uint32_t mask = uint32_t(1) << (index % 32);
  uint32_t& word = host_.driver->TriggerBits[index / 32];
  word = fire == 1 ? (word | mask) : (word & ~mask);
}

void MenuHandler::SkipLines(int32_t lines) {
  engrave::ParameterSet& p = engrave::gParameters;
  std::vector<uint32_t> scratch(rasterDithered_ ? size_t(engrave::kTriggerWords) : 0);
  for (int32_t k = 0; k < lines && p.ScanY < p.Length; ++k) {
    // The classic fill carries nothing from line to line: only the dithered one is run.
    if (rasterDithered_)
      ditheredFiller_.Fill(CurrentLine(), TheEngraveImage().Picture(), scratch.data());
    p.ScanY = p.ScanY + p.YStepOver;
    p.ScanXTarget = p.ScanXTarget == 0.0 ? double(p.Width) : 0.0;
  }
}

void MenuHandler::Arm() {
  engrave::gParameters.ScanXTarget = 0.0;
  engrave::gParameters.ScanY = 0.0;
  rasterInverted_ = engrave::gParameters.Inverse;
  rasterDithered_ = engrave::gParameters.Dither;
  rasterMoves_ = engrave::CurrentRasterMoves(host_.motion->StepsPerUnitX);
  lineNumber_ = 0;
  lineFilled_ = false;
  // The start checks leave X at 0; a raster armed again from a dialog opened with Config may
  // find it anywhere, so X is always taken to the first line's start.
  chain_ = engrave::LineChain(rasterMoves_);
  chain_.Restart(std::nullopt);
  aheadBits_.assign(rasterMoves_.skipBlank ? size_t(engrave::kTriggerWords) : 0, 0u);
  aheadFilled_ = false;
  rasterTone_ = engrave::CurrentTone();
  // Everything the lines need is sized here, so that the ticks allocate nothing.
  if (rasterDithered_)
    ditheredFiller_.Prepare(CurrentLine(), TheEngraveImage().Picture());
  else
    filler_.Prepare(CurrentLine());
  // A raster started further on: the lines before it are filled here, on the dialog thread,
  // so that no host tick carries that work.
  const int32_t startLine = std::max<int32_t>(1, engrave::gParameters.StartLine);
  SkipLines(startLine - 1);
  lineNumber_ = startLine - 1;
  firstLine_ = lineNumber_;
  positionFirst_ = firstLine_ > 0;
  firstLineFiredThrough_ = engrave::gParameters.ResumeAfterStep;
  // The status text is handed over before the state is published, so the host thread writes
  // it before it can act on the armed state.
  plugin::PostStatus("Press Cycle Start to begin scanning Seq.");
  SequenceState.store(kArmed, std::memory_order_release);
}

void MenuHandler::SendCode(const char* line) {
  if (host_.code != nullptr) host_.code(line);
}

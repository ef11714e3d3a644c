#include "engrave/EngravingView.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "engrave/MachineEnvelope.h"
#include "image/CxImage.h"

namespace engrave {
namespace {

// Three significant digits, whatever the host's locale.
std::string ThreeDigits(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 3);
  return std::string(text, result.ptr);
}

}  // namespace

void EngravingView::Stop() {
  picture_ = nullptr;
  lineCount_ = 0;
  drawn_ = 0;
}

void EngravingView::Start(const EngravingJob& job, const CxImage* picture, int frameWidth,
                          int frameHeight) {
  if (Started() && picture == picture_ && job == requested_ && frameWidth == frameWidth_ &&
      frameHeight == frameHeight_)
    return;
  Stop();
  const TriggerLineInput& line = job.line;
  const bool runs = picture != nullptr && picture->IsLoaded() && line.triggerLineLength >= 1 &&
                    job.width > 0.0 && std::isfinite(job.width) && line.length > 0.0 &&
                    std::isfinite(line.length) && line.yStepOver > 0.0 &&
                    std::isfinite(line.yStepOver) && frameWidth > 0 && frameHeight > 0;
  if (!runs) return;
  requested_ = job;
  job_ = job;
  // The machine steps at 1 / StepsPerUnitX; without that, the line's steps share the width.
  if (!(job_.stepsPerUnitX > 0.0 && std::isfinite(job_.stepsPerUnitX)))
    job_.stepsPerUnitX = double(line.triggerLineLength) / job.width;
  frameWidth_ = frameWidth;
  frameHeight_ = frameHeight;
  // The lines the sequence engraves: every Y reached by repeated addition below the height.
  int64_t count = 0;
  for (double y = 0.0; y < line.length && count < kMostLines; y = y + line.yStepOver) ++count;
  lineCount_ = count;
  scanY_ = 0.0;
  travel_ = RasterTravel();
  chain_ = LineChain(job_.moves);
  chain_.Restart(std::nullopt);
  bits_.assign(size_t(kTriggerWords), 0u);
  aheadBits_.assign(job_.moves.skipBlank ? size_t(kTriggerWords) : 0, 0u);
  firedBeforeWord_.assign(size_t(kTriggerWords) + 1, 0u);
  columnShare_.assign(size_t(frameWidth), 0.0);
  fired_.assign(size_t(frameWidth) * size_t(frameHeight), 0.0);
  weight_.assign(size_t(frameHeight), 0.0);
  if (job_.dithered) dithered_.Prepare(line, picture);
  picture_ = picture;
}

bool EngravingView::Advance(std::chrono::steady_clock::duration budget) {
  if (!Drawing()) return false;
  const auto end = std::chrono::steady_clock::now() + budget;
  do {
    DrawLine();
  } while (Drawing() && std::chrono::steady_clock::now() < end);
  return true;
}

double EngravingView::FiredBefore(double step) const {
  const int64_t steps = moveSteps_;
  if (!(step > 0.0)) return 0.0;
  const int64_t whole = int64_t(std::min(step, double(steps)));
  // Past the line's last step: all of its fires (the bits after it are clear).
  if (whole >= steps) return firedBeforeWord_[size_t((steps + 31) / 32)];
  const int64_t word = whole / 32;
  double fired = firedBeforeWord_[size_t(word)];
  const uint32_t below = (uint32_t(1) << (whole % 32)) - 1u;
  fired += double(std::popcount(bits_[size_t(word)] & below));
  const bool set = (bits_[size_t(word)] >> (whole % 32)) & 1u;
  return fired + (set ? step - double(whole) : 0.0);
}

void EngravingView::FillLine(const TriggerLineInput& line, uint32_t* bits) {
  if (job_.dithered)
    dithered_.Fill(line, picture_, bits);
  else
    classic_.Fill(line, picture_, bits);
}

void EngravingView::DrawLine() {
  TriggerLineInput line = job_.line;
  const bool forward = drawn_ % 2 == 0;
  line.scanY = scanY_;
  line.scanXTarget = forward ? 0.0 : job_.width;
  if (drawn_ < job_.firstLine) {
    // Not engraved: filled only for the error the dithered fill carries into the next line.
    if (job_.dithered) FillLine(line, bits_.data());
    scanY_ = scanY_ + line.yStepOver;
    ++drawn_;
    return;
  }
  const bool ahead = job_.moves.skipBlank;
  if (!ahead || drawn_ == job_.firstLine) FillLine(line, ahead ? aheadBits_.data() : bits_.data());
  if (ahead) {
    // As the sequence does: each line filled a line ahead, in order.
    bits_.swap(aheadBits_);
    TriggerLineInput next = line;
    next.scanY = scanY_ + line.yStepOver;
    next.scanXTarget = forward ? job_.width : 0.0;
    FillLine(next, aheadBits_.data());
  }
  // The bits as the line's move fires them: its step k is step k - shift of the line.
  ArmedMove move = chain_.Next(forward, bits_.data(), ahead ? aheadBits_.data() : nullptr);
  // Started further on, the sequence takes X to the first line's start in every layout.
  if (drawn_ == job_.firstLine && job_.firstLine > 0) move.position = true;
  const int64_t shift = move.runs ? move.bitShift : 0;
  ShiftTriggerBits(bits_.data(), shift);
  travel_.Line(move, scanY_ + line.yStepOver);

  moveSteps_ = std::clamp<int64_t>(int64_t(line.triggerLineLength) + std::max<int64_t>(shift, 0), 0,
                                   kTriggerBitCapacity);
  const int64_t words = (moveSteps_ + 31) / 32;
  for (int64_t w = 0; w < words; ++w)
    firedBeforeWord_[size_t(w) + 1] = firedBeforeWord_[size_t(w)] + std::popcount(bits_[size_t(w)]);

  // Each frame column's share of fired steps, by the area of the steps under it. A reverse
  // line counts its steps from X = width.
  const double stepsPerUnit = job_.stepsPerUnitX;
  const double lineSteps = job_.width * stepsPerUnit;
  const double unitsPerColumn = job_.width / frameWidth_;
  for (int column = 0; column < frameWidth_; ++column) {
    const double left = column * unitsPerColumn * stepsPerUnit;
    const double right = (column + 1) * unitsPerColumn * stepsPerUnit;
    const double from = (forward ? left : lineSteps - right) + double(shift);
    const double to = (forward ? right : lineSteps - left) + double(shift);
    columnShare_[size_t(column)] =
        to > from ? (FiredBefore(to) - FiredBefore(from)) / (to - from) : 0.0;
  }

  // The line's band, one step-over up from its Y, within the engraved height; frame row 0 is
  // the top.
  const double length = line.length;
  const double low = std::max(scanY_, 0.0);
  const double high = std::min(scanY_ + line.yStepOver, length);
  const double unitsPerRow = length / frameHeight_;
  if (high > low) {
    const int firstRow = std::max(0, int(std::floor((length - high) / unitsPerRow)));
    const int lastRow =
        std::min(frameHeight_ - 1, int(std::ceil((length - low) / unitsPerRow)) - 1);
    for (int row = firstRow; row <= lastRow; ++row) {
      const double rowTop = length - row * unitsPerRow;
      const double rowBottom = length - (row + 1) * unitsPerRow;
      const double weight = std::min(high, rowTop) - std::max(low, rowBottom);
      if (!(weight > 0.0)) continue;
      weight_[size_t(row)] += weight;
      double* fired = fired_.data() + size_t(row) * size_t(frameWidth_);
      for (int column = 0; column < frameWidth_; ++column)
        fired[column] += weight * columnShare_[size_t(column)];
    }
  }
  scanY_ = scanY_ + line.yStepOver;
  ++drawn_;
}

RasterEstimate EngravingView::Estimate(double feedRate) const {
  RasterEstimate estimate;
  if (!Started() || drawn_ < lineCount_ || !(feedRate > 0.0) || !std::isfinite(feedRate))
    return estimate;
  estimate.runs = true;
  estimate.lines = lineCount_ - std::min(job_.firstLine, lineCount_);
  estimate.seconds = travel_.Length() / feedRate * 60.0;
  return estimate;
}

double EngravingView::Share(int x, int y) const {
  if (!Started() || x < 0 || y < 0 || x >= frameWidth_ || y >= frameHeight_) return -1.0;
  const double weight = weight_[size_t(y)];
  if (!(weight > 0.0)) return -1.0;
  return std::clamp(fired_[size_t(y) * size_t(frameWidth_) + size_t(x)] / weight, 0.0, 1.0);
}

void EngravingView::Paint(PixelSurface& surface) const {
  if (!Started() || surface.width <= 0 || surface.height <= 0) return;
  for (int y = 0; y < surface.height; ++y) {
    const int row = int(int64_t(y) * frameHeight_ / surface.height);
    if (!(weight_[size_t(row)] > 0.0)) continue;
    uint8_t* pixel = surface.Row(y);
    for (int x = 0; x < surface.width; ++x, pixel += 3) {
      const int column = int(int64_t(x) * frameWidth_ / surface.width);
      const auto level = uint8_t(std::lround(255.0 * Share(column, row)));
      pixel[0] = pixel[1] = pixel[2] = level;
    }
  }
}

namespace {

// From line firstLine (from 0) of `lines` on: Y and then X go from X 0, Y 0 to that line's
// start, then the lines (with their overscan) and the return, each move at the feed rate.
RasterEstimate EstimateFrom(const RasterMoves& moves, double length, double feedRate,
                            double stepOver, int64_t firstLine, int64_t lines) {
  double y = 0.0;
  for (int64_t k = 0; k < firstLine; ++k) y = y + stepOver;
  const double overscan = moves.OverscanUnits();
  const bool forward = firstLine % 2 == 0;
  const double startX = forward ? -overscan : moves.width + overscan;
  const double top = RasterTopY(length, stepOver);
  const int64_t engraved = lines - firstLine;
  // The last line ends on the far side of the one it started from.
  const bool endsForward = (lines - 1) % 2 == 0;
  const double lastX = endsForward ? moves.width + overscan : -overscan;
  const double distance = y + std::fabs(startX) +
                          double(engraved) * (moves.width + 2.0 * overscan) + (top - y) +
                          std::hypot(lastX, top);
  RasterEstimate estimate;
  estimate.runs = true;
  estimate.lines = engraved;
  estimate.seconds = distance / feedRate * 60.0;
  return estimate;
}

}  // namespace

RasterEstimate EstimateRaster(double width, double length, double feedRate, double stepOver) {
  RasterEstimate estimate;
  const bool finite = std::isfinite(width) && std::isfinite(length) && std::isfinite(feedRate) &&
                      std::isfinite(stepOver);
  if (!finite || !(width > 0.0) || !(length > 0.0) || !(feedRate > 0.0) || !(stepOver > 0.0))
    return estimate;
  // The sequence's own count; a raster of more than ten million lines is estimated from the
  // quotient instead, which is well within one percent there.
  constexpr int64_t kCountedLines = 10000000;
  double y = 0.0;
  int64_t lines = 0;
  if (length / stepOver <= double(kCountedLines)) {
    for (; y < length; y = y + stepOver) ++lines;
  } else {
    lines = int64_t(std::ceil(length / stepOver));
    y = double(lines) * stepOver;
  }
  // Each line moves the width along X and a step-over along Y; the end returns from the last
  // line's end (X = width after an odd number of lines) straight to X 0, Y 0.
  const double lastX = lines % 2 == 1 ? width : 0.0;
  const double distance = double(lines) * width + y + std::hypot(lastX, y);
  estimate.runs = true;
  estimate.lines = lines;
  estimate.seconds = distance / feedRate * 60.0;
  return estimate;
}

RasterEstimate EstimateRaster(const RasterMoves& moves, double length, double feedRate,
                              double stepOver, int64_t firstLine) {
  RasterEstimate estimate = EstimateRaster(moves.width, length, feedRate, stepOver);
  if (estimate.runs && firstLine > 0 && firstLine < estimate.lines)
    return EstimateFrom(moves, length, feedRate, stepOver, firstLine, estimate.lines);
  if (!estimate.runs || moves.Plain()) return estimate;
  // Whole lines with a run-in and run-out: X first goes back to the first line's start; the
  // lines then end a run-out past either edge, where the next one starts.
  const double overscan = moves.OverscanUnits();
  const double y = RasterTopY(length, stepOver);
  const double lastX = estimate.lines % 2 == 1 ? moves.width + overscan : -overscan;
  const double distance =
      overscan + double(estimate.lines) * (moves.width + 2.0 * overscan) + y + std::hypot(lastX, y);
  estimate.seconds = distance / feedRate * 60.0;
  return estimate;
}

std::string EstimateText(const RasterEstimate& estimate) {
  if (!estimate.runs) return "Engraving time: -";
  const auto total = int64_t(std::llround(estimate.seconds));
  char text[96];
  std::snprintf(text, sizeof text, "Engraving time: %lld:%02lld:%02lld (%lld %s)",
                static_cast<long long>(total / 3600), static_cast<long long>(total / 60 % 60),
                static_cast<long long>(total % 60), static_cast<long long>(estimate.lines),
                estimate.lines == 1 ? "line" : "lines");
  return text;
}

std::string ClassicFillHint(int32_t triggerLineLength, double imagePixelsX, bool dithered) {
  if (dithered || !(imagePixelsX > 0.0) || triggerLineLength <= 0) return "";
  const double stepsPerColumn = double(triggerLineLength) / imagePixelsX;
  if (!(stepsPerColumn < 4.0)) return "";
  // A column of n steps fires 0 .. n of them: n + 1 levels, n at most the next whole number.
  const int levels = int(std::ceil(stepsPerColumn)) + 1;
  return "Only " + ThreeDigits(stepsPerColumn) + " steps per picture column: the classic fill " +
         "shows at most " + std::to_string(levels) + " gray levels. Tick \"Dithered (photo)\" " +
         "for photographs.";
}

}  // namespace engrave

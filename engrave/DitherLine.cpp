#include "engrave/DitherLine.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "engrave/LineWriting.h"
#include "image/CxImage.h"

namespace engrave {
namespace {

using detail::BitWriter;
using detail::RowBrightness;

constexpr int kMaxPhases = 8;
// Errors are kept in fixed point: one fire is this many units.
constexpr int32_t kErrorOne = 1 << 16;

// A fixed scramble of a position and a line: the same raster always gets the same bits (the
// dialog's view of the engraving must fire what the machine fires), yet neighbouring values
// look unrelated.
uint32_t Scramble(int64_t position, int64_t line) {
  uint32_t h = uint32_t(position) * 0x9E3779B1u ^ uint32_t(line) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

// An error in fires as fixed point, rounded to the nearest unit (no library call: this runs
// once per cell).
int32_t ToFixed(double fires) {
  const double units = fires * kErrorOne;
  return int32_t(units + (units < 0.0 ? -0.5 : 0.5));
}

// -0.5 .. 0.5, from the scramble's low 16 bits.
double Centered(uint32_t scramble) {
  return double(scramble & 0xFFFFu) / 65536.0 - 0.5;
}

}  // namespace

DitheredLineFiller::Geometry DitheredLineFiller::GeometryOf(const TriggerLineInput& line,
                                                            const CxImage* picture) {
  Geometry geometry;
  geometry.steps = line.triggerLineLength;
  geometry.columns = line.imagePixelsX;
  geometry.rows = line.imagePixelsY;
  geometry.length = line.length;
  geometry.stepOver = line.yStepOver;
  geometry.invert = line.invert;
  if (picture != nullptr && picture->IsLoaded()) {
    geometry.pictureWidth = picture->ImageWidth();
    geometry.pictureHeight = picture->ImageHeight();
  }
  return geometry;
}

bool DitheredLineFiller::Geometry::SameAs(const Geometry& other) const {
  auto same = [](double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
  };
  return steps == other.steps && same(columns, other.columns) && same(rows, other.rows) &&
         same(length, other.length) && same(stepOver, other.stepOver) && invert == other.invert &&
         pictureWidth == other.pictureWidth && pictureHeight == other.pictureHeight;
}

void DitheredLineFiller::Prepare(const TriggerLineInput& line, const CxImage* picture) {
  toneTable_ = toneLookup_.For(line.tone);
  geometry_ = GeometryOf(line, picture);
  linesFilled_ = 0;
  starts_.clear();
  patternSets_.clear();
  longestCell_ = 0;
  const Geometry& g = geometry_;
  // A line longer than the buffer cannot be armed; should one come, it fires nothing rather
  // than part of the picture at another scale.
  usable_ = g.steps >= 1 && g.steps <= kTriggerBitCapacity && g.columns > 0.0 &&
            std::isfinite(g.columns) && g.rows > 0.0 && std::isfinite(g.rows) && g.length > 0.0 &&
            std::isfinite(g.length) && g.pictureWidth > 0 && g.pictureHeight > 0;
  if (!usable_) return;
  phases_ = std::clamp(tuning_.phases, 1, kMaxPhases);
  stepsPerColumn_ = double(g.steps) / g.columns;
  columnsPerStep_ = g.columns / double(g.steps);
  profileColumns_ = std::min<int64_t>(g.pictureWidth, int64_t(std::ceil(std::min(g.columns, 4e9))));
  stepByStep_ = stepsPerColumn_ < std::max(tuning_.singleStepBelow, 1.0 + 1e-9);
  if (stepByStep_) {
    longestCell_ = 1;
  } else {
    BuildCells();
    BuildPatterns();
  }
  needPrefix_ = !stepByStep_ || stepsPerColumn_ < 1.0;
  rowSum_.assign(size_t(profileColumns_), 0.0);
  tone_.assign(size_t(profileColumns_) + 1, 0.0);
  prefix_.assign(needPrefix_ ? size_t(profileColumns_) + 1 : 0, 0.0);
  errorIn_.assign(size_t(CellCount()) + 2, 0);
  errorOut_.assign(size_t(CellCount()) + 2, 0);
}

void DitheredLineFiller::BuildCells() {
  const int64_t steps = geometry_.steps;
  const int64_t longest = std::max<int32_t>(1, tuning_.maxCellSteps);
  starts_.reserve(size_t(double(steps) / stepsPerColumn_ + double(steps) / double(longest)) + 3);
  starts_.push_back(0);
  // Column c ends at step round(c * r); with more than one step per column these ends rise
  // strictly, so every column is a cell of its own, split when it is longer than allowed.
  int64_t start = 0;
  for (int64_t column = 1; start < steps; ++column) {
    const int64_t end = std::min<int64_t>(steps, std::llround(double(column) * stepsPerColumn_));
    const int64_t length = end - start;
    const int64_t parts = (length + longest - 1) / longest;
    for (int64_t part = 1; part <= parts; ++part)
      starts_.push_back(int32_t(start + length * part / parts));
    for (int64_t part = 0; part < parts; ++part) {
      const int64_t cell = length * (part + 1) / parts - length * part / parts;
      longestCell_ = std::max<int32_t>(longestCell_, int32_t(cell));
    }
    start = end;
  }
}

void DitheredLineFiller::BuildPatterns() {
  patternSetOfLength_.assign(size_t(longestCell_) + 1, int16_t(-1));
  for (size_t i = 0; i + 1 < starts_.size(); ++i) {
    const int32_t length = starts_[i + 1] - starts_[i];
    if (patternSetOfLength_[size_t(length)] >= 0) continue;
    patternSetOfLength_[size_t(length)] = int16_t(patternSets_.size());
    PatternSet& set = patternSets_.emplace_back();
    set.length = length;
    set.wordsPerPattern = (length + 31) / 32;
    const int64_t phases = phases_;
    set.words.assign(size_t(length + 1) * size_t(phases) * size_t(set.wordsPerPattern), 0u);
    for (int64_t fires = 1; fires <= length; ++fires) {
      for (int64_t phase = 0; phase < phases; ++phase) {
        uint32_t* pattern = set.words.data() +
                            (size_t(fires) * size_t(phases) + size_t(phase)) * set.wordsPerPattern;
        // Fire k of m sits at floor((k + (phase + 1/2) / phases) * length / m): evenly spread,
        // never two at one step.
        for (int64_t k = 0; k < fires; ++k) {
          const int64_t step = (2 * phases * k + 2 * phase + 1) * length / (2 * phases * fires);
          pattern[step / 32] |= uint32_t(1) << (step % 32);
        }
      }
    }
  }
}

bool DitheredLineFiller::ReadBand(double scanY, const CxImage& picture) {
  const Geometry& g = geometry_;
  double low = (scanY / g.length) * g.rows;
  double high = ((scanY + g.stepOver) / g.length) * g.rows;
  if (!(std::isfinite(low) && std::isfinite(high))) return false;
  if (high < low) std::swap(low, high);
  if (!(high > low)) {
    // A line without height reads the one row under it.
    if (!(low >= 0.0 && low < g.rows)) return false;
    low = std::floor(low);
    high = std::min(low + 1.0, g.rows);
  }
  low = std::max(low, 0.0);
  high = std::min(high, g.rows);
  if (!(high > low)) return false;

  const int64_t width = profileColumns_;
  const double pictureRows = double(g.pictureHeight);
  const double outside =
      toneTable_ != nullptr ? toneTable_[picture.PixelGray(-1, -1)] : picture.PixelGray(-1, -1);
  // Rows above the picture read as every outside pixel does.
  const double outsideRows = std::max(0.0, high - std::max(low, pictureRows));
  const int64_t firstRow = int64_t(std::floor(low));
  const int64_t endRow =
      std::min<int64_t>(int64_t(std::ceil(std::min(high, pictureRows))), int64_t(g.pictureHeight));
  const double scale = 1.0 / (255.0 * (high - low));
  auto tone = [&](double levelSum) {
    const double level = levelSum * scale;
    return g.invert ? 1.0 - level : level;
  };
  if (endRow - firstRow == 1 && outsideRows == 0.0) {
    // The band lies within one row: its levels as they are.
    const RowBrightness brightness(picture, int32_t(firstRow), false, toneTable_);
    const uint8_t* bytes = brightness.RowBytes();
    const double weight = high - low;
    if (bytes != nullptr && brightness.Depth() == 8) {
      double byteTone[256];
      for (int index = 0; index < 256; ++index)
        byteTone[index] = tone(weight * brightness.Lookup()[index]);
      for (int64_t x = 0; x < width; ++x) tone_[size_t(x)] = byteTone[bytes[x]];
    } else {
      for (int64_t x = 0; x < width; ++x) tone_[size_t(x)] = tone(weight * brightness.At(x));
    }
  } else {
    std::fill(rowSum_.begin(), rowSum_.end(), outsideRows * outside);
    // Rows inside the picture, each by the share of it under the band.
    for (int64_t row = firstRow; row < endRow; ++row) {
      const double weight = std::min(high, double(row + 1)) - std::max(low, double(row));
      if (!(weight > 0.0)) continue;
      const RowBrightness brightness(picture, int32_t(row), false, toneTable_);
      const uint8_t* bytes = brightness.RowBytes();
      if (bytes != nullptr && brightness.Depth() == 8) {
        const uint8_t* lookup = brightness.Lookup();
        for (int64_t x = 0; x < width; ++x) rowSum_[size_t(x)] += weight * lookup[bytes[x]];
      } else {
        for (int64_t x = 0; x < width; ++x) rowSum_[size_t(x)] += weight * brightness.At(x);
      }
    }
    for (int64_t x = 0; x < width; ++x) tone_[size_t(x)] = tone(rowSum_[size_t(x)]);
  }
  tone_[size_t(width)] = g.invert ? 1.0 - outside / 255.0 : outside / 255.0;
  if (needPrefix_) {
    prefix_[0] = 0.0;
    for (int64_t x = 0; x < width; ++x)
      prefix_[size_t(x) + 1] = prefix_[size_t(x)] + tone_[size_t(x)];
  }
  return true;
}

double DitheredLineFiller::Integral(double u) const {
  const int64_t column = std::min<int64_t>(int64_t(u), profileColumns_);
  return prefix_[size_t(column)] + (u - double(column)) * tone_[size_t(column)];
}

template <bool kWideSteps>
void DitheredLineFiller::DiffuseSteps(bool forward, void* writerRef) {
  BitWriter writer = *static_cast<BitWriter*>(writerRef);
  const int64_t steps = geometry_.steps;
  const int64_t direction = forward ? 1 : -1;
  const double columnsPerStep = columnsPerStep_, stepsPerColumn = stepsPerColumn_;
  const int64_t lastColumn = profileColumns_;
  const double* tone = tone_.data();
  // Index j + 1 is step j: one step of padding at each end takes what is handed past it.
  const int32_t* in = errorIn_.data() + 1;
  int32_t* out = errorOut_.data() + 1;
  // The next line's error of the step behind and of this step, still being summed; each entry
  // of `out` is stored once, when complete.
  int32_t pendingBehind = 0, pendingHere = 0, carry = 0;
  const int64_t line = linesFilled_;
  const int64_t thresholdSpread = int64_t(tuning_.stepThresholdSpread * kErrorOne);
  uint32_t word = 0;
  int bitsInWord = 0;
  int64_t j = forward ? 0 : steps - 1;
  for (int64_t n = 0; n < steps; ++n, j += direction) {
    double target;
    if constexpr (kWideSteps) {
      // A step covers several columns: their sum, from the prefix sums.
      target = (Integral(double(j + 1) * columnsPerStep) - Integral(double(j) * columnsPerStep)) *
               stepsPerColumn;
    } else {
      // A step covers one column or the edge of two.
      const double from = double(j) * columnsPerStep, to = double(j + 1) * columnsPerStep;
      const int64_t first = std::min<int64_t>(int64_t(from), lastColumn);
      const int64_t last = std::min<int64_t>(int64_t(to), lastColumn);
      target = first == last
                   ? tone[first]
                   : (tone[first] * (double(last) - from) + tone[last] * (to - double(last))) *
                         stepsPerColumn;
    }
    // Fixed point keeps the chain from one step to the next short, and the shares below add up
    // to the error exactly, so no tone is lost or made on the way.
    const int32_t wanted = int32_t(target * kErrorOne + 0.5) + in[j] + carry;
    // The threshold moves a little from step to step, so that lines of the same direction do
    // not settle into the same dots.
    const int32_t threshold =
        kErrorOne / 2 +
        int32_t((int64_t(int32_t(Scramble(j, line) & 0xFFFFu) - 32768) * thresholdSpread) >> 16);
    const int32_t fires = wanted >= threshold ? 1 : 0;
    const int32_t error = wanted - fires * kErrorOne;
    const int32_t aside = error >> 5;   // 1/32 behind and ahead
    const int32_t under = error >> 4;   // 2/32 under
    carry = error - 2 * aside - under;  // the rest, 28/32, to the next step
    out[j - direction] = pendingBehind + aside;
    pendingBehind = pendingHere + under;
    pendingHere = aside;
    word |= uint32_t(fires) << bitsInWord;
    if (++bitsInWord == 32) {
      writer.AppendWord(word, 32);
      word = 0;
      bitsInWord = 0;
    }
  }
  if (bitsInWord > 0) writer.AppendWord(word, bitsInWord);
  const int64_t lastStep = forward ? steps - 1 : 0;
  out[lastStep] = pendingBehind;
  out[lastStep + direction] = pendingHere;
  FoldEnds(steps);
  *static_cast<BitWriter*>(writerRef) = writer;
}

void DitheredLineFiller::DiffuseCells(bool forward, void* writerRef) {
  BitWriter writer = *static_cast<BitWriter*>(writerRef);
  const int64_t cells = CellCount();
  const int64_t direction = forward ? 1 : -1;
  const DitherTuning::Kernel kernel = tuning_.cellKernel;
  const double inLine = kernel.inLine, behind = kernel.behind, below = kernel.below,
               ahead = kernel.ahead;
  const int32_t* in = errorIn_.data() + 1;  // index i + 1 is cell i
  int32_t* out = errorOut_.data() + 1;
  double pendingBehind = 0.0, pendingHere = 0.0, carry = 0.0;
  const int64_t line = linesFilled_;
  int64_t cell = forward ? 0 : cells - 1;
  double edge = Integral(double(starts_[size_t(forward ? 0 : cells)]) * columnsPerStep_);
  for (int64_t n = 0; n < cells; ++n, cell += direction) {
    const int32_t first = starts_[size_t(cell)];
    const int32_t end = starts_[size_t(cell) + 1];
    const double nextEdge = Integral(double(forward ? end : first) * columnsPerStep_);
    const double target = (forward ? nextEdge - edge : edge - nextEdge) * stepsPerColumn_;
    edge = nextEdge;
    const int32_t length = end - first;
    const double wanted = target + double(in[cell]) / kErrorOne + carry;
    const int32_t fires = int32_t(std::clamp(std::floor(wanted + 0.5), 0.0, double(length)));
    const double error = wanted - double(fires);
    carry = error * inLine;
    out[cell - direction] = ToFixed(pendingBehind + error * behind);
    pendingBehind = pendingHere + error * below;
    pendingHere = error * ahead;
    // The error carried in says how soon the next fire is due: at once for +0.5, a whole
    // spacing later for -0.5. A scrambled shift keeps equal cells of successive lines from
    // firing at the same steps.
    double due = 0.5 + target - wanted + tuning_.cellPhaseSpread * Centered(Scramble(cell, line));
    due -= std::floor(due);
    const int phase = std::min(int(due * phases_), phases_ - 1);
    const PatternSet& set = patternSets_[size_t(patternSetOfLength_[size_t(length)])];
    const uint32_t* pattern =
        set.words.data() + (size_t(fires) * size_t(phases_) + size_t(phase)) * set.wordsPerPattern;
    if (length <= 32)
      writer.AppendWord(pattern[0], length);
    else
      writer.AppendPattern(pattern, length);
  }
  const int64_t lastCell = forward ? cells - 1 : 0;
  out[lastCell] = ToFixed(pendingBehind);
  out[lastCell + direction] = ToFixed(pendingHere);
  FoldEnds(cells);
  *static_cast<BitWriter*>(writerRef) = writer;
}

void DitheredLineFiller::FoldEnds(int64_t count) {
  // Error handed past either end of the line stays in the end cell.
  int32_t* out = errorOut_.data() + 1;
  out[0] += out[-1];
  out[count - 1] += out[count];
  out[-1] = out[count] = 0;
  std::swap(errorIn_, errorOut_);
}

void DitheredLineFiller::Fill(const TriggerLineInput& line, const CxImage* picture,
                              uint32_t* bits) {
  BitWriter writer(bits);
  // A line without a picture fires nothing; it never reads a picture that is not there.
  if (picture != nullptr && picture->IsLoaded()) {
    if (!GeometryOf(line, picture).SameAs(geometry_)) Prepare(line, picture);
    toneTable_ = toneLookup_.For(line.tone);
    if (usable_ && ReadBand(line.scanY, *picture)) {
      const bool forward = line.scanXTarget == 0.0;
      if (!stepByStep_)
        DiffuseCells(forward, &writer);
      else if (stepsPerColumn_ < 1.0)
        DiffuseSteps<true>(forward, &writer);
      else
        DiffuseSteps<false>(forward, &writer);
    }
  }
  writer.Finish();
  ++linesFilled_;
}

}  // namespace engrave

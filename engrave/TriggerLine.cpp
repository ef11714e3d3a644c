#include "engrave/TriggerLine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "image/CxImage.h"

namespace engrave {
namespace {

constexpr int64_t kLastColumn = INT32_MAX;  // the column counter is a 32-bit integer

int64_t TruncateToInt64(double value) {
  // Callers only pass values below 2^31 in magnitude or handle the rest themselves.
  return static_cast<int64_t>(value);
}

// Brightness of the columns of one picture row, read without a call per pixel where the
// picture's layout allows it. Gives exactly what CxImage::PixelGray gives.
class RowBrightness {
 public:
  RowBrightness(const CxImage& picture, int32_t y) : picture_(picture), y_(y) {
    width_ = picture.ImageWidth();
    outside_ = picture.PixelGray(-1, -1);  // every outside coordinate reads the same colour
    if (y < 0 || uint32_t(y) >= picture.ImageHeight()) return;
    row_ = picture.RowAddress(uint32_t(y));
    depth_ = picture.BitsPerPixel();
    if (depth_ == 8) {
      for (int index = 0; index < 256; ++index) {
        CxRgbQuad entry = picture.PaletteColor(uint8_t(index));
        lookup_[index] = uint8_t((306 * entry.red + 601 * entry.green + 117 * entry.blue) >> 10);
      }
    }
  }

  int At(int64_t x) const {
    if (row_ == nullptr || x < 0 || x >= int64_t(width_)) return outside_;
    switch (depth_) {
      case 8:
        return lookup_[row_[x]];
      case 24: {
        const uint8_t* pixel = row_ + 3 * x;
        return (306 * pixel[2] + 601 * pixel[1] + 117 * pixel[0]) >> 10;
      }
      default:
        return picture_.PixelGray(int32_t(x), y_);
    }
  }

 private:
  const CxImage& picture_;
  int32_t y_;
  uint32_t width_ = 0;
  int outside_ = 0;
  const uint8_t* row_ = nullptr;
  int depth_ = 0;
  uint8_t lookup_[256] = {};
};

void SetBitRange(uint32_t* bits, int64_t first, int64_t end) {
  end = std::min<int64_t>(end, kTriggerBitCapacity);
  if (first >= end) return;
  int64_t firstWord = first / 32;
  int64_t lastWord = (end - 1) / 32;
  uint32_t headMask = ~uint32_t(0) << (first % 32);
  uint32_t tailMask = ~uint32_t(0) >> (31 - (end - 1) % 32);
  if (firstWord == lastWord) {
    bits[firstWord] |= headMask & tailMask;
    return;
  }
  bits[firstWord] |= headMask;
  for (int64_t word = firstWord + 1; word < lastWord; ++word) bits[word] = ~uint32_t(0);
  bits[lastWord] |= tailMask;
}

// ORs the first count bits of pattern into bits from bit first on, dropping what lies beyond
// the buffer.
void OrPattern(uint32_t* bits, int64_t first, const uint32_t* pattern, int64_t count) {
  count = std::min<int64_t>(count, kTriggerBitCapacity - first);
  if (count <= 0) return;
  const int64_t patternWords = (count + 31) / 32;
  const int64_t word = first / 32;
  const unsigned shift = unsigned(first % 32);
  const uint32_t lastMask = ~uint32_t(0) >> (31 - (count - 1) % 32);
  for (int64_t k = 0; k < patternWords; ++k) {
    uint32_t value = pattern[k];
    if (k == patternWords - 1) value &= lastMask;
    if (value == 0) continue;
    bits[word + k] |= value << shift;
    if (shift != 0 && word + k + 1 < kTriggerWords) bits[word + k + 1] |= value >> (32 - shift);
  }
}

}  // namespace

int32_t TruncateToInt32(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void ComputeFirePattern(int32_t steps, int brightness, uint32_t* words) {
  std::fill(words, words + (int64_t(steps) + 31) / 32, 0u);
  const double fraction = brightness / 255.0;
  const double share = double(steps) * fraction;
  double accumulator = 0.0;
  for (int32_t step = 0; step < steps; ++step) {
    accumulator = share + accumulator;
    if (double(steps) <= accumulator) {
      accumulator = accumulator - double(steps);
      words[step / 32] |= uint32_t(1) << (step % 32);
    }
  }
}

TriggerLineFiller::PatternSet& TriggerLineFiller::PatternsFor(int32_t steps) {
  ++useCounter_;
  for (PatternSet& set : cache_) {
    if (set.steps == steps) {
      set.lastUse = useCounter_;
      return set;
    }
  }
  PatternSet* slot;
  if (cache_.size() < kCachedStepCounts) {
    slot = &cache_.emplace_back();
  } else {
    slot = &*std::min_element(
        cache_.begin(), cache_.end(),
        [](const PatternSet& a, const PatternSet& b) { return a.lastUse < b.lastUse; });
  }
  slot->steps = steps;
  slot->lastUse = useCounter_;
  slot->wordsPerPattern = uint32_t((steps + 31) / 32);
  slot->words.assign(size_t(256) * slot->wordsPerPattern, 0u);
  slot->state.fill(0);
  return *slot;
}

void TriggerLineFiller::WriteColumn(uint32_t* bits, int64_t firstStep, int32_t steps,
                                    int brightness) {
  if (firstStep >= kTriggerBitCapacity || brightness <= 0) return;
  if (brightness >= 255) {
    // A fraction of exactly 1 fires at every step.
    SetBitRange(bits, firstStep, firstStep + steps);
    return;
  }
  // Steps past the buffer are dropped, and the fires of the first steps do not depend on the
  // later ones, so a huge column is only worked out as far as the buffer reaches.
  const int64_t reachable = std::min<int64_t>(steps, kTriggerBitCapacity - firstStep);
  if (steps > kLargestCachedSteps) {
    scratch_.assign(size_t((reachable + 31) / 32), 0u);
    const double share = double(steps) * (brightness / 255.0);
    double accumulator = 0.0;
    for (int64_t step = 0; step < reachable; ++step) {
      accumulator = share + accumulator;
      if (double(steps) <= accumulator) {
        accumulator = accumulator - double(steps);
        scratch_[size_t(step / 32)] |= uint32_t(1) << (step % 32);
      }
    }
    OrPattern(bits, firstStep, scratch_.data(), reachable);
    return;
  }
  PatternSet& set = PatternsFor(steps);
  uint32_t* pattern = set.words.data() + size_t(brightness) * set.wordsPerPattern;
  if (set.state[brightness] == 0) {
    ComputeFirePattern(steps, brightness, pattern);
    bool empty =
        std::all_of(pattern, pattern + set.wordsPerPattern, [](uint32_t w) { return w == 0; });
    set.state[brightness] = empty ? 2 : 1;
  }
  if (set.state[brightness] == 2) return;
  OrPattern(bits, firstStep, pattern, reachable);
}

void TriggerLineFiller::Fill(const TriggerLineInput& line, const CxImage* picture, uint32_t* bits) {
  std::memset(bits, 0, sizeof(uint32_t) * kTriggerWords);
  // A line without a picture fires nothing; it never reads a picture that is not there.
  if (picture == nullptr || !picture->IsLoaded()) return;
  const double columns = line.imagePixelsX;
  const double stepsPerColumn = double(line.triggerLineLength) / columns;
  // Without at least one column, or with no positive share of steps, no step is ever written.
  if (!(1.0 < columns) || !(stepsPerColumn > 0.0)) return;

  const int32_t row = TruncateToInt32((line.scanY / line.length) * line.imagePixelsY);
  const bool forward = line.scanXTarget == 0.0;
  const int64_t lastColumnIndex = TruncateToInt32(columns);
  const RowBrightness brightness(*picture, row);

  int64_t nextStep = 0;  // j: the first step of the next column
  int64_t column = 1;    // i
  while (column <= kLastColumn && double(column) < columns) {
    const int64_t end = TruncateToInt64(double(column) * stepsPerColumn);
    const int64_t steps = end - nextStep;
    if (steps <= 0) {
      // A column without steps changes nothing: jump to the first column that has some.
      // i * r is monotonic in i, so the estimate from a division only needs a local fix-up.
      const double target = double(nextStep + 1);
      double estimate = std::ceil(target / stepsPerColumn);
      if (!(estimate < double(kLastColumn))) estimate = double(kLastColumn);
      int64_t candidate = std::max<int64_t>(column + 1, int64_t(estimate));
      while (candidate - 1 > column && double(candidate - 1) * stepsPerColumn >= target)
        --candidate;
      while (candidate < kLastColumn && double(candidate) * stepsPerColumn < target) ++candidate;
      column = candidate;
      continue;
    }
    const int64_t x = forward ? column : lastColumnIndex - column;
    WriteColumn(bits, nextStep, int32_t(steps), brightness.At(x));
    nextStep = end;
    if (nextStep >= kTriggerBitCapacity) break;
    ++column;
  }
}

}  // namespace engrave

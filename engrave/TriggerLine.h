// One raster line of trigger bits: the line's X motor steps are shared out among the picture
// columns, and each column fires an evenly spread share of its steps in proportion to its
// brightness. The bits come out exactly as the per-step accumulation in 64-bit floating point
// gives them; this unit only gets there faster, by reusing each column's fire pattern.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engrave/ToneAdjustment.h"

class CxImage;

namespace engrave {

inline constexpr int32_t kTriggerWords = 32000;
inline constexpr int32_t kTriggerBitCapacity = kTriggerWords * 32;  // 1,024,000

// What one line reads from the parameter set.
struct TriggerLineInput {
  int32_t triggerLineLength = 0;
  double imagePixelsX = 0.0;
  double imagePixelsY = 0.0;
  double length = 0.0;
  double scanY = 0.0;
  double scanXTarget = 0.0;  // 0: a forward line (columns left to right)
  double yStepOver = 0.0;    // the height of the line's band (the dithered fill reads it)
  bool invert = false;       // black fires the most ("Inverted (Black  = On)")
  ToneAdjustment tone;       // applied to every level read, before the inversion

  bool operator==(const TriggerLineInput&) const = default;
};

// Truncates toward zero like the x86 conversion instruction: NaN and values outside the 32-bit
// range give INT32_MIN, so every input has one defined answer.
int32_t TruncateToInt32(double value);

// Whether the step-th of n steps of a column at this brightness fires, for every step at once:
// bit k of the result words is step k.
void ComputeFirePattern(int32_t steps, int brightness, uint32_t* words);
// The same for the first count steps only: the later steps do not change the earlier fires.
void ComputeFirePatternPrefix(int32_t steps, int brightness, int64_t count, uint32_t* words);

class TriggerLineFiller {
 public:
  // Clears all 32000 words of bits, then writes the fires of one line read from the picture's
  // row under the line. Without a picture nothing fires.
  void Fill(const TriggerLineInput& line, const CxImage* picture, uint32_t* bits);
  // Works out beforehand the fire patterns of both step counts a column of these lines can
  // have, and sizes the buffer of a column too long for them, so that filling the lines
  // allocates nothing. The bits are the same either way.
  void Prepare(const TriggerLineInput& line);

 private:
  // Fire patterns of one step count, computed for each brightness on first use.
  struct PatternSet {
    int32_t steps = 0;
    uint32_t wordsPerPattern = 0;
    uint64_t lastUse = 0;
    std::vector<uint32_t> words;       // 256 patterns
    std::array<uint8_t, 256> state{};  // 0 not computed yet
  };
  static constexpr int32_t kLargestCachedSteps = 8192;
  static constexpr std::size_t kCachedStepCounts = 4;
  using BitWriterRef = void*;  // the line's writer, private to the implementation

  void FillColumns(const TriggerLineInput& line, const CxImage* picture, BitWriterRef writer);
  template <typename GrayAt>
  void ColumnLoop(BitWriterRef writer, double stepsPerColumn, double columns, bool forward,
                  int64_t lastColumnIndex, GrayAt grayAt);
  void WriteColumn(BitWriterRef writer, int32_t steps, int brightness, int64_t firstStep);
  PatternSet& PatternsFor(int32_t steps);
  const uint32_t* SmallPatterns(int32_t steps);
  static const uint32_t* Pattern(PatternSet& set, int brightness);

  std::vector<PatternSet> cache_;
  ToneLookup toneLookup_;
  // Complete pattern tables of the step counts up to one word, indexed by step count.
  static constexpr int32_t kWordSteps = 32;
  std::array<const uint32_t*, kWordSteps + 1> smallPatterns_{};
  uint64_t useCounter_ = 0;
  std::vector<uint32_t> scratch_;
};

}  // namespace engrave

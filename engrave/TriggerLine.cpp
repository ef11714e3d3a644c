#include "engrave/TriggerLine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "engrave/LineWriting.h"
#include "image/CxImage.h"

namespace engrave {
namespace {

using detail::BitWriter;
using detail::RowBrightness;

constexpr int64_t kLastColumn = INT32_MAX;  // the column counter is a 32-bit integer

// Masks of the bytes that fire (equal to `firing`), 32 a word. Forward, bit j of word k is
// byte 32k + j from `first`; backward, it is byte -(32k + j) from `first` (the row read right
// to left).
void FiringMasksPlain(const uint8_t* first, bool forward, int64_t words, uint8_t firing,
                      uint32_t* out) {
  for (int64_t k = 0; k < words; ++k) {
    uint32_t mask = 0;
    for (int j = 0; j < 32; ++j) {
      const uint8_t byte = forward ? first[32 * k + j] : first[-(32 * k + j)];
      mask |= uint32_t(byte == firing) << j;
    }
    out[k] = mask;
  }
}

#if defined(__x86_64__) || defined(__i386__)
// Bit j set when byte j of the 32 from `bytes` on fires.
__attribute__((target("avx2"))) inline uint32_t WhiteMask32(const uint8_t* bytes, __m256i white) {
  const __m256i loaded = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
  return uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(loaded, white)));
}

// The same for the 32 bytes from `bytes` on, the last byte giving bit 0.
__attribute__((target("avx2"))) inline uint32_t WhiteMask32Reversed(const uint8_t* bytes,
                                                                    __m256i white,
                                                                    __m256i reverse) {
  const __m256i loaded = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
  const __m256i whites = _mm256_cmpeq_epi8(loaded, white);
  // Reversed within each 128-bit lane, then the lanes swapped.
  const __m256i reversed =
      _mm256_permute4x64_epi64(_mm256_shuffle_epi8(whites, reverse), _MM_SHUFFLE(1, 0, 3, 2));
  return uint32_t(_mm256_movemask_epi8(reversed));
}

__attribute__((target("avx2"))) void FiringMasksAvx2(const uint8_t* first, bool forward,
                                                     int64_t words, uint8_t firing, uint32_t* out) {
  const __m256i white = _mm256_set1_epi8(char(firing));
  if (forward) {
    int64_t k = 0;
    for (; k + 4 <= words; k += 4) {
      out[k] = WhiteMask32(first + 32 * k, white);
      out[k + 1] = WhiteMask32(first + 32 * k + 32, white);
      out[k + 2] = WhiteMask32(first + 32 * k + 64, white);
      out[k + 3] = WhiteMask32(first + 32 * k + 96, white);
    }
    for (; k < words; ++k) out[k] = WhiteMask32(first + 32 * k, white);
    return;
  }
  // Backward, word k is the 32 bytes ending at first - 32k, in reverse order.
  const __m256i reverse = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
  int64_t k = 0;
  for (; k + 4 <= words; k += 4) {
    out[k] = WhiteMask32Reversed(first - 32 * k - 31, white, reverse);
    out[k + 1] = WhiteMask32Reversed(first - 32 * k - 63, white, reverse);
    out[k + 2] = WhiteMask32Reversed(first - 32 * k - 95, white, reverse);
    out[k + 3] = WhiteMask32Reversed(first - 32 * k - 127, white, reverse);
  }
  for (; k < words; ++k) out[k] = WhiteMask32Reversed(first - 32 * k - 31, white, reverse);
}

using FiringMasksFunction = void (*)(const uint8_t*, bool, int64_t, uint8_t, uint32_t*);
FiringMasksFunction ChooseFiringMasks() {
  return __builtin_cpu_supports("avx2") ? FiringMasksAvx2 : FiringMasksPlain;
}
#endif

void FiringMasks(const uint8_t* first, bool forward, int64_t words, uint8_t firing, uint32_t* out) {
#if defined(__x86_64__) || defined(__i386__)
  static const FiringMasksFunction masks = ChooseFiringMasks();
  masks(first, forward, words, firing, out);
#else
  FiringMasksPlain(first, forward, words, firing, out);
#endif
}

// Columns c .. c + count - 1 of a one-step line, all inside an 8-bit row in which only the byte
// `firing` fires: whole words of 32 columns straight from the bytes, the rest column by column.
void AppendFiringColumns(BitWriter& writer, const uint8_t* bytes, uint8_t firing, int64_t firstX,
                         bool forward, int64_t count) {
  const uint8_t* first = bytes + firstX;
  int64_t done = 0;
  while (count - done >= 32 && !writer.Full()) {
    const int64_t words = (count - done) / 32;
    const uint8_t* from = forward ? first + done : first - done;
    if (writer.Aligned()) {
      const int64_t n = std::min(words, writer.Room());
      FiringMasks(from, forward, n, firing, writer.Cursor());
      writer.Skip(n);
      done += 32 * n;
    } else {
      uint32_t masks[256];
      const int64_t n = std::min<int64_t>(words, 256);
      FiringMasks(from, forward, n, firing, masks);
      for (int64_t k = 0; k < n; ++k) writer.AppendWord(masks[k], 32);
      done += 32 * n;
    }
  }
  for (; done < count && !writer.Full(); ++done) {
    writer.AppendWord((forward ? first[done] : first[-done]) == firing ? 1u : 0u, 1);
  }
}

// One step per column: a column fires exactly when it is white. Columns 1 .. count are
// visited; column c shows x = c forward and x = lastColumn - c backward. The columns fall into
// at most three runs (outside the row, inside, outside), and outside columns all read alike.
void FillOneStepColumns(BitWriter& writer, const RowBrightness& row, int64_t count, bool forward,
                        int64_t lastColumn) {
  const int64_t width = row.RowBytes() != nullptr ? row.Width() : 0;
  const bool outsideFires = row.Outside() == 255;
  const int firing = row.FiringByte();
  int64_t column = 1;
  while (column <= count && !writer.Full()) {
    const int64_t x = forward ? column : lastColumn - column;
    int64_t last;  // the last column of the run that starts here
    if (x >= 0 && x < width) {
      last = std::min(count, forward ? width - 1 : lastColumn);
      if (firing >= 0) {
        AppendFiringColumns(writer, row.RowBytes(), uint8_t(firing), x, forward, last - column + 1);
      } else {
        for (int64_t c = column; c <= last && !writer.Full(); ++c) {
          writer.AppendWord(row.At(forward ? c : lastColumn - c) == 255 ? 1u : 0u, 1);
        }
      }
    } else {
      // Backward, a run right of the row ends where the row begins; any other outside run
      // lasts to the end of the line.
      last = !forward && x >= width && width > 0 ? std::min(count, lastColumn - width) : count;
      writer.AppendFilled(last - column + 1, outsideFires);
    }
    column = last + 1;
  }
}

}  // namespace

int32_t TruncateToInt32(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void ComputeFirePattern(int32_t steps, int brightness, uint32_t* words) {
  ComputeFirePatternPrefix(steps, brightness, steps, words);
}

void ComputeFirePatternPrefix(int32_t steps, int brightness, int64_t count, uint32_t* words) {
  std::fill(words, words + (count + 31) / 32, 0u);
  const double fraction = brightness / 255.0;
  const double share = double(steps) * fraction;
  double accumulator = 0.0;
  for (int64_t step = 0; step < count; ++step) {
    accumulator = share + accumulator;
    if (double(steps) <= accumulator) {
      accumulator = accumulator - double(steps);
      words[step / 32] |= uint32_t(1) << (step % 32);
    }
  }
}

const uint32_t* TriggerLineFiller::SmallPatterns(int32_t steps) {
  PatternSet& set = PatternsFor(steps);
  for (int brightness = 0; brightness < 256; ++brightness) Pattern(set, brightness);
  smallPatterns_[steps] = set.words.data();
  return set.words.data();
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
  cache_.reserve(kCachedStepCounts);  // sets never move: the small-pattern table points into them
  if (cache_.size() < kCachedStepCounts) {
    slot = &cache_.emplace_back();
  } else {
    slot = &*std::min_element(
        cache_.begin(), cache_.end(),
        [](const PatternSet& a, const PatternSet& b) { return a.lastUse < b.lastUse; });
  }
  // The evicted set's words may be listed among the small patterns: forget them all.
  if (slot->steps >= 1 && slot->steps <= kWordSteps) smallPatterns_.fill(nullptr);
  slot->steps = steps;
  slot->lastUse = useCounter_;
  slot->wordsPerPattern = uint32_t((steps + 31) / 32);
  slot->words.assign(size_t(256) * slot->wordsPerPattern, 0u);
  slot->state.fill(0);
  return *slot;
}

const uint32_t* TriggerLineFiller::Pattern(PatternSet& set, int brightness) {
  uint32_t* pattern = set.words.data() + size_t(brightness) * set.wordsPerPattern;
  if (set.state[brightness] == 0) {
    ComputeFirePattern(set.steps, brightness, pattern);
    set.state[brightness] = 1;
  }
  return pattern;
}

void TriggerLineFiller::WriteColumn(BitWriterRef writerRef, int32_t steps, int brightness,
                                    int64_t firstStep) {
  BitWriter& writer = *static_cast<BitWriter*>(writerRef);
  // A fraction of 0 never reaches the threshold; a fraction of exactly 1 fires at every step.
  if (brightness <= 0 || brightness >= 255) {
    writer.AppendFilled(steps, brightness >= 255);
    return;
  }
  if (steps <= kLargestCachedSteps) {
    PatternSet* set = &PatternsFor(steps);
    writer.AppendPattern(Pattern(*set, brightness), steps);
    return;
  }
  // Steps past the buffer are dropped and the fires of the first steps do not depend on the
  // later ones, so a huge column is only worked out as far as the buffer reaches.
  const int64_t reachable = std::min<int64_t>(steps, kTriggerBitCapacity - firstStep);
  if (reachable <= 0) return;
  scratch_.resize(size_t((reachable + 31) / 32));
  ComputeFirePatternPrefix(steps, brightness, reachable, scratch_.data());
  writer.AppendPattern(scratch_.data(), reachable);
}

void TriggerLineFiller::Prepare(const TriggerLineInput& line) {
  toneLookup_.For(line.tone);
  const double columns = line.imagePixelsX;
  const double stepsPerColumn = double(line.triggerLineLength) / columns;
  if (!(1.0 < columns) || !(stepsPerColumn > 0.0) || !std::isfinite(stepsPerColumn)) return;
  // Column i gets truncate(i * r) - truncate((i - 1) * r) steps: r rounded down or up.
  for (const double share : {std::floor(stepsPerColumn), std::ceil(stepsPerColumn)}) {
    if (share < 1.0) continue;
    const auto steps = int32_t(std::min(share, double(kTriggerBitCapacity)));
    if (steps <= kWordSteps) {
      if (smallPatterns_[size_t(steps)] == nullptr) SmallPatterns(steps);
    } else if (steps <= kLargestCachedSteps) {
      PatternSet& set = PatternsFor(steps);
      for (int brightness = 0; brightness < 256; ++brightness) Pattern(set, brightness);
    } else {
      scratch_.reserve(size_t((steps + 31) / 32));
    }
  }
}

void TriggerLineFiller::Fill(const TriggerLineInput& line, const CxImage* picture, uint32_t* bits) {
  BitWriter writer(bits);
  FillColumns(line, picture, &writer);
  writer.Finish();
}

void TriggerLineFiller::FillColumns(const TriggerLineInput& line, const CxImage* picture,
                                    BitWriterRef writerRef) {
  BitWriter& writer = *static_cast<BitWriter*>(writerRef);
  // A line without a picture fires nothing; it never reads a picture that is not there.
  if (picture == nullptr || !picture->IsLoaded()) return;
  const double columns = line.imagePixelsX;
  const double stepsPerColumn = double(line.triggerLineLength) / columns;
  // Without at least one column, or with no positive share of steps, no step is ever written.
  if (!(1.0 < columns) || !(stepsPerColumn > 0.0)) return;

  const int32_t row = TruncateToInt32((line.scanY / line.length) * line.imagePixelsY);
  const bool forward = line.scanXTarget == 0.0;
  const int64_t lastColumnIndex = TruncateToInt32(columns);
  const RowBrightness brightness(*picture, row, line.invert, toneLookup_.For(line.tone));

  if (stepsPerColumn == 1.0) {
    // Column i ends at step i exactly: columns 1 .. ceil(columns) - 1, one step each.
    const int64_t count = std::min<int64_t>(
        int64_t(std::ceil(std::min(columns, double(kLastColumn) + 1.0))) - 1, kTriggerBitCapacity);
    FillOneStepColumns(writer, brightness, count, forward, lastColumnIndex);
    return;
  }

  const uint8_t* bytes = brightness.RowBytes();
  if (bytes != nullptr && brightness.Depth() == 8) {
    const uint8_t* lookup = brightness.Lookup();
    const uint64_t width = uint64_t(brightness.Width());
    const int outside = brightness.Outside();
    ColumnLoop(&writer, stepsPerColumn, columns, forward, lastColumnIndex,
               [=](int64_t x) { return uint64_t(x) < width ? int(lookup[bytes[x]]) : outside; });
  } else {
    ColumnLoop(&writer, stepsPerColumn, columns, forward, lastColumnIndex,
               [&brightness](int64_t x) { return brightness.At(x); });
  }
}

template <typename GrayAt>
void TriggerLineFiller::ColumnLoop(BitWriterRef writerRef, double stepsPerColumn, double columns,
                                   bool forward, int64_t lastColumnIndex, GrayAt grayAt) {
  // The writer is worked on as a local copy, which the compiler keeps in registers (through the
  // shared one every column stored and reloaded its state); it is handed back around calls.
  BitWriter& shared = *static_cast<BitWriter*>(writerRef);
  BitWriter writer = shared;
  int64_t nextStep = 0;  // j: the first step of the next column
  int64_t column = 1;    // i
  while (column <= kLastColumn && double(column) < columns) {
    const int64_t end = int64_t(double(column) * stepsPerColumn);
    const int64_t steps = end - nextStep;
    if (steps <= 0) {
      // A column without steps changes nothing: jump to the first column that has some.
      // i * r grows with i, so the estimate from a division only needs a local fix-up.
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
    const int gray = grayAt(x);
    if (steps <= kWordSteps) {
      // The common case of a few steps per column: one ready pattern word, no call.
      const uint32_t* words = smallPatterns_[steps];
      if (words == nullptr) words = SmallPatterns(int32_t(steps));
      writer.AppendWord(words[gray], int(steps));
    } else {
      shared = writer;
      WriteColumn(writerRef, int32_t(steps), gray, nextStep);
      writer = shared;
    }
    nextStep = end;
    if (nextStep >= kTriggerBitCapacity) break;
    ++column;
  }
  shared = writer;
}

}  // namespace engrave

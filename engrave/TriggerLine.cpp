#include "engrave/TriggerLine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "image/CxImage.h"

namespace engrave {
namespace {

constexpr int64_t kLastColumn = INT32_MAX;  // the column counter is a 32-bit integer

// Writes the line's bits in order, word by word, from bit 0 on. Columns cover consecutive
// steps, so each word is stored once; bits past the buffer are dropped.
class BitWriter {
 public:
  explicit BitWriter(uint32_t* words) : words_(words) {}

  bool Full() const { return next_ >= kTriggerWords; }

  // Appends the low count bits of value (count <= 32; higher bits of value are zero).
  void AppendWord(uint32_t value, int count) {
    pending_ |= uint64_t(value) << pendingBits_;
    pendingBits_ += count;
    if (pendingBits_ >= 32) {
      Store(uint32_t(pending_));
      pending_ >>= 32;
      pendingBits_ -= 32;
    }
  }

  // Appends count bits from a pattern whose bits past count are zero.
  void AppendPattern(const uint32_t* pattern, int64_t count) {
    int64_t whole = count / 32;
    if (pendingBits_ == 0) {
      const int64_t room = std::min<int64_t>(whole, kTriggerWords - next_);
      if (room > 0) std::memcpy(words_ + next_, pattern, size_t(room) * sizeof(uint32_t));
      next_ += room;
    } else {
      const unsigned shift = unsigned(pendingBits_);
      uint32_t carry = uint32_t(pending_);
      const int64_t room = std::min<int64_t>(whole, kTriggerWords - next_);
      uint32_t* out = words_ + next_;
      for (int64_t k = 0; k < room; ++k) {
        out[k] = carry | (pattern[k] << shift);
        carry = pattern[k] >> (32 - shift);
      }
      next_ += room;
      pending_ = carry;
    }
    if (next_ >= kTriggerWords) return;
    if (const int rest = int(count % 32)) AppendWord(pattern[whole], rest);
  }

  void AppendFilled(int64_t count, bool fire) {
    const uint32_t fill = fire ? ~uint32_t(0) : 0u;
    if (pendingBits_ != 0) {
      const int head = int(std::min<int64_t>(count, 32 - pendingBits_));
      AppendWord(fill >> (32 - head), head);
      count -= head;
    }
    const int64_t room = std::min<int64_t>(count / 32, kTriggerWords - next_);
    if (room > 0) {
      std::fill(words_ + next_, words_ + next_ + room, fill);
      next_ += room;
    }
    if (next_ >= kTriggerWords) return;
    if (const int rest = int(count % 32)) AppendWord(fill >> (32 - rest), rest);
  }

  // Stores the last partial word and clears every word not written.
  void Finish() {
    if (pendingBits_ > 0) Store(uint32_t(pending_));
    pending_ = 0;
    pendingBits_ = 0;
    if (next_ < kTriggerWords)
      std::memset(words_ + next_, 0, sizeof(uint32_t) * (kTriggerWords - next_));
    next_ = kTriggerWords;
  }

 private:
  void Store(uint32_t word) {
    if (next_ < kTriggerWords) words_[next_++] = word;
  }

  uint32_t* words_;
  int64_t next_ = 0;
  uint64_t pending_ = 0;
  int pendingBits_ = 0;
};

// Brightness of the columns of one picture row: what CxImage::PixelGray gives, read without a
// call per pixel where the layout allows it.
class RowBrightness {
 public:
  RowBrightness(const CxImage& picture, int32_t y) : picture_(picture), y_(y) {
    width_ = int64_t(picture.ImageWidth());
    outside_ = picture.PixelGray(-1, -1);  // every outside coordinate reads the same colour
    if (y < 0 || uint32_t(y) >= picture.ImageHeight()) return;
    row_ = picture.RowAddress(uint32_t(y));
    depth_ = picture.BitsPerPixel();
    if (depth_ == 8) {
      identity_ = true;
      for (int index = 0; index < 256; ++index) {
        const CxRgbQuad entry = picture.PaletteColor(uint8_t(index));
        lookup_[index] = uint8_t(CxImage::GrayOf(entry.red, entry.green, entry.blue));
        identity_ = identity_ && lookup_[index] == index;
      }
    }
  }

  int At(int64_t x) const {
    if (row_ == nullptr || x < 0 || x >= width_) return outside_;
    if (depth_ == 8) return lookup_[row_[x]];
    if (depth_ == 24) {
      const uint8_t* pixel = row_ + 3 * x;
      return CxImage::GrayOf(pixel[2], pixel[1], pixel[0]);
    }
    return picture_.PixelGray(int32_t(x), y_);
  }

  // The row's bytes when they are the gray levels themselves (8 bits, gray palette).
  const uint8_t* GrayBytes() const { return row_ != nullptr && identity_ ? row_ : nullptr; }
  const uint8_t* RowBytes() const { return row_; }
  const uint8_t* Lookup() const { return lookup_; }
  int Depth() const { return depth_; }
  int64_t Width() const { return width_; }
  int Outside() const { return outside_; }

 private:
  const CxImage& picture_;
  int32_t y_;
  int64_t width_ = 0;
  int outside_ = 0;
  const uint8_t* row_ = nullptr;
  int depth_ = 0;
  bool identity_ = false;
  uint8_t lookup_[256] = {};
};

// One step per column: a column fires exactly when it is white. Columns 1 .. count are
// visited, left to right or right to left from lastColumn.
void FillOneStepColumns(BitWriter& writer, const RowBrightness& row, int64_t count, bool forward,
                        int64_t lastColumn) {
  const uint8_t* gray = row.GrayBytes();
  int64_t step = 0;
#if defined(__SSE2__)
  if (gray != nullptr) {
    // Sixteen columns at a time while all of them lie inside the row.
    const __m128i white = _mm_set1_epi8(char(0xFF));
    while (step + 16 <= count && !writer.Full()) {
      const int64_t first = forward ? step + 1 : lastColumn - (step + 16);
      if (first < 0 || first + 16 > row.Width()) break;
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(gray + first));
      uint32_t mask = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, white)));
      if (!forward) {
        // Column lastColumn - step - 1 .. - 16 is bytes 15 .. 0: reverse the 16 bits.
        mask = ((mask >> 1) & 0x5555u) | ((mask & 0x5555u) << 1);
        mask = ((mask >> 2) & 0x3333u) | ((mask & 0x3333u) << 2);
        mask = ((mask >> 4) & 0x0F0Fu) | ((mask & 0x0F0Fu) << 4);
        mask = ((mask >> 8) & 0x00FFu) | ((mask & 0x00FFu) << 8);
      }
      writer.AppendWord(mask, 16);
      step += 16;
    }
  }
#endif
  for (; step < count && !writer.Full(); ++step) {
    const int64_t column = step + 1;
    const int64_t x = forward ? column : lastColumn - column;
    writer.AppendWord(row.At(x) == 255 ? 1u : 0u, 1);
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
  const RowBrightness brightness(*picture, row);

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
  BitWriter& writer = *static_cast<BitWriter*>(writerRef);
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
      WriteColumn(writerRef, int32_t(steps), gray, nextStep);
    }
    nextStep = end;
    if (nextStep >= kTriggerBitCapacity) break;
    ++column;
  }
}

}  // namespace engrave

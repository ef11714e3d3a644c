// Inside the trigger-line fills: the word-by-word bit writer and the brightness of one picture
// row, shared by the classic and the dithered fill so that both write and read alike.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engrave/TriggerLine.h"
#include "image/CxImage.h"

namespace engrave::detail {

// Writes the line's bits in order, word by word, from bit 0 on. Columns cover consecutive
// steps, so each word is stored once; bits past the buffer are dropped.
class BitWriter {
 public:
  explicit BitWriter(uint32_t* words) : words_(words) {}

  bool Full() const { return next_ >= kTriggerWords; }
  // True when the next bit starts a word; then the words from Cursor() on (Room() of them) may
  // be written directly and handed over with Skip().
  bool Aligned() const { return pendingBits_ == 0; }
  int64_t Room() const { return kTriggerWords - next_; }
  uint32_t* Cursor() const { return words_ + next_; }
  void Skip(int64_t words) { next_ += words; }

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
      // Copied in fixed blocks of eight words: GCC inlines a memcpy of unknown size as
      // "rep movsq", whose start-up cost was half the time of a line of 1000 columns of 1024
      // steps, and does not vectorise a plain loop at -O2.
      uint32_t* out = words_ + next_;
      int64_t k = 0;
      for (; k + 8 <= room; k += 8) std::memcpy(out + k, pattern + k, 8 * sizeof(uint32_t));
      for (; k < room; ++k) out[k] = pattern[k];
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
  // invert: each level reads as 255 minus itself, so that black fires the most. tone: the
  // adjustments' table, applied to every level before the inversion; null leaves them as they
  // are.
  RowBrightness(const CxImage& picture, int32_t y, bool invert = false,
                const uint8_t* tone = nullptr)
      : picture_(picture), y_(y), invert_(invert), tone_(tone) {
    width_ = int64_t(picture.ImageWidth());
    outside_ = Level(picture.PixelGray(-1, -1));  // every outside coordinate reads alike
    if (y < 0 || uint32_t(y) >= picture.ImageHeight()) return;
    row_ = picture.RowAddress(uint32_t(y));
    depth_ = picture.BitsPerPixel();
    if (depth_ == 8) {
      // Indices past the entries in use read as black, as PaletteColor gives them.
      const CxRgbQuad* palette = picture.Palette();
      const uint32_t entries = palette != nullptr ? picture.PaletteEntries() : 0;
      for (uint32_t index = 0; index < 256; ++index) {
        const CxRgbQuad entry = index < entries ? palette[index] : CxRgbQuad{};
        lookup_[index] = uint8_t(Level(CxImage::GrayOf(entry.red, entry.green, entry.blue)));
        if (lookup_[index] == 255) {
          firingByte_ = firingByteCount_ == 0 ? int(index) : -1;
          ++firingByteCount_;
        }
      }
    }
  }

  int At(int64_t x) const {
    if (row_ == nullptr || x < 0 || x >= width_) return outside_;
    if (depth_ == 8) return lookup_[row_[x]];
    if (depth_ == 24) {
      const uint8_t* pixel = row_ + 3 * x;
      return Level(CxImage::GrayOf(pixel[2], pixel[1], pixel[0]));
    }
    return Level(picture_.PixelGray(int32_t(x), y_));
  }

  // The one byte value of an 8-bit row that reads as 255, or -1 when none or several do: then
  // a one-step column fires exactly where the row holds that byte.
  int FiringByte() const { return row_ != nullptr && depth_ == 8 ? firingByte_ : -1; }
  const uint8_t* RowBytes() const { return row_; }
  const uint8_t* Lookup() const { return lookup_; }
  int Depth() const { return depth_; }
  int64_t Width() const { return width_; }
  int Outside() const { return outside_; }

 private:
  int Level(int gray) const {
    if (tone_ != nullptr) gray = tone_[gray];
    return invert_ ? 255 - gray : gray;
  }

  const CxImage& picture_;
  int32_t y_;
  bool invert_;
  const uint8_t* tone_;
  int64_t width_ = 0;
  int outside_ = 0;
  const uint8_t* row_ = nullptr;
  int depth_ = 0;
  int firingByte_ = -1;
  int firingByteCount_ = 0;
  uint8_t lookup_[256] = {};
};

}  // namespace engrave::detail

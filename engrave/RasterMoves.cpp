#include "engrave/RasterMoves.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "engrave/TriggerLine.h"

namespace engrave {

double RasterMoves::OverscanUnits() const {
  return stepsPerUnitX > 0.0 ? double(overscanSteps) / stepsPerUnitX : 0.0;
}

int32_t OverscanSteps(double overscan, double stepsPerUnitX) {
  if (!(overscan >= 0.0) || !(stepsPerUnitX > 0.0)) return -1;
  const double steps = std::round(overscan * stepsPerUnitX);
  if (!(steps <= double(kTriggerBitCapacity))) return -1;
  return int32_t(steps);
}

bool FiredSpan(const uint32_t* words, int64_t* first, int64_t* last) {
  int64_t low = 0;
  while (low < kTriggerWords && words[low] == 0) ++low;
  if (low == kTriggerWords) return false;
  int64_t high = kTriggerWords - 1;
  while (words[high] == 0) --high;
  *first = 32 * low + std::countr_zero(words[low]);
  *last = 32 * high + 31 - std::countl_zero(words[high]);
  return true;
}

ArmedMove PlanLineMove(const RasterMoves& moves, bool forward, const uint32_t* bits) {
  ArmedMove move;
  const double width = moves.width;
  if (moves.Plain()) {
    move.startX = forward ? 0.0 : width;
    move.endX = forward ? width : 0.0;
    return move;
  }
  const double stepsPerUnit = moves.stepsPerUnitX;
  const int64_t overscan = moves.overscanSteps;
  int64_t first = 0, last = 0;
  const bool skip = moves.skipBlank && bits != nullptr;
  if (skip && !FiredSpan(bits, &first, &last)) {
    move.runs = false;
    return move;
  }
  // Steps counted from the line's edge: the move covers [from, to) of them. A whole line keeps
  // its far edge at the width itself, as the default raster has it.
  const int64_t from = skip ? first - overscan : -overscan;
  const double startOffset = double(from) / stepsPerUnit;
  if (skip) {
    const double endOffset = double(last + 1 + overscan) / stepsPerUnit;
    move.startX = forward ? startOffset : width - startOffset;
    move.endX = forward ? endOffset : width - endOffset;
  } else {
    const double run = double(overscan) / stepsPerUnit;
    move.startX = forward ? -run : width + run;
    move.endX = forward ? width + run : -run;
  }
  move.bitShift = -from;
  if (skip) move.lastBit = last - from;
  return move;
}

ArmedMove LineChain::Next(bool forward, const uint32_t* bits, const uint32_t* nextBits) {
  ArmedMove move = PlanLineMove(moves_, forward, bits);
  if (!move.runs) return move;
  if (moves_.Plain()) {
    // Edge to edge, each line where the last one ended: nothing to lay out.
    x_ = move.endX;
    return move;
  }
  const double direction = forward ? 1.0 : -1.0;
  const double stepsPerUnit = moves_.stepsPerUnitX;
  if (!x_) {
    move.position = true;
  } else {
    // Whole steps from X to the move's start, counted along the move.
    const double ahead = std::round(direction * (move.startX - *x_) * stepsPerUnit);
    const bool fits =
        move.lastBit < 0 ? ahead == 0.0 : move.lastBit + ahead < double(kTriggerBitCapacity);
    if (ahead >= 0.0 && fits) {
      move.bitShift += int64_t(ahead);
      if (move.lastBit >= 0) move.lastBit += int64_t(ahead);
      move.startX = *x_;
    } else {
      move.position = true;
    }
  }
  if (nextBits != nullptr) {
    const ArmedMove next = PlanLineMove(moves_, !forward, nextBits);
    if (next.runs && direction * (next.startX - move.endX) > 0.0) move.endX = next.startX;
  }
  x_ = move.endX;
  return move;
}

void ShiftTriggerBits(uint32_t* words, int64_t shift) {
  if (shift == 0) return;
  const int64_t bits = int64_t(kTriggerWords) * 32;
  if (shift >= bits || shift <= -bits) {
    std::memset(words, 0, sizeof(uint32_t) * kTriggerWords);
    return;
  }
  const int64_t wordShift = (shift >= 0 ? shift : -shift) / 32;
  const unsigned bitShift = unsigned((shift >= 0 ? shift : -shift) % 32);
  if (shift > 0) {
    // Upwards: from the top, so that no word is read after it was written.
    for (int64_t w = kTriggerWords - 1; w >= 0; --w) {
      const int64_t source = w - wordShift;
      const uint32_t high = source >= 0 ? words[source] : 0u;
      const uint32_t low = source - 1 >= 0 ? words[source - 1] : 0u;
      words[w] = bitShift == 0 ? high : (high << bitShift) | (low >> (32 - bitShift));
    }
  } else {
    for (int64_t w = 0; w < kTriggerWords; ++w) {
      const int64_t source = w + wordShift;
      const uint32_t low = source < kTriggerWords ? words[source] : 0u;
      const uint32_t high = source + 1 < kTriggerWords ? words[source + 1] : 0u;
      words[w] = bitShift == 0 ? low : (low >> bitShift) | (high << (32 - bitShift));
    }
  }
}

void RasterTravel::Line(const ArmedMove& move, double nextY) {
  if (move.runs) {
    if (move.position) length_ += std::fabs(move.startX - x_);
    length_ += std::fabs(move.endX - move.startX);
    x_ = move.endX;
  }
  length_ += std::fabs(nextY - y_);
  y_ = nextY;
}

double RasterTravel::Length() const {
  return length_ + std::hypot(x_, y_);
}

}  // namespace engrave

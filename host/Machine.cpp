#include "host/Machine.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace host {
namespace {

constexpr int kMaxPictureWidth = 1000;
constexpr int kMargin = 8;
constexpr long kTriggerBitCount = long(kTriggerWordCount) * 32;

// The words of one line: letter and number pairs, blanks optional ("G0X0Y0 M5").
struct Words {
  std::optional<double> g, x, y, f, m;
};

std::optional<Words> ParseWords(const std::string& line) {
  Words words;
  const char* cursor = line.c_str();
  while (*cursor != '\0') {
    if (std::isspace(static_cast<unsigned char>(*cursor))) {
      ++cursor;
      continue;
    }
    const char letter = char(std::toupper(static_cast<unsigned char>(*cursor++)));
    // Only a plain decimal number: strtod would read "0X0" in "G0X0Y0" as hexadecimal.
    const char* end = cursor;
    if (*end == '-' || *end == '+') ++end;
    while (std::isdigit(static_cast<unsigned char>(*end)) || *end == '.') ++end;
    const std::string number(cursor, end);
    char* parsed = nullptr;
    const double value = std::strtod(number.c_str(), &parsed);
    if (number.empty() || *parsed != '\0' || !std::isfinite(value)) return std::nullopt;
    cursor = end;
    switch (letter) {
      case 'G':
        words.g = value;
        break;
      case 'X':
        words.x = value;
        break;
      case 'Y':
        words.y = value;
        break;
      case 'F':
        words.f = value;
        break;
      case 'M':
        words.m = value;
        break;
      default:
        return std::nullopt;
    }
  }
  return words;
}

bool BitSet(const DriverState& driver, long bit) {
  return (driver.TriggerBits[bit / 32] >> (bit % 32)) & 1u;
}

}  // namespace

bool Machine::Execute(const std::string& line, int32_t triggerMode, const DriverState& driver) {
  const std::optional<Words> words = ParseWords(line);
  if (!words) return false;
  ++summary_.codeLines;
  if (words->f) {
    // A move before the first feed rate (X taken to the first line's start) takes its time at
    // the rate that then comes.
    if (feed_ <= 0.0 && *words->f > 0.0) summary_.seconds += untimed_ / *words->f * 60.0;
    feed_ = *words->f;
    if (feed_ > 0.0) untimed_ = 0.0;
  }
  if (words->g && *words->g != 0.0 && *words->g != 1.0) return false;
  // G0 only positions the machine: the tool never fires during a rapid move.
  const bool rapid = words->g && *words->g == 0.0;
  if (words->x || words->y)
    Move(words->x.value_or(x_), words->y.value_or(y_), rapid ? -1 : triggerMode, driver, rapid);
  return true;
}

void Machine::Move(double toX, double toY, int32_t triggerMode, const DriverState& driver,
                   bool rapid) {
  const double distance = std::hypot(toX - x_, toY - y_);
  if (feed_ > 0.0)
    summary_.seconds += distance / feed_ * 60.0;  // feed in units per minute
  else
    untimed_ += distance;
  if (toX != x_ && !rapid) {
    ++summary_.rasterLines;
    RecordSteps(x_, toX, y_, triggerMode, driver);
  } else if (toY > y_ && (lineSpacing_ == 0.0 || toY - y_ < lineSpacing_)) {
    lineSpacing_ = toY - y_;
  }
  x_ = toX;
  y_ = toY;
}

void Machine::RecordSteps(double fromX, double toX, double atY, int32_t triggerMode,
                          const DriverState& driver) {
  if (pixelsPerUnit_ == 0.0) {
    const double width = engravedWidth_ > 0.0 && std::isfinite(engravedWidth_)
                             ? engravedWidth_
                             : std::max(std::fabs(toX), std::fabs(fromX));
    pixelsPerUnit_ = std::min(stepsPerUnitX_, kMaxPictureWidth / width);
    columns_ = int(std::ceil(width * pixelsPerUnit_)) + 1;
  }
  const long steps = std::lround(std::fabs(toX - fromX) * stepsPerUnitX_);
  const double direction = toX > fromX ? 1.0 : -1.0;
  LineDots& dots = lines_[atY];
  if (dots.steps.empty()) {
    dots.steps.assign(columns_, 0);
    dots.fired.assign(columns_, 0);
  }
  for (long step = 0; step < steps; ++step) {
    // A step's dot sits in the middle of the step, so both directions land on the same grid.
    const double position = fromX + direction * (double(step) + 0.5) / stepsPerUnitX_;
    const int column = int(std::floor(position * pixelsPerUnit_));
    const bool fires = triggerMode == 0 && step < kTriggerBitCount && BitSet(driver, step);
    if (fires) ++summary_.fires;
    if (column < 0 || column >= columns_) continue;
    ++dots.steps[column];
    if (fires) ++dots.fired[column];
  }
}

GrayPicture Machine::Render() const {
  if (lines_.empty() || pixelsPerUnit_ == 0.0) return GrayPicture(2 * kMargin, 2 * kMargin);
  const double spacing = lineSpacing_ > 0.0 ? lineSpacing_ : 1.0 / stepsPerUnitY_;
  const int bandRows = std::max(1, int(std::lround(spacing * pixelsPerUnit_)));
  // Leave a dark row between lines when there is room, as a real raster shows.
  const int dotRows = bandRows >= 3 ? bandRows - 1 : bandRows;
  const double topY = lines_.rbegin()->first;
  const int height = int(std::lround(topY * pixelsPerUnit_)) + bandRows + 2 * kMargin;
  GrayPicture picture(columns_ + 2 * kMargin, height);
  for (const auto& [y, dots] : lines_) {
    const int bottomRow = height - 1 - kMargin - int(std::lround(y * pixelsPerUnit_));
    for (int column = 0; column < columns_; ++column) {
      if (dots.steps[column] == 0) continue;
      const uint8_t level = uint8_t(255 * dots.fired[column] / dots.steps[column]);
      for (int row = 0; row < dotRows; ++row) {
        const int pictureRow = bottomRow - row;
        if (pictureRow >= 0) picture.At(kMargin + column, pictureRow) = level;
      }
    }
  }
  return picture;
}

std::string FormatDuration(double seconds) {
  const long tenths = std::lround(seconds * 10.0);
  char text[64];
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld.%ld", tenths / 36000, tenths / 600 % 60,
                tenths / 10 % 60, tenths % 10);
  return text;
}

}  // namespace host

#include "lcnc/RasterProgress.h"

#include <cmath>
#include <cstdio>

namespace lcnc {
namespace {

// More lines than any trigger buffer, machine or afternoon would make.
constexpr long kMaxLines = 10000000;

double Seconds(RasterProgress::Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

std::optional<long> RasterLineCount(double height, double stepOver) {
  if (!std::isfinite(height) || !std::isfinite(stepOver) || !(stepOver > 0.0)) return std::nullopt;
  long lines = 0;
  for (double y = 0.0; y < height; y = y + stepOver) {
    if (++lines > kMaxLines) return std::nullopt;
  }
  return lines;
}

std::string FormatClock(double seconds) {
  const long whole = seconds > 0.0 ? std::lround(seconds) : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

void RasterProgress::Start(long lines, Clock::time_point now, long alreadyDone) {
  started_ = true;
  lines_ = lines > 0 ? lines : 0;
  alreadyDone_ = alreadyDone > 0 ? alreadyDone : 0;
  done_ = alreadyDone_;
  start_ = now;
  lastShown_ = now;
}

std::string RasterProgress::Text(Clock::time_point now) const {
  const double spent = Seconds(now - start_);
  std::string text = "progress: " + std::to_string(done_);
  if (lines_ > 0) text += "/" + std::to_string(lines_);
  text += " lines, " + FormatClock(spent) + " spent";
  if (lines_ > 0 && done_ > alreadyDone_) {
    const long left = lines_ > done_ ? lines_ - done_ : 0;
    text += ", " + FormatClock(spent / double(done_ - alreadyDone_) * double(left)) + " left";
  }
  return text;
}

std::optional<std::string> RasterProgress::Due(Clock::time_point now, Clock::duration interval) {
  if (!started_ || now - lastShown_ < interval) return std::nullopt;
  lastShown_ = now;
  return Text(now);
}

}  // namespace lcnc

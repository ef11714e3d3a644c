#include "lcnc/MoveWords.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace lcnc {
namespace {

std::string Position(const char* axis, double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%s%.4f", axis, value);
  return text;
}

}  // namespace

MoveWords ReadMoveWords(const std::string& line) {
  MoveWords words;
  for (size_t i = 0; i < line.size(); ++i) {
    const char letter = char(std::toupper(static_cast<unsigned char>(line[i])));
    if (letter != 'G' && letter != 'X' && letter != 'Y') continue;
    // Only a plain decimal number: strtod would read "0X0" in "G0X0Y0" as hexadecimal.
    size_t end = i + 1;
    if (end < line.size() && (line[end] == '-' || line[end] == '+')) ++end;
    while (end < line.size() &&
           (std::isdigit(static_cast<unsigned char>(line[end])) || line[end] == '.'))
      ++end;
    const std::string number = line.substr(i + 1, end - i - 1);
    char* parsed = nullptr;
    const double value = std::strtod(number.c_str(), &parsed);
    if (number.empty() || *parsed != '\0') continue;
    (letter == 'G' ? words.g : letter == 'X' ? words.x : words.y) = value;
    i = end - 1;
  }
  return words;
}

std::optional<std::string> MissedTarget(const MoveWords& target, double commandedX,
                                        double commandedY, double scaleX, double scaleY) {
  const bool missedX = target.x && !(std::fabs(*target.x - commandedX) * std::fabs(scaleX) <= 0.5);
  const bool missedY = target.y && !(std::fabs(*target.y - commandedY) * std::fabs(scaleY) <= 0.5);
  if (!missedX && !missedY) return std::nullopt;
  std::string to, at;
  if (target.x) {
    to = Position("X", *target.x);
    at = Position("X", commandedX);
  }
  if (target.y) {
    to += (to.empty() ? "" : " ") + Position("Y", *target.y);
    at += (at.empty() ? "" : " ") + Position("Y", commandedY);
  }
  return "the move to " + to + " stopped at " + at;
}

}  // namespace lcnc

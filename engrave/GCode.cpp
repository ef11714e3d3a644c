#include "engrave/GCode.h"

#include <charconv>

namespace engrave {
namespace {

// Four decimals, rounded from the exact binary value like the C library's "%.4f", but never
// with a locale's decimal comma.
void AppendFixed4(std::string& text, double value) {
  char digits[400];
  auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 4);
  text.append(digits, result.ptr);
}

}  // namespace

std::string LineMove(double x, double feedRate) {
  std::string line = "G1 X";
  AppendFixed4(line, x);
  line += " F";
  AppendFixed4(line, feedRate);
  return line;
}

std::string StepOverMove(double y) {
  std::string line = "G1 Y";
  AppendFixed4(line, y);
  return line;
}

std::string PositionMove(double x) {
  std::string line = "G0 X";
  AppendFixed4(line, x);
  return line;
}

std::string PositionMoveY(double y) {
  std::string line = "G0 Y";
  AppendFixed4(line, y);
  return line;
}

}  // namespace engrave

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

// A move of one axis: its G word and axis letter, then the coordinate.
std::string SingleAxisMove(const char* start, double coordinate) {
  std::string line = start;
  AppendFixed4(line, coordinate);
  return line;
}

}  // namespace

std::string LineMove(double x, double feedRate) {
  std::string line = SingleAxisMove("G1 X", x);
  line += " F";
  AppendFixed4(line, feedRate);
  return line;
}

std::string StepOverMove(double y) {
  return SingleAxisMove("G1 Y", y);
}

std::string PositionMove(double x) {
  return SingleAxisMove("G0 X", x);
}

std::string PositionMoveY(double y) {
  return SingleAxisMove("G0 Y", y);
}

}  // namespace engrave

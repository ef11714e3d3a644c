// How the lines' X moves are laid out with an overscan and without their blank ends: every
// fired step lands on the X step it has in the default raster, whichever way the line runs,
// and the moves join up line after line.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "engrave/MachineEnvelope.h"
#include "engrave/RasterMoves.h"
#include "engrave/TriggerLine.h"

namespace engrave {
namespace {

constexpr double kStepsPerUnit = 100.0;
constexpr double kWidth = 10.0;  // 1000 steps

using Bits = std::vector<uint32_t>;

Bits LineBits(const std::set<int64_t>& fired) {
  Bits bits(kTriggerWords, 0u);
  for (int64_t j : fired) bits[size_t(j / 32)] |= 1u << (j % 32);
  return bits;
}

std::set<int64_t> SetBits(const Bits& bits) {
  std::set<int64_t> set;
  for (size_t w = 0; w < bits.size(); ++w)
    for (uint32_t word = bits[w]; word != 0; word &= word - 1)
      set.insert(int64_t(w) * 32 + std::countr_zero(word));
  return set;
}

// The X step (counted from X 0) that step j of a move from startX covers.
int64_t Cell(double startX, bool forward, int64_t j) {
  const int64_t start = std::llround(startX * kStepsPerUnit);
  return forward ? start + j : start - 1 - j;
}

// The X steps a line fires: from its bits as filled, or from its move's shifted bits.
std::set<int64_t> Cells(const std::set<int64_t>& lineBits, bool forward) {
  std::set<int64_t> cells;
  for (int64_t j : lineBits) cells.insert(Cell(forward ? 0.0 : kWidth, forward, j));
  return cells;
}
std::set<int64_t> MoveCells(const ArmedMove& move, bool forward, const Bits& moveBits) {
  std::set<int64_t> cells;
  for (int64_t j : SetBits(moveBits)) cells.insert(Cell(move.startX, forward, j));
  return cells;
}

RasterMoves Moves(int32_t overscanSteps, bool skipBlank) {
  return {kWidth, kStepsPerUnit, overscanSteps, skipBlank};
}

TEST(ShiftTriggerBitsTest, MovesEveryBitAndDropsThoseThatLeave) {
  std::mt19937 random(7);
  Bits words(kTriggerWords);
  for (size_t w = 0; w < words.size(); w += 1 + random() % 97) words[w] = random();
  words.back() = 0x80000001u;  // both ends of the buffer
  const int64_t total = int64_t(kTriggerWords) * 32;
  for (const int64_t shift : {-70, -33, -32, -1, 1, 31, 32, 33, 1000, int(total) - 3}) {
    SCOPED_TRACE(shift);
    Bits shifted = words;
    ShiftTriggerBits(shifted.data(), shift);
    std::set<int64_t> expected;
    for (int64_t j : SetBits(words))
      if (j + shift >= 0 && j + shift < total) expected.insert(j + shift);
    EXPECT_EQ(SetBits(shifted), expected);
  }
}

// Lines in alternating directions with fires here and there, some blank: each line starts
// where X stands when its first step lies ahead, runs on to where the next line starts, and X
// is taken to a start (tool off) only where it stands behind it.
TEST(LineChainTest, LinesJoinUpAndEveryStepKeepsItsX) {
  std::mt19937 random(11);
  for (const int32_t overscan : {0, 17}) {
    SCOPED_TRACE(overscan);
    std::vector<std::set<int64_t>> lines;
    for (int line = 0; line < 40; ++line) {
      std::set<int64_t> fired;
      if (line % 7 != 3)  // every seventh line from the fourth is blank
        for (int k = 0; k < 3; ++k) fired.insert(int64_t(random() % 1000));
      lines.push_back(fired);
    }
    LineChain chain(Moves(overscan, true));
    chain.Restart(std::nullopt);
    std::optional<double> x;
    int positioned = 0;
    for (size_t line = 0; line < lines.size(); ++line) {
      const bool forward = line % 2 == 0;
      Bits bits = LineBits(lines[line]);
      Bits next = LineBits(line + 1 < lines.size() ? lines[line + 1] : std::set<int64_t>{});
      const ArmedMove move = chain.Next(forward, bits.data(), next.data());
      if (lines[line].empty()) {
        EXPECT_FALSE(move.runs) << line;
        continue;
      }
      ASSERT_TRUE(move.runs) << line;
      if (move.position) {
        ++positioned;
        // Only when X stands behind the line's own start.
        const double start = PlanLineMove(Moves(overscan, true), forward, bits.data()).startX;
        if (x) {
          EXPECT_LT((forward ? 1.0 : -1.0) * (start - *x), 0.0) << line;
        }
      } else {
        ASSERT_TRUE(x.has_value());
        EXPECT_EQ(move.startX, *x) << line;
      }
      ShiftTriggerBits(bits.data(), move.bitShift);
      EXPECT_EQ(MoveCells(move, forward, bits), Cells(lines[line], forward)) << line;
      // The run-in and run-out stay clear: nothing fires within the overscan of the ends.
      const std::set<int64_t> moveBits = SetBits(bits);
      const int64_t steps = std::llround(std::fabs(move.endX - move.startX) * kStepsPerUnit);
      EXPECT_GE(*moveBits.begin(), overscan) << line;
      EXPECT_LE(*moveBits.rbegin(), steps - 1 - overscan) << line;
      x = move.endX;
    }
    // The first line, and lines after a blank one whose start lies behind X.
    EXPECT_GE(positioned, 1);
    EXPECT_LT(positioned, 12);
  }
}

TEST(RasterMovesTest, OverscanStepsAndTheMachinesLimits) {
  EXPECT_EQ(OverscanSteps(0.54, 1000.0), 540);
  EXPECT_EQ(OverscanSteps(0.0004, 1000.0), 0);
  EXPECT_EQ(OverscanSteps(-0.1, 1000.0), -1);
  EXPECT_EQ(OverscanSteps(std::nan(""), 1000.0), -1);
  EXPECT_EQ(OverscanSteps(2000.0, 1000.0), -1);  // beyond the trigger buffer

  MachineEnvelope machine;
  machine.accelerationX = 1000.0;
  EXPECT_DOUBLE_EQ(machine.BrakingDistance(1800.0), 0.45);  // 30 mm/s
  EXPECT_DOUBLE_EQ(machine.AutoOverscan(1800.0), 0.54);
  EXPECT_EQ(MachineEnvelope().AutoOverscan(1800.0), 0.0);

  const RasterMoves moves = {10.0, 100.0, 50, false};  // 0.5 each side
  struct Case {
    double minX, maxX, maxY;
    const char* message;
  } cases[] = {
      {-0.5, 10.5, 8.1, ""},
      {-0.4, 100.0, 100.0,
       "ERROR... The raster passes the X soft limit -0.4: its moves reach X-0.5000."},
      {-1.0, 10.2, 100.0,
       "ERROR... The raster passes the X soft limit 10.2: its moves reach X10.5000."},
      // Eighty additions of 0.1 stay below 8: the last step-over reaches 8.1.
      {-1.0, 11.0, 8.05,
       "ERROR... The raster passes the Y soft limit 8.05: its moves reach Y8.1000."},
  };
  for (const Case& c : cases) {
    machine.minX = c.minX;
    machine.maxX = c.maxX;
    machine.maxY = c.maxY;
    EXPECT_EQ(SoftLimitMessage(machine, moves, 8.0, 0.1), c.message);
  }
}

TEST(RasterTravelTest, PositioningLinesAndTheReturn) {
  RasterTravel travel;
  ArmedMove first{true, true, -0.5, 10.5, 0, -1};
  travel.Line(first, 0.1);  // 0.5 to the start, 11 along, 0.1 up
  ArmedMove blank{false};
  travel.Line(blank, 0.2);  // 0.1 up
  ArmedMove back{true, false, 10.5, 3.0, 0, -1};
  travel.Line(back, 0.3);  // 7.5 back, 0.1 up; then home from (3, 0.3)
  EXPECT_DOUBLE_EQ(travel.Length(), 0.5 + 11.0 + 0.1 + 0.1 + 7.5 + 0.1 + std::hypot(3.0, 0.3));
}

}  // namespace
}  // namespace engrave

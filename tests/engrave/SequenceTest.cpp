// The raster as a host sees it: armed through the scripted setup dialog, then driven through
// Update, Notify, Reset and StopPlug of the loaded plug-in.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "CommaLocale.h"
#include "TempDir.h"
#include "TestHost.h"
#include "UiLog.h"

namespace {

const std::string kPicture = std::string(ENGRAVING_TESTDATA_DIR) + "/jpeg/testorig.jpg";

class SequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.MakeReadyForEngraving();
    host.StartUp(profile);
  }

  // Writes the answers the dialogs will read, in order.
  void Script(const std::string& lines) {
    const std::string path = dir.File("script.txt");
    WriteFileText(path, lines);
    setenv("ENGRAVING_UI_SCRIPT", path.c_str(), 1);
  }

  bool WaitForDialogToEnd() {
    auto canUnload = host.Entry<int32_t (*)()>("DllCanUnloadNow");
    for (int wait = 0; wait < 2000; ++wait) {
      if (canUnload() == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Opens the setup dialog through the menu, answers it and waits until it has closed; one
  // tick with LineDone clear then lets the host pick up what the dialog handed over.
  void ArmWith(const std::string& fieldLines = "") {
    Script("file " + kPicture + "\n" + fieldLines + "click 1\nclick 6\n");
    host.Notify(100);
    ASSERT_TRUE(WaitForDialogToEnd());
    host.motion.LineDone = 0;
    host.Update();
    ASSERT_EQ(host.motion.StatusLine, "Press Cycle Start to begin scanning Seq.");
  }

  // Ticks with LineDone set until the raster ends (or the limit); returns the lines sent.
  int RunToEnd(int limit = 100000) {
    int ticks = 0;
    while (ticks < limit && host.motion.StatusLine != "Scanning Sequence Complete") {
      host.motion.LineDone = 1;
      host.Update();
      ++ticks;
    }
    return ticks;
  }

  std::vector<std::string> Moves(char axis) const {
    std::vector<std::string> moves;
    for (const std::string& line : host.code) {
      if (line.rfind(std::string("G1 ") + axis, 0) == 0) moves.push_back(line);
    }
    return moves;
  }

  TempDir dir;
  UiLog ui{dir};
  std::string profile = dir.File("profile.xml");
  TestHost host;
};

TEST_F(SequenceTest, TheDefaultRasterRunsEightyOneLinesBackAndForth) {
  ArmWith();
  host.control.CycleStart = 0;
  host.control.TickReset = host.motion.TickReset = 9;
  host.motion.LineDone = 1;
  host.Update();  // waiting for Cycle Start, yet the tick counters are reset
  EXPECT_EQ(host.control.TickReset, 0);
  EXPECT_EQ(host.motion.TickReset, 0);
  EXPECT_TRUE(host.code.empty());

  host.control.CycleStart = 1;
  host.Update();
  EXPECT_EQ(host.motion.StatusLine, "Scanning Sequence Begins..");
  EXPECT_TRUE(host.code.empty()) << "the first line comes on the next ready tick";

  RunToEnd();
  const std::vector<std::string> x = Moves('X');
  const std::vector<std::string> y = Moves('Y');
  ASSERT_EQ(x.size(), 81u);
  ASSERT_EQ(y.size(), 81u);
  EXPECT_EQ(host.code[0], "G1 X10.0000 F100.0000");
  EXPECT_EQ(host.code[1], "G1 Y0.1000");
  EXPECT_EQ(host.code[2], "G1 X0.0000 F100.0000");
  EXPECT_EQ(host.code[3], "G1 Y0.2000");
  EXPECT_EQ(y.back(), "G1 Y8.1000");
  EXPECT_EQ(host.code.back(), "G0X0Y0 M5");
  EXPECT_EQ(host.control.TriggerMode, -1);
  EXPECT_EQ(host.motion.LineDone, 1);

  // Idle again: ticks do nothing until the next arming.
  const size_t sent = host.code.size();
  host.control.TickReset = 4;
  host.Update();
  EXPECT_EQ(host.code.size(), sent);
  EXPECT_EQ(host.control.TickReset, 4);
}

TEST_F(SequenceTest, ATickWithoutLineDoneChangesNothing) {
  ArmWith();
  host.control.CycleStart = 1;
  host.control.TickReset = 3;
  host.motion.LineDone = 0;
  for (int tick = 0; tick < 5; ++tick) host.Update();
  EXPECT_EQ(host.motion.StatusLine, "Press Cycle Start to begin scanning Seq.");
  EXPECT_EQ(host.control.TickReset, 3);
  EXPECT_TRUE(host.code.empty());
}

TEST_F(SequenceTest, AQuarterInchAtATenthIsThreeLines) {
  ArmWith("set 4164 0.25\nset 4167 0.1\n");
  host.control.CycleStart = 1;
  RunToEnd();
  EXPECT_EQ(Moves('X'), (std::vector<std::string>{"G1 X10.0000 F100.0000", "G1 X0.0000 F100.0000",
                                                  "G1 X10.0000 F100.0000"}));
  EXPECT_EQ(Moves('Y').back(), "G1 Y0.3000");
  EXPECT_EQ(host.code.back(), "G0X0Y0 M5");
}

TEST_F(SequenceTest, ZeroStepOverNeverEndsByItself) {
  ArmWith("set 4167 0\n");
  host.control.CycleStart = 1;
  EXPECT_EQ(RunToEnd(400), 400);
  const std::vector<std::string> y = Moves('Y');
  ASSERT_GT(y.size(), 300u);
  EXPECT_TRUE(
      std::all_of(y.begin(), y.end(), [](const std::string& m) { return m == "G1 Y0.0000"; }));
  EXPECT_NE(host.code.back(), "G0X0Y0 M5");
  host.Reset();
  EXPECT_EQ(host.motion.StatusLine, "Engraving Canceled.");
}

TEST_F(SequenceTest, CancelWhileArmedOrRunningStopsWithoutMoves) {
  ArmWith();
  host.control.TriggerMode = 0;
  host.Reset();
  EXPECT_EQ(host.motion.StatusLine, "Engraving Canceled.");
  EXPECT_EQ(host.control.TriggerMode, -1);
  host.control.CycleStart = 1;
  host.motion.LineDone = 1;
  host.Update();
  EXPECT_TRUE(host.code.empty()) << "cancelled: the tick must not start the raster";
}

TEST_F(SequenceTest, NotifyMinusOneCancelsARunningRaster) {
  ArmWith();
  host.control.CycleStart = 1;
  host.motion.LineDone = 1;
  host.Update();
  host.motion.LineDone = 1;
  host.Update();
  ASSERT_EQ(host.code.size(), 2u);
  host.Notify(-1);
  EXPECT_EQ(host.motion.StatusLine, "Engraving Canceled.");
  EXPECT_EQ(host.control.TriggerMode, -1);
  EXPECT_EQ(host.code.size(), 2u);
  host.motion.LineDone = 1;
  host.Update();
  EXPECT_EQ(host.code.size(), 2u);
}

TEST_F(SequenceTest, TheMenuCommandAndConfigWaitWhileARasterRuns) {
  ArmWith();
  host.Notify(100);
  host.Config();
  EXPECT_EQ(ui.Messages(), (std::vector<std::string>{"Previous SEQ not yet complete. ",
                                                     "Previous SEQ not yet complete. "}));
  EXPECT_EQ(host.Entry<int32_t (*)()>("DllCanUnloadNow")(), 0) << "no dialog may open";
  host.control.CycleStart = 1;
  RunToEnd();
  EXPECT_EQ(Moves('X').size(), 81u);
}

TEST_F(SequenceTest, EachLineFillsTheTriggerBitsBeforeItsMoves) {
  ArmWith();
  host.control.CycleStart = 1;
  host.motion.LineDone = 1;
  host.Update();
  std::fill(host.driver->TriggerBits, host.driver->TriggerBits + kTriggerWordCount, 0xFFFFFFFFu);
  host.control.TriggerMode = -1;
  host.motion.LineDone = 1;
  host.Update();
  EXPECT_EQ(host.control.TriggerMode, 0);
  const std::vector<int> bits = host.SetBits();
  ASSERT_FALSE(bits.empty());
  EXPECT_LT(bits.back(), 20000) << "a 10-unit line at 2000 steps per unit";

  // A host that leaves printer-port operation gets moves without new bits.
  host.driver->PrinterPortActive = 0;
  host.control.TriggerMode = 5;
  std::fill(host.driver->TriggerBits, host.driver->TriggerBits + kTriggerWordCount, 0xA5A5A5A5u);
  host.motion.LineDone = 1;
  host.Update();
  EXPECT_EQ(host.control.TriggerMode, 5);
  EXPECT_EQ(host.driver->TriggerBits[100], 0xA5A5A5A5u);
  EXPECT_EQ(Moves('X').size(), 2u);
}

TEST_F(SequenceTest, GCodeUsesAPointWhateverTheHostsLocale) {
  ArmWith("set 4165 12.5\nset 4170 33.25\n");
  CommaLocale comma;
  if (!comma.Active()) GTEST_SKIP() << "no locale with a decimal comma can be made here";
  host.control.CycleStart = 1;
  host.motion.LineDone = 1;
  host.Update();
  host.motion.LineDone = 1;
  host.Update();
  ASSERT_GE(host.code.size(), 2u);
  EXPECT_EQ(host.code[0], "G1 X12.5000 F33.2500");
  EXPECT_EQ(host.code[1], "G1 Y0.1000");
}

// Started at line 3: Y and X go to its start with the tool off, and the lines are numbered as
// in the whole raster. Going on with an interrupted line 3, that line fires only the steps
// after those that fired; the host's word for line 4 does not touch line 3.
TEST_F(SequenceTest, ARasterStartedFurtherOnFiresOnlyWhatIsLeft) {
  int armings = 0;
  auto firstLine = [&](int32_t resumeLine, int64_t afterStep) {
    host.code.clear();
    host.control.ResumeLine = resumeLine;
    host.control.ResumeAfterStep = afterStep;
    // A script of the same text goes on where it stopped: each arming gets its own.
    ArmWith("set 4205 3\n# arming " + std::to_string(++armings) + "\n");
    host.control.CycleStart = 1;
    host.motion.LineDone = 1;
    host.Update();
    host.motion.LineDone = 1;
    host.Update();
    EXPECT_EQ(host.driver->RasterLine, 2);
    EXPECT_EQ(host.driver->RasterBitShift, 0);
    return host.SetBits();
  };
  const std::vector<int> whole = firstLine(0, -1);
  EXPECT_EQ(host.code, (std::vector<std::string>{"G0 Y0.2000", "G0 X0.0000",
                                                 "G1 X10.0000 F100.0000", "G1 Y0.3000"}));
  RunToEnd();
  EXPECT_EQ(Moves('X').size(), 79u);
  EXPECT_EQ(host.code.back(), "G0X0Y0 M5");

  ASSERT_GT(whole.size(), 10u);
  const int fired = whole[whole.size() / 2];
  std::vector<int> rest;
  std::copy_if(whole.begin(), whole.end(), std::back_inserter(rest),
               [&](int bit) { return bit > fired; });
  EXPECT_EQ(firstLine(3, fired), rest);
  host.Reset();
  EXPECT_EQ(firstLine(4, fired), whole);
  host.Reset();
}

TEST_F(SequenceTest, AStartLineOutsideTheRasterIsRefused) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"0", "ERROR... Start at line must be from 1 to 81, the raster's lines."},
      {"82", "ERROR... Start at line must be from 1 to 81, the raster's lines."},
      {"x", "Please enter an integer."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Script("file " + kPicture + "\nset 4205 " + c.text + "\nclick 1\nclick 4029\n# " + c.text +
           "\n");
    host.Notify(100);
    ASSERT_TRUE(WaitForDialogToEnd());
    host.Update();
    EXPECT_EQ(ui.Messages().back(), c.message);
    EXPECT_NE(host.motion.StatusLine, "Press Cycle Start to begin scanning Seq.");
  }
}

struct StartCheck {
  uint8_t printerPort;
  double x, y;
  uint8_t fileLoaded;
  std::string message;  // empty: the dialog opens
};

class StartCheckTest : public SequenceTest, public ::testing::WithParamInterface<StartCheck> {};

TEST_P(StartCheckTest, TheMenuCommandChecksTheMachineFirst) {
  const StartCheck& check = GetParam();
  host.driver->PrinterPortActive = check.printerPort;
  host.motion.PositionX = check.x;
  host.motion.PositionY = check.y;
  host.motion.FileLoaded = check.fileLoaded;
  Script("file-cancel\nclick 4029\n");
  host.Notify(100);
  ASSERT_TRUE(WaitForDialogToEnd());
  const std::vector<std::string> lines = ui.Lines();
  const bool opened = std::find(lines.begin(), lines.end(), "dialog\t4021\topen") != lines.end();
  if (check.message.empty()) {
    EXPECT_TRUE(opened);
    EXPECT_TRUE(ui.Messages().empty());
  } else {
    EXPECT_FALSE(opened);
    EXPECT_EQ(ui.Messages(), std::vector<std::string>{check.message});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, StartCheckTest,
    ::testing::Values(StartCheck{0, 0, 0, 0, "Printer Port operation only!"},
                      StartCheck{1, 0.0101, 0, 0, "X and Y Axis must be zeroed to proceed!"},
                      StartCheck{1, 0, -0.0101, 0, "X and Y Axis must be zeroed to proceed!"},
                      StartCheck{1, 0.01, -0.01, 0, ""},
                      StartCheck{1, 0, 0, 1, "Please close current Gcode file before probing!"},
                      StartCheck{0, 5, 5, 1, "Printer Port operation only!"}));

}  // namespace

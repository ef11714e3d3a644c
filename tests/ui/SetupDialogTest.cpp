// The setup dialog driven by scripts through the script backend, on the real dialog thread,
// with the host's entry points called in-process.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>

#include "GrayBitmap.h"
#include "InProcessHost.h"
#include "JpegTestSupport.h"
#include "engrave/DialogResources.h"
#include "engrave/DitherLine.h"
#include "engrave/EngraveSetup.h"
#include "engrave/EngraveThread.h"
#include "engrave/Parameters.h"
#include "engrave/TriggerLine.h"
#include "image/EngraveImage.h"
#include "plugin/PluginServices.h"
#include "ui/Script.h"

namespace {

using engrave::gParameters;

constexpr int kArmed = 1;
constexpr const char* kArmedStatus = "Press Cycle Start to begin scanning Seq.";

// A phone photo stored sideways, 48 x 32 with its left half black and its right half white,
// whose EXIF orientation 6 asks for a quarter turn clockwise: upright it is 32 x 48, black
// above white.
void WriteSidewaysPhoto(const std::string& path) {
  JpegRecipe recipe;
  recipe.width = 48;
  recipe.height = 32;
  recipe.sample = [](int x, int, int) { return uint8_t(x < 24 ? 0 : 255); };
  recipe.markers.push_back({JPEG_APP0 + 1, ExifBuilder(true).Short(0x0112, 6).Build()});
  WriteWholeFile(path, CompressJpeg(recipe));
}

class SetupDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gParameters.ImagePixelsX = 0.0;
    gParameters.ImagePixelsY = 0.0;
    gParameters.Brightness = 0.0;
    gParameters.Contrast = 0.0;
    gParameters.Gamma = 1.0;
    log_ = host_.dir.File("ui.log");
    setenv("ENGRAVING_UI", "script", 1);
    setenv("ENGRAVING_UI_LOG", log_.c_str(), 1);
    picture_ = host_.dir.File("picture.bmp");
    // 40 x 30: left half black, right half white.
    ASSERT_TRUE(WriteGrayBitmap(picture_, 40, 30, [](int x, int) { return x < 20 ? 0 : 255; }));
  }
  void TearDown() override {
    unsetenv("ENGRAVING_UI_SCRIPT");
    unsetenv("ENGRAVING_UI_LOG");
  }

  // Opens the dialog through Config with this script and waits until its thread has ended.
  void RunDialog(const std::string& script) {
    const std::string path = host_.dir.File("answers" + std::to_string(++scripts_) + ".script");
    WriteFileText(path, script);
    setenv("ENGRAVING_UI_SCRIPT", path.c_str(), 1);
    Config();
    ASSERT_TRUE(host_.WaitForDialogEnd()) << "the dialog did not close";
  }

  // Every text shown in a control, in order.
  std::vector<std::string> Shown(int controlId) const {
    std::vector<std::string> texts;
    for (const auto& line : ReadUiLog(log_))
      if (line.size() == 3 && line[0] == "show" && line[1] == std::to_string(controlId))
        texts.push_back(line[2]);
    return texts;
  }
  std::string LastShown(int controlId) const {
    const std::vector<std::string> texts = Shown(controlId);
    return texts.empty() ? "<never shown>" : texts.back();
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const auto& line : ReadUiLog(log_))
      if (line.size() == 3 && line[0] == "message") {
        EXPECT_EQ(line[1], plugin::ModuleName());
        texts.push_back(line[2]);
      }
    return texts;
  }
  int Count(const std::vector<std::string>& fields) const {
    int count = 0;
    for (const auto& line : ReadUiLog(log_))
      if (line == fields) ++count;
    return count;
  }

  InProcessHost host_;
  std::string log_;
  std::string picture_;
  int scripts_ = 0;
};

TEST_F(SetupDialogTest, CancelledFileDialogStillOpensTheDialogWithPreviousPixelCounts) {
  gParameters.ImagePixelsX = 123.0;
  RunDialog("file-cancel\nkey Escape\n");

  EXPECT_TRUE(
      LogHas(log_, {"filedialog", "Jpeg|*.jpg|Bitmap|*.bmp|Png files|*.png", "*.jpg", "JPegs"}));
  EXPECT_EQ(Count({"dialog", "4021", "open"}), 1);
  EXPECT_EQ(Count({"dialog", "4021", "close", "cancel"}), 1);
  EXPECT_EQ(LastShown(engrave::kImagePixelsXEdit), "123");
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(gParameters.ImagePixelsX, 123.0);
}

TEST_F(SetupDialogTest, FileThatIsNoPictureShowsImageLoadErrorThenTheDialog) {
  const std::string notes = host_.dir.File("notes.txt");
  WriteFileText(notes, "not a picture\n");
  RunDialog("file " + notes + "\nkey Escape\n");

  EXPECT_EQ(Messages(), std::vector<std::string>{"Image load error!"});
  EXPECT_EQ(Count({"dialog", "4021", "open"}), 1);
  EXPECT_EQ(LastShown(engrave::kImagePixelsXEdit), "0");
}

TEST_F(SetupDialogTest, LoadedPictureGivesPixelCountsAndDerivedValues) {
  RunDialog("file " + picture_ + "\nkey Escape\n");

  EXPECT_EQ(LastShown(engrave::kImagePixelsXEdit), "40");
  EXPECT_EQ(LastShown(engrave::kImagePixelsYEdit), "30");
  EXPECT_EQ(LastShown(engrave::kXPixelStepsEdit), "25");                // 10 * 100 / 40
  EXPECT_EQ(LastShown(engrave::kYPixelStepsEdit), "26.6666666666667");  // 8 * 100 / 30
  EXPECT_EQ(LastShown(engrave::kTriggerLineLengthEdit), "1000");
  // The picture was turned to gray when it was loaded.
  ASSERT_NE(TheEngraveImage().Picture(), nullptr);
  EXPECT_EQ(TheEngraveImage().Picture()->BitsPerPixel(), 8);
}

TEST_F(SetupDialogTest, APhotoStoredSidewaysGivesItsUprightPixelCounts) {
  const std::string photo = host_.dir.File("phone.jpg");
  WriteSidewaysPhoto(photo);
  RunDialog("file " + photo + "\nclick " + std::to_string(engrave::kAspectCheck) +
            "\nkey Escape\n");

  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(LastShown(engrave::kImagePixelsXEdit), "32");
  EXPECT_EQ(LastShown(engrave::kImagePixelsYEdit), "48");
  EXPECT_EQ(LastShown(engrave::kLengthEdit), "15");  // 48 / 32 * the width of 10
  ASSERT_NE(TheEngraveImage().Picture(), nullptr);
  EXPECT_EQ(TheEngraveImage().Picture()->ImageWidth(), 32u);
  EXPECT_EQ(TheEngraveImage().Picture()->ImageHeight(), 48u);
}

TEST_F(SetupDialogTest, EnterActsAsStartScanningAndYesArmsWithTheStatusText) {
  RunDialog("file " + picture_ + "\nset 4165 5\nkey Enter\nclick 6\n");

  EXPECT_EQ(Count({"dialog", "4022", "close", "ok"}), 1);
  EXPECT_EQ(Count({"dialog", "4021", "close", "ok"}), 1);
  EXPECT_EQ(plugin::SequenceState(), kArmed);
  EXPECT_EQ(host_.motion.StatusLine, kArmedStatus);
  EXPECT_EQ(gParameters.Width, 5.0);
  EXPECT_EQ(gParameters.TriggerLineLength, 500);
  EXPECT_EQ(gParameters.ScanY, 0.0);
  EXPECT_EQ(gParameters.ScanXTarget, 0.0);
  Reset();
}

TEST_F(SetupDialogTest, NoClosesTheDialogWithoutArming) {
  host_.motion.StatusLine = "before";
  RunDialog("file " + picture_ + "\nclick 1\nclick 7\n");

  EXPECT_EQ(Count({"dialog", "4022", "close", "cancel"}), 1);
  EXPECT_EQ(Count({"dialog", "4021", "close", "ok"}), 1);
  EXPECT_EQ(plugin::SequenceState(), 0);
  EXPECT_EQ(host_.motion.StatusLine, "before");
}

TEST_F(SetupDialogTest, MaintainAspectReplacesTheHeightAtOnceAndOnRecalculation) {
  RunDialog("file " + picture_ + "\nset 4164 3\nclick 4188\nset 4164 2\nclick 4178\nkey Escape\n");

  // 30 / 40 * 10, after the click on the box and again after "Calculate Parameters".
  EXPECT_EQ(Count({"show", "4164", "7.5"}), 2);
  EXPECT_EQ(LastShown(engrave::kAspectCheck), "1");
  EXPECT_EQ(gParameters.Length, 7.5);
}

TEST_F(SetupDialogTest, TypedXPixelCountIsKeptForTheRaster) {
  RunDialog("file " + picture_ + "\nset 4180 200\nclick 4178\nclick 1\nclick 6\n");

  EXPECT_EQ(LastShown(engrave::kXPixelStepsEdit), "5");  // 10 * 100 / 200
  EXPECT_EQ(gParameters.ImagePixelsX, 200.0);
  EXPECT_EQ(plugin::SequenceState(), kArmed);
  Reset();
}

TEST_F(SetupDialogTest, LettersInWidthRestoreThePreviousValuesOfLaterFields) {
  RunDialog("file " + picture_ + "\nset 4164 6\nset 4165 abc\nset 4170 55\nclick 4178\n" +
            "key Escape\n");

  EXPECT_EQ(Messages(), std::vector<std::string>{"Please enter a number."});
  EXPECT_EQ(LastShown(engrave::kWidthEdit), "10");
  EXPECT_EQ(LastShown(engrave::kFeedRateEdit), "100");
  EXPECT_EQ(gParameters.FeedRate, 100.0);
  // The height comes before the width in the exchange, so it was read.
  EXPECT_EQ(LastShown(engrave::kLengthEdit), "6");
}

TEST_F(SetupDialogTest, TriggerFieldThatIsNoIntegerAsksForAnInteger) {
  RunDialog("file " + picture_ + "\nset 4184 many\nclick 4178\nkey Escape\n");
  EXPECT_EQ(Messages(), std::vector<std::string>{"Please enter an integer."});
  EXPECT_EQ(LastShown(engrave::kTriggerLineLengthEdit), "1000");
}

TEST_F(SetupDialogTest, CancelKeepsTheCalculatedValues) {
  RunDialog("file " + picture_ + "\nset 4165 20\nclick 4178\nset 4165 30\nclick 4029\n");

  EXPECT_EQ(Count({"dialog", "4021", "close", "cancel"}), 1);
  EXPECT_EQ(gParameters.Width, 20.0);  // the later edit was never read
  EXPECT_EQ(gParameters.TriggerLineLength, 2000);
}

TEST_F(SetupDialogTest, FailedStartCheckKeepsTheDialogOpenAndStillWritesThePulseChoice) {
  RunDialog("file " + picture_ + "\nclick 4186\nset 4165 0\nclick 1\nclick 6\nset 4165 4\n" +
            "click 1\nclick 7\n");

  EXPECT_EQ(Messages(), std::vector<std::string>{"ERROR... Width and Length must set be > 0.00"});
  EXPECT_EQ(host_.control.PulseMode, 1);
  // "click 6" found no confirmation to answer; the second Start Scanning asked for one.
  EXPECT_EQ(Count({"dialog", "4022", "open"}), 1);
  EXPECT_EQ(gParameters.Width, 4.0);
  EXPECT_EQ(plugin::SequenceState(), 0);
}

TEST_F(SetupDialogTest, StartScanningWithAnUnreadableFieldArmsNothing) {
  RunDialog("file " + picture_ + "\nset 4165 abc\nclick 1\nclick 6\n");

  EXPECT_EQ(Messages(), std::vector<std::string>{"Please enter a number."});
  EXPECT_EQ(Count({"dialog", "4022", "open"}), 0);
  EXPECT_EQ(plugin::SequenceState(), 0);
  EXPECT_EQ(Count({"dialog", "4021", "close", "cancel"}), 1);  // the script ran out
}

// What the host tells of X: "Auto" sizes the overscan from its acceleration at the feed rate
// typed, the run-up is shown beside it, and a raster that would pass a soft limit is refused
// with the axis and the limit.
TEST_F(SetupDialogTest, TheOverscanAndTheLimitsFollowWhatTheHostKnowsOfX) {
  constexpr double kNone = HUGE_VAL;
  const char* const kRunUp = "Run-up to the feed: 0.45";
  struct Case {
    double acceleration, minX, maxY;
    const char* actions;
    const char* overscan;  // shown last
    const char* runUp;
    const char* message;  // null: none
    bool armed;
  } cases[] = {
      {1000, -kNone, kNone, "click 4194\nclick 1\nclick 6\n", "0.54", kRunUp, nullptr, true},
      {1000, -kNone, kNone, "set 4193 0.2\nclick 4178\n", "0.2",
       "Run-up to the feed: 0.45, more than the overscan", nullptr, false},
      {0, -kNone, kNone, "click 4194\n", "0", "",
       "The machine's acceleration is not known here: please type the overscan.", false},
      {1000, -0.3, kNone, "set 4193 0.5\nclick 1\n", "0.5", kRunUp,
       "ERROR... The raster passes the X soft limit -0.3: its moves reach X-0.5000.", false},
      {0, -kNone, 5, "click 1\n", "0", "",
       "ERROR... The raster passes the Y soft limit 5: its moves reach Y8.1000.", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.actions);
    gParameters.Overscan = 0.0;
    WriteFileText(log_, "");
    host_.motion.MaxAccelerationX = c.acceleration;
    host_.motion.TravelMinX = c.minX;
    host_.motion.TravelMaxY = c.maxY;
    RunDialog("file " + picture_ + "\nset 4165 10\nset 4164 8\nset 4167 0.1\nset 4170 1800\n" +
              c.actions + "key Escape\n");
    EXPECT_EQ(LastShown(engrave::kOverscanEdit), c.overscan);
    std::string runUp = "<never shown>";  // an empty text ends its log line after the id
    for (const auto& line : ReadUiLog(log_))
      if (line.size() >= 2 && line[0] == "show" && line[1] == "4196")
        runUp = line.size() > 2 ? line[2] : "";
    EXPECT_EQ(runUp, c.runUp);
    EXPECT_EQ(Messages(), c.message != nullptr ? std::vector<std::string>{c.message}
                                               : std::vector<std::string>{});
    EXPECT_EQ(plugin::SequenceState(), c.armed ? kArmed : 0);
    Reset();
  }
  host_.motion.MaxAccelerationX = 0.0;
  host_.motion.TravelMinX = -HUGE_VAL;
  host_.motion.TravelMaxY = HUGE_VAL;
}

TEST_F(SetupDialogTest, PulseBoxStartsFromTheHostsPulseMode) {
  host_.control.PulseMode = 1;
  RunDialog("file-cancel\nkey Escape\n");
  EXPECT_EQ(Shown(engrave::kPulseCheck).front(), "1");
}

// "Inverted (Black  = On)" and "Dithered (photo)" start from the stored flags, and every
// reading of the boxes stores them again (the profile keeps them at StopPlug).
TEST_F(SetupDialogTest, TheModeBoxesStartAsStoredAndStoreWhatTheyShow) {
  struct Case {
    bool inverse, dither;
    std::string actions;
    bool inverseAfter, ditherAfter;
  } cases[] = {
      {false, false, "", false, false},
      {true, true, "", true, true},
      {true, false, "click 4187\ncheck 4189 1\n", false, true},
      {false, true, "check 4189 0\ncheck 4187 1\n", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.actions);
    gParameters.Inverse = c.inverse;
    gParameters.Dither = c.dither;
    WriteFileText(log_, "");
    RunDialog("file " + picture_ + "\n" + c.actions + "key Escape\n");
    EXPECT_EQ(Shown(engrave::kInvertedCheck).front(), c.inverse ? "1" : "0");
    EXPECT_EQ(Shown(engrave::kDitherCheck).front(), c.dither ? "1" : "0");
    EXPECT_EQ(gParameters.Inverse, c.inverseAfter);
    EXPECT_EQ(gParameters.Dither, c.ditherAfter);
  }
}

// A script's "check" sets a box to a state: only a change runs its handler (a recalculation,
// which shows every field again).
TEST_F(SetupDialogTest, CheckSetsABoxAndRecalculatesOnlyWhenThatChangesIt) {
  RunDialog("file " + picture_ + "\nkey Escape\n");
  const size_t shownWithoutChecks = Shown(engrave::kTriggerLineLengthEdit).size();
  WriteFileText(log_, "");
  RunDialog("file " + picture_ + "\ncheck 4189 1\ncheck 4189 1\ncheck 4189 0\ncheck 4189 0\n" +
            "key Escape\n");
  EXPECT_EQ(Count({"show", "4189", "1"}), 1);
  EXPECT_EQ(Shown(engrave::kTriggerLineLengthEdit).size(), shownWithoutChecks + 2);
  EXPECT_FALSE(gParameters.Dither);
}

// The raster keeps the mode it was armed with: its lines are those of the classic or the
// dithered fill from line 0, inverted or not, also after the stored flags change under it.
TEST_F(SetupDialogTest, ArmingFixesTheRastersMode) {
  const std::string ramp = host_.dir.File("ramp.bmp");
  ASSERT_TRUE(WriteGrayBitmap(ramp, 50, 20, [](int x, int y) { return (x * 5 + y * 3) % 256; }));
  const std::string adjust = "set 4200 -20\nset 4201 60\nset 4202 2.2\n";
  struct Case {
    std::string actions;
    bool dithered, inverted;
    engrave::ToneAdjustment tone;
  } cases[] = {
      {"", false, false, {}},
      {"check 4187 1\n", false, true, {}},
      {"check 4189 1\n", true, false, {}},
      {"check 4187 1\ncheck 4189 1\n", true, true, {}},
      {adjust, false, false, {-20, 60, 2.2}},
      {adjust + "check 4187 1\ncheck 4189 1\n", true, true, {-20, 60, 2.2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.actions);
    gParameters.Inverse = false;
    gParameters.Dither = false;
    gParameters.Brightness = 0.0;
    gParameters.Contrast = 0.0;
    gParameters.Gamma = 1.0;
    RunDialog("file " + ramp + "\nset 4165 3\nset 4164 2\nset 4167 0.1\n" + c.actions +
              "click 1\nclick 6\n");
    ASSERT_EQ(plugin::SequenceState(), kArmed);
    host_.control.CycleStart = 1;
    host_.motion.LineDone = 1;
    Update();  // Cycle Start seen: running

    engrave::TriggerLineInput line;
    line.triggerLineLength = gParameters.TriggerLineLength;
    line.imagePixelsX = gParameters.ImagePixelsX;
    line.imagePixelsY = gParameters.ImagePixelsY;
    line.length = gParameters.Length;
    line.yStepOver = gParameters.YStepOver;
    line.invert = c.inverted;
    line.tone = c.tone;
    const CxImage* picture = TheEngraveImage().Picture();
    engrave::TriggerLineFiller classic;
    engrave::DitheredLineFiller dithered;
    dithered.Prepare(line, picture);
    std::vector<uint32_t> expected(engrave::kTriggerWords);
    for (int k = 0; k < 12; ++k) {
      if (k == 4) {
        // Flags flipped halfway (as a later dialog could store them) change nothing now.
        gParameters.Inverse = !c.inverted;
        gParameters.Dither = !c.dithered;
        gParameters.Gamma = 0.3;
      }
      host_.motion.LineDone = 1;
      Update();
      if (c.dithered)
        dithered.Fill(line, picture, expected.data());
      else
        classic.Fill(line, picture, expected.data());
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), host_.driver->TriggerBits))
          << "line " << k;
      line.scanY = line.scanY + line.yStepOver;
      line.scanXTarget = line.scanXTarget == 0.0 ? gParameters.Width.load() : 0.0;
    }
    Reset();
  }
}

// A value the adjustments' fields cannot take is refused when the fields are read, like any
// field's: the message names the field and its range, the previous value stays, nothing is
// armed. Texts on their way to a number are not refused while they are typed.
TEST_F(SetupDialogTest, ABadAdjustmentIsRefusedAndThePreviousValueStays) {
  const std::string calculate = "click 4178\n", start = "click 1\nclick 6\n";
  struct Case {
    std::string actions;
    int field;
    std::string shown;  // afterwards
    const char* message;
  } cases[] = {
      {"set 4200 abc\n" + calculate, 4200, "0", "Brightness must be a number from -100 to 100."},
      {"set 4201 -101\n" + calculate, 4201, "0", "Contrast must be a number from -100 to 100."},
      {"set 4202 0\n" + calculate, 4202, "1", "Gamma must be a number from 0.1 to 10."},
      {"set 4202 2\n" + calculate + "set 4202 -1\n" + start, 4202, "2",
       "Gamma must be a number from 0.1 to 10."},
      {"set 4202 10.5\n" + start, 4202, "1", "Gamma must be a number from 0.1 to 10."},
      {"set 4200 -\nset 4200 -5\nset 4202 0\nset 4202 0.\nset 4202 0.5\n" + calculate, 4200, "-5",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.actions);
    gParameters.Brightness = 0.0;
    gParameters.Gamma = 1.0;
    WriteFileText(log_, "");
    RunDialog("file " + picture_ + "\n" + c.actions + "key Escape\n");
    EXPECT_EQ(Messages(), c.message != nullptr ? std::vector<std::string>{c.message}
                                               : std::vector<std::string>{});
    EXPECT_EQ(LastShown(c.field), c.shown);
    EXPECT_EQ(engrave::FormatFieldReal(c.field == 4200   ? gParameters.Brightness.load()
                                       : c.field == 4201 ? gParameters.Contrast.load()
                                                         : gParameters.Gamma.load()),
              c.shown);
    EXPECT_EQ(plugin::SequenceState(), 0);
  }
  EXPECT_EQ(gParameters.Gamma, 0.5);  // the last case's texts, read once complete
}

// Below the preview: the engraving time on every showing of the fields, and the advice to
// dither while the classic fill gives a column fewer than 4 steps (40 columns over 100 steps
// once the width is 1).
TEST_F(SetupDialogTest, TheTimeAndTheHintFollowTheFields) {
  RunDialog("file " + picture_ + "\nset 4165 1\nclick 4178\ncheck 4189 1\nkey Escape\n");

  const std::vector<std::string> times = Shown(engrave::kEstimateLabel);
  ASSERT_FALSE(times.empty());
  // Width 10, height 8, step-over 0.1 at F100: 81 lines (see EstimateRaster's test).
  EXPECT_NE(std::find(times.begin(), times.end(), "Engraving time: 0:08:19 (81 lines)"),
            times.end());
  // Width 1: 81 lines of 1, 8.1 up, then back from X 1, Y 8.1.
  EXPECT_EQ(times.back(), "Engraving time: 0:00:58 (81 lines)");
  std::vector<std::string> hints;  // an empty text ends its log line after the id
  for (const auto& line : ReadUiLog(log_))
    if (line.size() >= 2 && line[0] == "show" && line[1] == "4192")
      hints.push_back(line.size() > 2 ? line[2] : "");
  ASSERT_GE(hints.size(), 2u);
  EXPECT_EQ(hints[hints.size() - 2].rfind("Only 2.5 steps per picture column", 0), 0u)
      << hints[hints.size() - 2];
  EXPECT_EQ(hints.back(), "");  // dithered: no advice
}

// The preview's toggle: the engraving view in both modes, written by the script's snapshot
// as the dialog paints it; and the choice stays for the next dialog of this run.
TEST_F(SetupDialogTest, ThePreviewShowsTheEngravingAndKeepsTheChoice) {
  const std::string classic = host_.dir.File("classic.png");
  const std::string dithered = host_.dir.File("dithered.png");
  RunDialog("file " + picture_ + "\nsnapshot 4179 " + host_.dir.File("picture.png") +
            "\ncheck 4190 1\nsnapshot 4179 " + classic + "\ncheck 4189 1\nsnapshot 4179 " +
            dithered + "\nkey Escape\n");
  EXPECT_EQ(Count({"snapshot", "4179", classic, "ok"}), 1);
  EXPECT_EQ(Count({"snapshot", "4179", dithered, "ok"}), 1);
  // Left half black, right half white: both views fire nothing on the left and nearly every
  // step on the right.
  for (const std::string& path : {classic, dithered}) {
    CxImage shot;
    ASSERT_TRUE(shot.LoadFile(path.c_str(), 4)) << path;
    const ui::ControlResource& frame = *engrave::SetupDialogResource().Find(engrave::kPreviewFrame);
    EXPECT_EQ(shot.ImageWidth(), uint32_t(ui::FrameClientWidth(frame)));
    EXPECT_EQ(shot.ImageHeight(), uint32_t(ui::FrameClientHeight(frame)));
    const int middle = int(shot.ImageHeight()) / 2;
    EXPECT_EQ(shot.PixelGray(int(shot.ImageWidth()) / 4, middle), 0) << path;
    EXPECT_GT(shot.PixelGray(3 * int(shot.ImageWidth()) / 4, middle), 240) << path;
  }

  WriteFileText(log_, "");
  RunDialog("file-cancel\ncheck 4190 0\nkey Escape\n");  // unticked again for later tests
  EXPECT_EQ(Shown(engrave::kEngravingViewCheck).front(), "1");
}

TEST_F(SetupDialogTest, ConfigAfterTheDialogClosedOpensANewOneWithANewFileDialog) {
  const std::string script = host_.dir.File("twice.script");
  WriteFileText(script, "file-cancel\nkey Escape\nfile " + picture_ + "\nkey Escape\n");
  setenv("ENGRAVING_UI_SCRIPT", script.c_str(), 1);
  Config();
  ASSERT_TRUE(host_.WaitForDialogEnd());
  Config();
  ASSERT_TRUE(host_.WaitForDialogEnd());

  EXPECT_EQ(Count({"dialog", "4021", "open"}), 2);
  int fileDialogs = 0;
  for (const auto& line : ReadUiLog(log_)) fileDialogs += line[0] == "filedialog";
  EXPECT_EQ(fileDialogs, 2);
  EXPECT_EQ(LastShown(engrave::kImagePixelsXEdit), "40");  // the second one loaded the picture
}

// ---- the dialog logic on its own, with controls of the test's making ----------------------

class FakeControls final : public ui::DialogControls {
 public:
  std::string Text(int id) const override {
    const auto found = texts.find(id);
    return found != texts.end() ? found->second : "";
  }
  void SetText(int id, const std::string& text) override { texts[id] = text; }
  bool Checked(int id) const override { return checks.count(id) != 0 && checks.at(id); }
  void SetChecked(int id, bool checked) override { checks[id] = checked; }
  void Focus(int id) override { focus = id; }
  void End(ui::DialogResult result) override { ended = result; }

  std::map<int, std::string> texts;
  std::map<int, bool> checks;
  int focus = 0;
  std::optional<ui::DialogResult> ended;
};

class SetupLogicTest : public SetupDialogTest {
 protected:
  void Answer(const std::string& script) {
    ui::SetActionSourceForTesting(std::make_shared<ui::ScriptText>(script));
  }
  void TearDown() override {
    ui::SetActionSourceForTesting(nullptr);
    SetupDialogTest::TearDown();
  }

  static PixelSurface Background(int width, int height) {
    PixelSurface surface(width, height);
    std::fill(surface.pixels.begin(), surface.pixels.end(), uint8_t(77));
    return surface;
  }
};

TEST_F(SetupLogicTest, PreviewPaintsThePictureStretchedOnlyWhenThisDialogLoadedIt) {
  FakeControls controls;
  engrave::EngraveSetup loaded(0);
  Answer("file " + picture_ + "\n");
  loaded.OnInitDialog(controls);
  ASSERT_TRUE(loaded.imageLoaded());
  PixelSurface surface = Background(8, 4);
  loaded.Paint(engrave::kPreviewFrame, surface);
  EXPECT_EQ(surface.Row(0)[0], 0);        // left half black
  EXPECT_EQ(surface.Row(3)[3 * 7], 255);  // right half white

  // A dialog whose file dialog was cancelled paints nothing, though a picture is still held.
  engrave::EngraveSetup empty(0);
  Answer("file-cancel\n");
  empty.OnInitDialog(controls);
  EXPECT_FALSE(empty.imageLoaded());
  PixelSurface untouched = Background(8, 4);
  empty.Paint(engrave::kPreviewFrame, untouched);
  EXPECT_EQ(untouched.pixels, Background(8, 4).pixels);
}

TEST_F(SetupLogicTest, PreviewShowsAPhotoStoredSidewaysUpright) {
  const std::string photo = host_.dir.File("phone.jpg");
  WriteSidewaysPhoto(photo);
  FakeControls controls;
  engrave::EngraveSetup setup(0);
  Answer("file " + photo + "\n");
  setup.OnInitDialog(controls);
  ASSERT_TRUE(setup.imageLoaded());
  PixelSurface surface = Background(8, 8);
  setup.Paint(engrave::kPreviewFrame, surface);
  for (int x = 0; x < 8; ++x) {
    EXPECT_LT(surface.Row(0)[3 * x], 8) << x;    // the stored left half, on top
    EXPECT_GT(surface.Row(7)[3 * x], 247) << x;  // the stored right half, below
  }
}

// Typing in an adjustment's field renews both previews at once, without reading the other
// fields; text that is no acceptable value yet leaves them as they are and says nothing.
TEST_F(SetupLogicTest, AdjustmentsRenewThePreviewsAsTheyAreTyped) {
  const std::string flat = host_.dir.File("flat.bmp");
  ASSERT_TRUE(WriteGrayBitmap(flat, 40, 30, [](int, int) { return 64; }));
  FakeControls controls;
  engrave::EngraveSetup setup(0);
  Answer("file " + flat + "\n");
  setup.OnInitDialog(controls);
  ASSERT_TRUE(setup.imageLoaded());
  auto previewLevel = [&] {
    PixelSurface surface = Background(8, 4);
    setup.Paint(engrave::kPreviewFrame, surface);
    return int(surface.Row(2)[12]);
  };
  auto type = [&](int field, const std::string& text) {
    controls.texts[field] = text;
    setup.OnTextChanged(field, controls);
  };
  EXPECT_EQ(previewLevel(), 64);
  type(engrave::kGammaEdit, "2");
  EXPECT_EQ(previewLevel(), 128);  // the table's level of 64 at gamma 2
  for (const char* partial : {"", "0", "0.", "-", "abc", "11"}) {
    type(engrave::kGammaEdit, partial);
    EXPECT_EQ(previewLevel(), 128) << partial;
  }
  controls.texts[engrave::kWidthEdit] = "3";  // not read by typing elsewhere
  type(engrave::kBrightnessEdit, "-100");
  EXPECT_EQ(previewLevel(), 0);
  EXPECT_EQ(gParameters.Width, 10.0);
  EXPECT_EQ(gParameters.Brightness, 0.0);  // nor is the set written before the fields are read

  // The engraving view: 25 steps per column fire about their share of the level, along a row
  // of the frame (each frame pixel covers about two steps).
  controls.checks[engrave::kEngravingViewCheck] = true;
  controls.texts[engrave::kWidthEdit] = "10";
  type(engrave::kBrightnessEdit, "0");
  type(engrave::kGammaEdit, "1");
  ASSERT_TRUE(setup.Recalculate(controls));
  auto viewShare = [&] {
    while (setup.OnIdle(controls)) {
    }
    double sum = 0.0;
    for (int x = 40; x < 420; ++x) sum += setup.engravingView().Share(x, 200);
    return sum / 380.0;
  };
  EXPECT_NEAR(viewShare(), 64.0 / 255.0, 0.03);
  type(engrave::kBrightnessEdit, "100");
  EXPECT_NEAR(viewShare(), 1.0, 0.001);
  EXPECT_TRUE(Messages().empty());
  controls.checks[engrave::kEngravingViewCheck] = false;
  setup.Recalculate(controls);  // the view's choice lasts for the run: unticked for later tests
}

TEST_F(SetupLogicTest, ReadingStopsAtTheFailingFieldAndFocusesIt) {
  FakeControls controls;
  engrave::EngraveSetup setup(0);
  setup.DoDataExchange(controls, false);
  controls.texts[engrave::kLengthEdit] = "3";
  controls.texts[engrave::kWidthEdit] = "wide";
  controls.texts[engrave::kFeedRateEdit] = "55";

  EXPECT_FALSE(setup.DoDataExchange(controls, true));
  EXPECT_EQ(controls.focus, engrave::kWidthEdit);
  EXPECT_EQ(gParameters.Length, 3.0);
  EXPECT_EQ(gParameters.FeedRate, 100.0);
}

}  // namespace

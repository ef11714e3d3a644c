#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "CommaLocale.h"
#include "TempDir.h"
#include "engrave/EngraveSetup.h"
#include "engrave/Parameters.h"
#include "profile/ProfileStore.h"

using engrave::gParameters;
using engrave::StartScanningResult;

namespace {

TEST(StoredRealTest, FourSignificantDigitsWithTheStoredLayout) {
  EXPECT_EQ(engrave::FormatStoredReal(0.1), "0.1");
  EXPECT_EQ(engrave::FormatStoredReal(8), "8.");
  EXPECT_EQ(engrave::FormatStoredReal(0), "0.");
  EXPECT_EQ(engrave::FormatStoredReal(100), "100.");
  EXPECT_EQ(engrave::FormatStoredReal(12.3456), "12.35");
  EXPECT_EQ(engrave::FormatStoredReal(2500), "2500");
  EXPECT_EQ(engrave::FormatStoredReal(0.05), "5.e-002");
  EXPECT_EQ(engrave::FormatStoredReal(25000), "2.5e+004");
  EXPECT_EQ(engrave::FormatStoredReal(-0.5), "-0.5");
  EXPECT_EQ(engrave::FormatStoredReal(-25000), "-2.5e+004");
  EXPECT_EQ(engrave::FormatStoredReal(7.5), "7.5");
  EXPECT_EQ(engrave::FormatStoredReal(1e-300), "1.e-300");
  EXPECT_EQ(engrave::FormatStoredReal(123456789), "1.235e+008");
  // The digit position comes from the exact value: 9999.6 has four integer digits and rounds
  // to a fifth.
  EXPECT_EQ(engrave::FormatStoredReal(9999.6), "10000");
  EXPECT_EQ(engrave::FormatStoredReal(0.99996), "1.");
}

class ParameterSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gParameters.Width = 10.0;
    gParameters.Length = 8.0;
    gParameters.FeedRate = 100.0;
    gParameters.ImagePixelsX = 400.0;
    gParameters.ImagePixelsY = 300.0;
    gParameters.ScanY = 5.0;
    gParameters.ScanXTarget = 10.0;
  }
};

TEST_F(ParameterSetTest, CalculateDerivesStepsPerPixelAndLineLength) {
  engrave::CalculateParameters(false, 2000.0, 1000.0);
  EXPECT_EQ(gParameters.Length, 8.0);
  EXPECT_EQ(gParameters.XPixelSteps, 50.0);
  EXPECT_DOUBLE_EQ(gParameters.YPixelSteps, 8.0 * 1000.0 / 300.0);
  EXPECT_EQ(gParameters.TriggerLineLength, 20000);
}

TEST_F(ParameterSetTest, MaintainAspectReplacesTheHeight) {
  gParameters.Length = 3.0;
  engrave::CalculateParameters(true, 2000.0, 2000.0);
  EXPECT_EQ(gParameters.Length, 7.5);
  EXPECT_EQ(gParameters.YPixelSteps, 7.5 * 2000.0 / 300.0);
}

TEST_F(ParameterSetTest, WithoutPictureDimensionsNothingIsDividedByZero) {
  gParameters.ImagePixelsX = 0.0;
  gParameters.ImagePixelsY = -2.0;
  engrave::CalculateParameters(true, 2000.0, 2000.0);
  EXPECT_EQ(gParameters.Length, 8.0);
  EXPECT_EQ(gParameters.XPixelSteps, 0.0);
  EXPECT_EQ(gParameters.YPixelSteps, 0.0);
  EXPECT_EQ(gParameters.TriggerLineLength, 20000);
}

TEST_F(ParameterSetTest, LineLengthTruncatesAndSaturatesInsteadOfWrapping) {
  gParameters.Width = 10.00049;
  engrave::CalculateParameters(false, 100.0, 100.0);
  EXPECT_EQ(gParameters.TriggerLineLength, 1000);
  gParameters.Width = 1e12;
  engrave::CalculateParameters(false, 2000.0, 2000.0);
  EXPECT_EQ(gParameters.TriggerLineLength, INT32_MAX);
  gParameters.Width = std::nan("");
  engrave::CalculateParameters(false, 2000.0, 2000.0);
  EXPECT_EQ(gParameters.TriggerLineLength, INT32_MAX);
}

class RecordingStarter : public engrave::ScanStarter {
 public:
  void SetPulseMode(uint8_t pulseMode) override { pulse.push_back(pulseMode); }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  bool ConfirmMovement() override {
    ++confirmations;
    return confirm;
  }
  void Arm() override { ++armed; }

  bool confirm = true;
  std::vector<uint8_t> pulse;
  std::vector<std::string> messages;
  int confirmations = 0;
  int armed = 0;
};

StartScanningResult Start(RecordingStarter& starter, bool pulse = false) {
  return engrave::StartScanning(pulse, starter);
}

TEST_F(ParameterSetTest, StartScanningArmsAfterConfirmationFromTheStart) {
  engrave::CalculateParameters(false, 2000.0, 2000.0);
  RecordingStarter starter;
  EXPECT_EQ(Start(starter, true), StartScanningResult::kArmed);
  EXPECT_EQ(starter.pulse, std::vector<uint8_t>{1});
  EXPECT_TRUE(starter.messages.empty());
  EXPECT_EQ(starter.armed, 1);
  EXPECT_EQ(gParameters.ScanY, 0.0);
  EXPECT_EQ(gParameters.ScanXTarget, 0.0);
}

TEST_F(ParameterSetTest, ARefusedConfirmationArmsNothing) {
  engrave::CalculateParameters(false, 2000.0, 2000.0);
  RecordingStarter starter;
  starter.confirm = false;
  EXPECT_EQ(Start(starter), StartScanningResult::kRefused);
  EXPECT_EQ(starter.armed, 0);
  EXPECT_EQ(gParameters.ScanY, 5.0);
}

TEST_F(ParameterSetTest, EachFailedCheckShowsItsMessageAndStillWritesThePulseChoice) {
  struct Case {
    double width, length, feed;
    std::string message;
  } cases[] = {
      {0.0, 8.0, 100.0, "ERROR... Width and Length must set be > 0.00"},
      {10.0, -1.0, 100.0, "ERROR... Width and Length must set be > 0.00"},
      {std::nan(""), 8.0, 100.0, "ERROR... Width and Length must set be > 0.00"},
      {10.0, 8.0, 0.0, "ERROR... Rate must set be > 0.00"},
      {0.0, 8.0, 0.0, "ERROR... Width and Length must set be > 0.00"},
  };
  for (const Case& c : cases) {
    gParameters.Width = c.width;
    gParameters.Length = c.length;
    gParameters.FeedRate = c.feed;
    engrave::CalculateParameters(false, 2000.0, 2000.0);
    RecordingStarter starter;
    EXPECT_EQ(Start(starter, true), StartScanningResult::kCheckFailed);
    EXPECT_EQ(starter.messages, std::vector<std::string>{c.message});
    EXPECT_EQ(starter.pulse, std::vector<uint8_t>{1});
    EXPECT_EQ(starter.confirmations, 0);
  }
}

TEST_F(ParameterSetTest, TheBufferHoldsExactlyOneMillionTwentyFourThousandBits) {
  gParameters.Width = 512.0;
  engrave::CalculateParameters(false, 2000.0, 2000.0);
  ASSERT_EQ(gParameters.TriggerLineLength, 1024000);
  RecordingStarter passes;
  EXPECT_EQ(Start(passes), StartScanningResult::kArmed);

  gParameters.Width = 1024001.0;
  engrave::CalculateParameters(false, 1.0, 1.0);
  RecordingStarter refused;
  EXPECT_EQ(Start(refused), StartScanningResult::kCheckFailed);
  EXPECT_EQ(refused.messages,
            std::vector<std::string>{"ERROR... Must be fewer than 1 million trigger bits."});
}

TEST_F(ParameterSetTest, StartingWithoutPictureDimensionsIsRefused) {
  gParameters.ImagePixelsX = 0.0;
  engrave::CalculateParameters(false, 2000.0, 2000.0);
  RecordingStarter starter;
  EXPECT_EQ(Start(starter), StartScanningResult::kCheckFailed);
  ASSERT_EQ(starter.messages.size(), 1u);
  EXPECT_NE(starter.messages[0].find("Image pixels"), std::string::npos);
  EXPECT_EQ(starter.armed, 0);
}

constexpr double kInfinity = std::numeric_limits<double>::infinity();

class StoredParametersTest : public ::testing::Test {
 protected:
  void TearDown() override { profile::ProfileName().clear(); }

  void Load(const std::string& profileText) {
    if (!profileText.empty()) WriteFileText(path, profileText);
    profile::ProfileName() = path;
    profile::ScopedProfileStore scope;
    engrave::LoadParameters();
  }
  void LoadWidth(const std::string& text) {
    Load("<profile><Engraving><Width>" + text + "</Width></Engraving></profile>");
  }
  std::string Save() {
    {
      profile::ProfileName() = path;
      profile::ScopedProfileStore scope;
      engrave::SaveParameters();
    }
    return ReadFileText(path);
  }
  // The six keys every profile holds, as the defaults save them; the opt-in keys follow them.
  static constexpr const char* kSixKeys =
      "<YStepOver>0.1</YStepOver><Length>8.</Length><Width>10.</Width><FeedRate>100.</FeedRate>"
      "<Inverse>0</Inverse><MaintainAspectRatio>0</MaintainAspectRatio>";
  void LoadAfterTheSix(const std::string& keys) {
    Load(std::string("<profile><Engraving>") + kSixKeys + keys + "</Engraving></profile>");
  }
  // Saves; what the section holds after the six keys.
  std::string SavedAfterTheSix() {
    const std::string saved = Save();
    const size_t six = saved.find(kSixKeys);
    if (six == std::string::npos) return "<the six keys are not as saved by default>";
    const size_t after = six + std::string(kSixKeys).size();
    return saved.substr(after, saved.find("</Engraving>") - after);
  }

  TempDir dir;
  std::string path = dir.File("profile.xml");
};

TEST_F(StoredParametersTest, DefaultsLoadAndSaveInKeyOrder) {
  Load("");
  EXPECT_EQ(gParameters.YStepOver, 0.1);
  EXPECT_EQ(gParameters.Length, 8.0);
  EXPECT_EQ(gParameters.Width, 10.0);
  EXPECT_EQ(gParameters.FeedRate, 100.0);
  EXPECT_FALSE(gParameters.Inverse);
  EXPECT_FALSE(gParameters.MaintainAspectRatio);
  EXPECT_NE(Save().find("<Engraving><YStepOver>0.1</YStepOver><Length>8.</Length>"
                        "<Width>10.</Width><FeedRate>100.</FeedRate><Inverse>0</Inverse>"
                        "<MaintainAspectRatio>0</MaintainAspectRatio></Engraving>"),
            std::string::npos);
}

TEST_F(StoredParametersTest, StoredTextsGiveTheirLeadingDecimalNumber) {
  Load(
      "<profile><Engraving><YStepOver> 0.25mm</YStepOver><Length>abc</Length>"
      "<Width>12.3456</Width><FeedRate>1e2</FeedRate><Inverse>2</Inverse>"
      "<MaintainAspectRatio>1</MaintainAspectRatio></Engraving></profile>");
  EXPECT_EQ(gParameters.YStepOver, 0.25);
  EXPECT_EQ(gParameters.Length, 0.0);
  EXPECT_EQ(gParameters.Width, 12.3456);
  EXPECT_EQ(gParameters.FeedRate, 100.0);
  EXPECT_FALSE(gParameters.Inverse);
  EXPECT_TRUE(gParameters.MaintainAspectRatio);
  const std::string saved = Save();
  EXPECT_NE(saved.find("<Width>12.35</Width>"), std::string::npos);
  EXPECT_NE(saved.find("<Length>0.</Length>"), std::string::npos);
  EXPECT_NE(saved.find("<Inverse>0</Inverse>"), std::string::npos);
  EXPECT_NE(saved.find("<MaintainAspectRatio>1</MaintainAspectRatio>"), std::string::npos);
}

TEST_F(StoredParametersTest, LoadingIgnoresTheHostsLocale) {
  // A host running with a decimal comma must still read "0.25" as a quarter.
  CommaLocale comma;
  if (!comma.Active()) GTEST_SKIP() << "no locale with a decimal comma can be made here";
  Load("<profile><Engraving><YStepOver>0.25</YStepOver></Engraving></profile>");
  EXPECT_EQ(gParameters.YStepOver, 0.25);
  EXPECT_NE(Save().find("<YStepOver>0.25</YStepOver>"), std::string::npos);
}

TEST_F(StoredParametersTest, TextsThatAreNoFiniteDecimalNumberLoadAsZero) {
  for (const char* text : {"nan", "NAN", "-nan", "inf", "-inf", "infinity", "1e400", "-1e400",
                           "1e-400", "0x10", "0X1p4", "abc", " .", "--1"}) {
    SCOPED_TRACE(text);
    gParameters.Width = 5.0;
    LoadWidth(text);
    EXPECT_EQ(gParameters.Width, 0.0);
  }
}

TEST_F(StoredParametersTest, TheLeadingDecimalNumberOfATextIsTaken) {
  const struct {
    const char* text;
    double value;
  } cases[] = {{"12abc", 12.0}, {" 12.5mm", 12.5}, {"-3", -3.0},  {"+.25", 0.25},
               {"1e2", 100.0},  {"8.", 8.0},       {"1e3x", 1e3}, {"7.5e", 7.5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    LoadWidth(c.text);
    EXPECT_EQ(gParameters.Width, c.value);
  }
}

// What the old reading let through: the dialog shows the loaded value, and reading that text
// back must succeed, or every Calculate and Start Scanning answers "Please enter a number.".
TEST_F(StoredParametersTest, EveryLoadedRealReadsBackFromTheDialogField) {
  Load(
      "<profile><Engraving><YStepOver>nan</YStepOver><Length>inf</Length>"
      "<Width>1e400</Width><FeedRate>0x10</FeedRate></Engraving></profile>");
  for (double value : {gParameters.YStepOver.load(), gParameters.Length.load(),
                       gParameters.Width.load(), gParameters.FeedRate.load()}) {
    EXPECT_TRUE(std::isfinite(value));
    EXPECT_TRUE(engrave::ParseFieldReal(engrave::FormatFieldReal(value)).has_value()) << value;
  }
}

TEST_F(StoredParametersTest, AValueThatIsNoFiniteNumberIsSavedAsZero) {
  Load("<profile/>");
  gParameters.YStepOver = std::nan("");
  gParameters.Length = kInfinity;
  gParameters.Width = -kInfinity;
  gParameters.FeedRate = 100.0;
  const std::string saved = Save();
  EXPECT_NE(saved.find("<YStepOver>0.</YStepOver><Length>0.</Length><Width>0.</Width>"
                       "<FeedRate>100.</FeedRate>"),
            std::string::npos)
      << saved;
}

// An aspect ratio that overflows gives an infinite height; it must not survive the restart.
TEST_F(StoredParametersTest, AnOverflowedHeightIsNotCarriedIntoTheNextRun) {
  Load("<profile><Engraving><Width>1e10</Width></Engraving></profile>");
  gParameters.ImagePixelsX = 1.0;
  gParameters.ImagePixelsY = 1e300;
  engrave::CalculateParameters(true, 2000.0, 2000.0);
  ASSERT_TRUE(std::isinf(gParameters.Length.load()));
  EXPECT_NE(Save().find("<Length>0.</Length>"), std::string::npos);
  Load(ReadFileText(path));
  EXPECT_EQ(gParameters.Length, 0.0);
  EXPECT_EQ(gParameters.Width, 1e10);
}

TEST_F(StoredParametersTest, AStoredNanIsReplacedByZeroAtTheNextSave) {
  LoadWidth("nan");
  EXPECT_NE(Save().find("<Width>0.</Width>"), std::string::npos);
}

}  // namespace

namespace {

// "Dither" is written only when it is 1 or the profile had it: the profile of a user who never
// ticks "Dithered (photo)" stays exactly as it was. "Inverse" loads and saves as before, now
// the inverted box's state.
TEST_F(StoredParametersTest, TheDitherKeyIsKeptOnlyWhereItIsOrWasUsed) {
  const std::string kFlags = "<Inverse>0</Inverse><MaintainAspectRatio>0</MaintainAspectRatio>";
  struct Case {
    const char* stored;  // null: no key
    std::optional<bool> setTo;
    bool loads;
    const char* saved;  // null: no key after the save
  } cases[] = {
      {nullptr, std::nullopt, false, nullptr}, {nullptr, true, false, "1"},
      {"1", std::nullopt, true, "1"},          {"1", false, true, "0"},
      {"0", std::nullopt, false, "0"},         {"2", std::nullopt, false, "0"},
      {"", std::nullopt, false, nullptr},  // an empty key counts as missing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "stored " << (c.stored ? c.stored : "(none)"));
    std::string section = kFlags;
    if (c.stored != nullptr) section += std::string("<Dither>") + c.stored + "</Dither>";
    Load("<profile><Engraving>" + section + "</Engraving></profile>");
    EXPECT_EQ(gParameters.Dither, c.loads);
    if (c.setTo) gParameters.Dither = *c.setTo;
    const std::string saved = Save();
    if (c.saved == nullptr) {
      EXPECT_EQ(saved.find("Dither"), std::string::npos) << saved;
    } else {
      EXPECT_NE(saved.find("<Dither>" + std::string(c.saved) + "</Dither>"), std::string::npos)
          << saved;
    }
  }
}

}  // namespace

namespace {

// "Brightness", "Contrast" and "Gamma" are each written only when not neutral or already in the
// profile; a stored value the dialog would refuse loads as neutral and is saved back as such.
TEST_F(StoredParametersTest, EachAdjustmentKeyIsKeptOnlyWhereItIsOrWasUsed) {
  struct Case {
    const char* stored;                  // the keys in the section, after the flags
    double brightness, contrast, gamma;  // loaded
    std::optional<double> setGamma;
    const char* saved;  // the keys after the save
  } cases[] = {
      {"", 0, 0, 1, std::nullopt, ""},
      {"", 0, 0, 1, 2.2, "<Gamma>2.2</Gamma>"},
      {"<Contrast>35</Contrast>", 0, 35, 1, std::nullopt, "<Contrast>35.</Contrast>"},
      {"<Brightness>-12.5</Brightness><Gamma>0.5</Gamma>", -12.5, 0, 0.5, 1.0,
       "<Brightness>-12.5</Brightness><Gamma>1.</Gamma>"},
      {"<Brightness>0</Brightness>", 0, 0, 1, std::nullopt, "<Brightness>0.</Brightness>"},
      {"<Gamma>0</Gamma><Contrast>abc</Contrast><Brightness>101</Brightness>", 0, 0, 1,
       std::nullopt, "<Gamma>1.</Gamma><Contrast>0.</Contrast><Brightness>0.</Brightness>"},
      {"<Gamma></Gamma>", 0, 0, 1, std::nullopt, ""},  // an empty key counts as missing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    LoadAfterTheSix(c.stored);
    EXPECT_EQ(gParameters.Brightness, c.brightness);
    EXPECT_EQ(gParameters.Contrast, c.contrast);
    EXPECT_EQ(gParameters.Gamma, c.gamma);
    if (c.setGamma) gParameters.Gamma = *c.setGamma;
    EXPECT_EQ(SavedAfterTheSix(), c.saved);
  }
}

// "Overscan" and "SkipBlank" are written only when in use or already in the profile.
TEST_F(StoredParametersTest, TheLineLayoutKeysAreKeptOnlyWhereTheyAreOrWereUsed) {
  struct Case {
    const char* stored;  // the keys in the section, after the flags
    double overscan;
    bool skipBlank;  // loaded
    std::optional<double> setOverscan;
    const char* saved;  // the keys after the save
  } cases[] = {
      {"", 0, false, std::nullopt, ""},
      {"", 0, false, 0.54, "<Overscan>0.54</Overscan>"},
      {"<Overscan>1.5</Overscan><SkipBlank>1</SkipBlank>", 1.5, true, std::nullopt,
       "<Overscan>1.5</Overscan><SkipBlank>1</SkipBlank>"},
      {"<Overscan>0.5</Overscan>", 0.5, false, 0.0, "<Overscan>0.</Overscan>"},
      // Keys stay where the profile has them.
      {"<SkipBlank>0</SkipBlank><Overscan>x</Overscan>", 0, false, std::nullopt,
       "<SkipBlank>0</SkipBlank><Overscan>0.</Overscan>"},
      {"<Overscan></Overscan><SkipBlank></SkipBlank>", 0, false, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    LoadAfterTheSix(c.stored);
    EXPECT_EQ(gParameters.Overscan, c.overscan);
    EXPECT_EQ(gParameters.SkipBlank, c.skipBlank);
    if (c.setOverscan) gParameters.Overscan = *c.setOverscan;
    EXPECT_EQ(SavedAfterTheSix(), c.saved);
  }
}

// A profile written before the adjustments existed, loaded and saved by a user who never touches
// them, stays byte for byte as it was.
TEST_F(StoredParametersTest, AProfileThatNeverUsedTheAdjustmentsStaysByteIdentical) {
  const std::string before =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<profile><Host a=\"1\">x</Host><Engraving><YStepOver>5.e-002</YStepOver>"
      "<Length>8.</Length><Width>12.35</Width><FeedRate>100.</FeedRate><Inverse>1</Inverse>"
      "<MaintainAspectRatio>0</MaintainAspectRatio><Dither>1</Dither></Engraving></profile>\n";
  Load(before);
  EXPECT_EQ(Save(), before);
}

}  // namespace

// The engraving parameters as numbers in the profile: what a stored text loads as, and what a
// value that is no finite number is saved as.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "TempDir.h"
#include "engrave/EngraveSetup.h"
#include "engrave/Parameters.h"
#include "profile/ProfileStore.h"

using engrave::gParameters;

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

class StoredNumbersTest : public ::testing::Test {
 protected:
  void TearDown() override { profile::ProfileName().clear(); }

  void Load(const std::string& profileText) {
    WriteFileText(path, profileText);
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

  TempDir dir;
  std::string path = dir.File("profile.xml");
};

TEST_F(StoredNumbersTest, TextsThatAreNoFiniteDecimalNumberLoadAsZero) {
  for (const char* text : {"nan", "NAN", "-nan", "inf", "-inf", "infinity", "1e400", "-1e400",
                           "1e-400", "0x10", "0X1p4", "abc", " .", "--1"}) {
    SCOPED_TRACE(text);
    gParameters.Width = 5.0;
    LoadWidth(text);
    EXPECT_EQ(gParameters.Width, 0.0);
  }
}

TEST_F(StoredNumbersTest, TheLeadingDecimalNumberOfATextIsTaken) {
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
TEST_F(StoredNumbersTest, EveryLoadedRealReadsBackFromTheDialogField) {
  Load(
      "<profile><Engraving><YStepOver>nan</YStepOver><Length>inf</Length>"
      "<Width>1e400</Width><FeedRate>0x10</FeedRate></Engraving></profile>");
  for (double value : {gParameters.YStepOver.load(), gParameters.Length.load(),
                       gParameters.Width.load(), gParameters.FeedRate.load()}) {
    EXPECT_TRUE(std::isfinite(value));
    EXPECT_TRUE(engrave::ParseFieldReal(engrave::FormatFieldReal(value)).has_value()) << value;
  }
}

TEST_F(StoredNumbersTest, AValueThatIsNoFiniteNumberIsSavedAsZero) {
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
TEST_F(StoredNumbersTest, AnOverflowedHeightIsNotCarriedIntoTheNextRun) {
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

TEST_F(StoredNumbersTest, AStoredNanIsReplacedByZeroAtTheNextSave) {
  LoadWidth("nan");
  EXPECT_NE(Save().find("<Width>0.</Width>"), std::string::npos);
}

}  // namespace

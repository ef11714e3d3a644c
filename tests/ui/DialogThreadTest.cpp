// The dialog thread's life: one dialog at a time, and a clean end when the host stops or
// unloads the plug-in while a dialog waits for its user. The user here is a script that the
// test feeds one action at a time, so the dialog really stays open in between.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>

#include "GatedScript.h"
#include "GrayBitmap.h"
#include "InProcessHost.h"
#include "engrave/EngraveThread.h"
#include "engrave/Parameters.h"
#include "plugin/PluginServices.h"
#include "ui/Script.h"

namespace {

class DialogThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = host_.dir.File("ui.log");
    setenv("ENGRAVING_UI", "script", 1);
    setenv("ENGRAVING_UI_LOG", log_.c_str(), 1);
    ui::SetActionSourceForTesting(user_);
    picture_ = host_.dir.File("picture.bmp");
    ASSERT_TRUE(WriteGrayBitmap(picture_, 16, 12, [](int x, int y) { return (x * y) % 256; }));
  }
  void TearDown() override {
    engrave::ShutdownDialogThread();
    ui::SetActionSourceForTesting(nullptr);
    unsetenv("ENGRAVING_UI_LOG");
  }

  int Count(const std::vector<std::string>& fields) const {
    int count = 0;
    for (const auto& line : ReadUiLog(log_))
      if (line.size() >= fields.size() && std::equal(fields.begin(), fields.end(), line.begin()))
        ++count;
    return count;
  }

  // Ends the dialog thread as the host's StopPlug or an unload does, and tells how long it took.
  std::chrono::milliseconds TimedShutdown() {
    const auto start = std::chrono::steady_clock::now();
    engrave::ShutdownDialogThread();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  }

  InProcessHost host_;
  std::shared_ptr<GatedScript> user_ = std::make_shared<GatedScript>();
  std::string log_;
  std::string picture_;
};

TEST_F(DialogThreadTest, ConfigWhileTheDialogIsOpenDoesNothing) {
  Config();
  user_->Push("file " + picture_);
  ASSERT_TRUE(WaitForLog(log_, {"dialog", "4021", "open"}));
  engrave::EngraveSetup* open = engrave::CurrentEngraveSetup.load();
  ASSERT_NE(open, nullptr);

  Config();
  Config();
  Update();

  EXPECT_EQ(engrave::CurrentEngraveSetup.load(), open);
  EXPECT_TRUE(engrave::DialogThreadRunning());
  user_->Push("key Escape");
  ASSERT_TRUE(host_.WaitForDialogEnd());
  EXPECT_EQ(Count({"filedialog"}), 1);
  EXPECT_EQ(Count({"dialog", "4021", "open"}), 1);
  EXPECT_EQ(engrave::CurrentEngraveSetup.load(), nullptr);
  EXPECT_EQ(engrave::CurrentEngraveThread.load(), nullptr);
}

TEST_F(DialogThreadTest, ConfigRightAfterConfigStartsOnlyOneDialog) {
  // The second call comes before the first thread has even created its dialog.
  Config();
  Config();
  user_->Push("file-cancel");
  user_->Push("key Escape");
  ASSERT_TRUE(host_.WaitForDialogEnd());
  EXPECT_EQ(Count({"filedialog"}), 1);
}

TEST_F(DialogThreadTest, ShutdownEndsAnOpenDialogAsCancelled) {
  Config();
  user_->Push("file " + picture_);
  ASSERT_TRUE(WaitForLog(log_, {"dialog", "4021", "open"}));

  EXPECT_LT(TimedShutdown(), std::chrono::seconds(2));
  EXPECT_FALSE(engrave::DialogThreadRunning());
  EXPECT_EQ(Count({"dialog", "4021", "close", "cancel"}), 1);
}

TEST_F(DialogThreadTest, ShutdownWhileTheFileDialogWaitsOpensNoDialog) {
  Config();
  ASSERT_TRUE(WaitForLog(log_, {"filedialog"}));

  EXPECT_LT(TimedShutdown(), std::chrono::seconds(2));
  EXPECT_FALSE(engrave::DialogThreadRunning());
  EXPECT_EQ(Count({"dialog", "4021", "open"}), 0);
}

TEST_F(DialogThreadTest, ShutdownDuringTheConfirmationArmsNothing) {
  Config();
  user_->Push("file " + picture_);
  user_->Push("click 1");
  ASSERT_TRUE(WaitForLog(log_, {"dialog", "4022", "open"}));

  EXPECT_LT(TimedShutdown(), std::chrono::seconds(2));
  Update();
  EXPECT_EQ(Count({"dialog", "4022", "close", "cancel"}), 1);
  EXPECT_EQ(Count({"dialog", "4021", "close", "cancel"}), 1);
  EXPECT_EQ(plugin::SequenceState(), 0);
}

TEST_F(DialogThreadTest, StopPlugWithADialogOpenEndsTheDialogFirst) {
  Config();
  user_->Push("file " + picture_);
  ASSERT_TRUE(WaitForLog(log_, {"dialog", "4021", "open"}));

  StopPlug();
  EXPECT_FALSE(engrave::DialogThreadRunning());
  EXPECT_EQ(Count({"dialog", "4021", "close", "cancel"}), 1);
}

TEST_F(DialogThreadTest, ArmingWhileTheHostTicksPublishesTheZeroedScanFirst) {
  engrave::gParameters.ScanY = 5.0;
  engrave::gParameters.ScanXTarget = 10.0;
  Config();
  user_->Push("file " + picture_);
  user_->Push("click 1");
  user_->Push("click 6");
  // The host thread ticks all the while; the first tick that sees Armed must see the zeroes.
  double scanYWhenArmed = -1.0;
  ASSERT_TRUE(host_.TickUntil([&] {
    if (plugin::SequenceState() != 1) return false;
    scanYWhenArmed = engrave::gParameters.ScanY;
    return true;
  }));
  EXPECT_EQ(scanYWhenArmed, 0.0);
  EXPECT_EQ(engrave::gParameters.ScanXTarget, 0.0);
  ASSERT_TRUE(host_.WaitForDialogEnd());
  Reset();
}

}  // namespace

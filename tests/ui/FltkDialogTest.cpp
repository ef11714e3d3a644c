// The real FLTK dialogs on a private Xvfb server: scripted actions injected into the widgets,
// the preview on screen, message boxes from both threads, and a clean end while the file
// chooser waits for a person.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "GatedScript.h"
#include "GrayBitmap.h"
#include "InProcessHost.h"
#include "Xvfb.h"
#include "engrave/DialogResources.h"
#include "engrave/EngraveThread.h"
#include "plugin/PluginServices.h"
#include "ui/DialogResource.h"
#include "ui/Script.h"
#include "ui/Ui.h"

namespace {

constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;

// One server for the whole test program: FLTK keeps its display connection for the process.
XvfbServer& Server() {
  static XvfbServer server;
  return server;
}

struct Screenshot {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  int Brightness(int x, int y) const {
    const uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
    return (p[0] + p[1] + p[2]) / 3;
  }
};

// Reads a binary PPM as ImageMagick's import writes it.
bool ReadPpm(const std::string& path, Screenshot& shot) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int maxValue = 0;
  in >> magic >> shot.width >> shot.height >> maxValue;
  in.get();
  if (magic != "P6" || maxValue != 255) return false;
  shot.rgb.resize(size_t(shot.width) * shot.height * 3);
  in.read(reinterpret_cast<char*>(shot.rgb.data()), std::streamsize(shot.rgb.size()));
  return bool(in);
}

class FltkDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(Server().running()) << "Xvfb did not start";
    setenv("DISPLAY", Server().display().c_str(), 1);
    setenv("ENGRAVING_UI", "fltk", 1);
    log_ = host_.dir.File("ui.log");
    setenv("ENGRAVING_UI_LOG", log_.c_str(), 1);
    unsetenv("ENGRAVING_UI_SCRIPT");
    picture_ = host_.dir.File("picture.bmp");
    ASSERT_TRUE(WriteGrayBitmap(picture_, 40, 30, [](int x, int) { return x < 20 ? 0 : 255; }));
  }
  void TearDown() override {
    engrave::ShutdownDialogThread();
    ui::SetActionSourceForTesting(nullptr);
    unsetenv("ENGRAVING_UI_SCRIPT");
    unsetenv("ENGRAVING_UI_LOG");
  }

  void UseScriptFile(const std::string& text) {
    const std::string path = host_.dir.File("answers.script");
    WriteFileText(path, text);
    setenv("ENGRAVING_UI_SCRIPT", path.c_str(), 1);
  }
  std::shared_ptr<GatedScript> UseGatedUser() {
    auto user = std::make_shared<GatedScript>();
    ui::SetActionSourceForTesting(user);
    return user;
  }
  bool Logged(const std::vector<std::string>& fields) const { return LogHas(log_, fields); }

  InProcessHost host_;
  std::string log_;
  std::string picture_;
};

TEST_F(FltkDialogTest, ScriptedActionsDriveTheRealWidgetsUpToArming) {
  UseScriptFile("file " + picture_ + "\nset 4165 12\nclick 4178\nkey Enter\nclick 6\n");
  Config();
  ASSERT_TRUE(host_.WaitForDialogEnd());

  EXPECT_TRUE(Logged({"filedialog", "Jpeg|*.jpg|Bitmap|*.bmp|Png files|*.png", "*.jpg", "JPegs"}));
  EXPECT_TRUE(Logged({"show", "4180", "40"}));    // the chooser's answer was loaded
  EXPECT_TRUE(Logged({"show", "4184", "1200"}));  // the typed width was recalculated
  EXPECT_TRUE(Logged({"dialog", "4022", "close", "ok"}));
  EXPECT_TRUE(Logged({"dialog", "4021", "close", "ok"}));
  EXPECT_EQ(plugin::SequenceState(), 1);
  EXPECT_EQ(host_.motion.StatusLine, "Press Cycle Start to begin scanning Seq.");
  Reset();
}

TEST_F(FltkDialogTest, CheckSetsARealBoxAndRunsItsHandlerOnlyOnAChange) {
  UseScriptFile("file " + picture_ + "\ncheck 4189 1\ncheck 4189 1\ncheck 4187 0\nkey Escape\n");
  Config();
  ASSERT_TRUE(host_.WaitForDialogEnd());

  int ticked = 0;
  for (const auto& line : ReadUiLog(log_))
    ticked += line == std::vector<std::string>{"show", "4189", "1"};
  EXPECT_EQ(ticked, 1);  // one recalculation: the second check and the unticked box changed nothing
  EXPECT_FALSE(Logged({"show", "4187", "1"}));
}

TEST_F(FltkDialogTest, MessageBoxesOnTheDialogThreadAreAcknowledged) {
  const std::string notes = host_.dir.File("notes.txt");
  WriteFileText(notes, "no picture");
  UseScriptFile("file " + notes + "\nset 4165 abc\nclick 4178\nkey Escape\n");
  Config();
  ASSERT_TRUE(host_.WaitForDialogEnd());

  EXPECT_TRUE(Logged({"message", plugin::ModuleName(), "Image load error!"}));
  EXPECT_TRUE(Logged({"message", plugin::ModuleName(), "Please enter a number."}));
  EXPECT_TRUE(Logged({"dialog", "4021", "close", "cancel"}));
}

TEST_F(FltkDialogTest, PreviewShowsTheLoadedPictureStretched) {
  std::shared_ptr<GatedScript> user = UseGatedUser();
  Config();
  user->Push("file " + picture_);
  ASSERT_TRUE(WaitForLog(log_, {"dialog", "4021", "open"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let it draw

  const std::string shot = host_.dir.File("screen.ppm");
  const std::string capture =
      "import -display " + Server().display() + " -window root -depth 8 " + shot + " 2>/dev/null";
  const bool captured = std::system(capture.c_str()) == 0;
  user->Push("key Escape");
  ASSERT_TRUE(host_.WaitForDialogEnd());
  if (!captured) GTEST_SKIP() << "ImageMagick's import is not available";

  Screenshot screen;
  ASSERT_TRUE(ReadPpm(shot, screen));
  ASSERT_EQ(screen.width, kScreenWidth);
  // The dialog is centred; the preview frame is control 4179 at 7, 7, 309 x 278 dialog units.
  const int left = (kScreenWidth - ui::HorizontalPixels(470)) / 2 + ui::HorizontalPixels(7);
  const int top = (kScreenHeight - ui::VerticalPixels(292)) / 2 + ui::VerticalPixels(7);
  const int width = ui::HorizontalPixels(309), height = ui::VerticalPixels(278);
  EXPECT_LT(screen.Brightness(left + width / 4, top + height / 2), 40);       // black half
  EXPECT_GT(screen.Brightness(left + 3 * width / 4, top + height / 2), 215);  // white half
  // Beside the preview: the dialog's own background, so it really is the dialog there.
  const int dialogBackground = screen.Brightness(left + width + 20, top + height / 2);
  EXPECT_GT(dialogBackground, 150);
  EXPECT_LT(dialogBackground, 240);
  if (const char* keep = std::getenv("ENGRAVING_KEEP_SCREENSHOT"))
    std::system(("cp " + shot + " " + keep).c_str());
}

// The preview's toggle on screen: a white picture engraved inverted fires nothing, so the
// frame turns black once "Show engraving" is ticked; a snapshot writes the same view.
TEST_F(FltkDialogTest, ThePreviewFrameShowsTheEngravingOnScreen) {
  const std::string white = host_.dir.File("white.bmp");
  ASSERT_TRUE(WriteGrayBitmap(white, 40, 30, [](int, int) { return 255; }));
  const std::string snapshot = host_.dir.File("view.png");
  std::shared_ptr<GatedScript> user = UseGatedUser();
  Config();
  user->Push("file " + white);
  user->Push("check 4187 1");
  user->Push("check 4190 1");
  user->Push("snapshot 4179 " + snapshot);
  ASSERT_TRUE(WaitForLog(log_, {"snapshot", "4179", snapshot, "ok"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let it draw

  const std::string shot = host_.dir.File("screen.ppm");
  const bool captured = std::system(("import -display " + Server().display() +
                                     " -window root -depth 8 " + shot + " 2>/dev/null")
                                        .c_str()) == 0;
  user->Push("check 4190 0");  // the choice lasts for the run: leave it as the other tests expect
  user->Push("key Escape");
  ASSERT_TRUE(host_.WaitForDialogEnd());
  if (!captured) GTEST_SKIP() << "ImageMagick's import is not available";

  Screenshot screen;
  ASSERT_TRUE(ReadPpm(shot, screen));
  const ui::DialogResource& dialog = engrave::SetupDialogResource();
  const int left =
      (kScreenWidth - ui::HorizontalPixels(dialog.width)) / 2 + ui::HorizontalPixels(7);
  const int top = (kScreenHeight - ui::VerticalPixels(dialog.height)) / 2 + ui::VerticalPixels(7);
  const int width = ui::HorizontalPixels(309), height = ui::VerticalPixels(278);
  EXPECT_LT(screen.Brightness(left + width / 2, top + height / 2), 20);
  EXPECT_LT(screen.Brightness(left + width / 4, top + height / 4), 20);
}

// Run by scripts/screenshot.sh (with --gtest_also_run_disabled_tests) to picture the dialog
// for the documentation: the built-in sample loaded on a coarse line (3 steps per column), the
// engraving shown with its time and the hint, the screen written to ENGRAVING_SCREENSHOT.
TEST_F(FltkDialogTest, DISABLED_ScreenshotForTheDocs) {
  const char* target = std::getenv("ENGRAVING_SCREENSHOT");
  ASSERT_NE(target, nullptr) << "set ENGRAVING_SCREENSHOT to the PNG to write";
  const std::string sample = host_.dir.File("sample.png");
  ASSERT_EQ(std::system((std::string(ENGRAVING_HOST_SIM_PATH) + " sample " + sample).c_str()), 0);
  std::shared_ptr<GatedScript> user = UseGatedUser();
  Config();
  user->Push("file " + sample);
  user->Push("set 4167 0.05");
  user->Push("set 4165 3");
  user->Push("click 4188");
  user->Push("check 4190 1");
  ASSERT_TRUE(WaitForLog(log_, {"show", "4190", "1"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  const ui::DialogResource& dialog = engrave::SetupDialogResource();
  const int width = ui::HorizontalPixels(dialog.width), height = ui::VerticalPixels(dialog.height);
  const int x = (kScreenWidth - width) / 2;
  const int y = (kScreenHeight - height) / 2;
  const std::string crop = std::to_string(width) + "x" + std::to_string(height) + "+" +
                           std::to_string(x) + "+" + std::to_string(y);
  const std::string capture = "import -display " + Server().display() + " -window root -crop " +
                              crop + " +repage " + target;
  const int captured = std::system(capture.c_str());
  user->Push("check 4190 0");
  user->Push("key Escape");
  ASSERT_TRUE(host_.WaitForDialogEnd());
  EXPECT_EQ(captured, 0);
}

TEST_F(FltkDialogTest, HostThreadMessageWhileTheDialogIsOpenIsShownByTheDialogThread) {
  std::shared_ptr<GatedScript> user = UseGatedUser();
  Config();
  user->Push("file-cancel");
  ASSERT_TRUE(WaitForLog(log_, {"dialog", "4021", "open"}));

  host_.driver->PrinterPortActive = 0;
  Notify(InProcessHost::kMenuCommand);  // refused on the host thread with a message box

  EXPECT_TRUE(Logged({"message", plugin::ModuleName(), "Printer Port operation only!"}));
  EXPECT_TRUE(engrave::DialogThreadRunning());
  user->Push("key Escape");
  ASSERT_TRUE(host_.WaitForDialogEnd());
}

TEST_F(FltkDialogTest, HostThreadMessageWithoutADialogUsesAShortLivedUiThread) {
  UseGatedUser();  // a scripted user acknowledges the box
  host_.driver->PrinterPortActive = 0;
  Notify(InProcessHost::kMenuCommand);

  EXPECT_TRUE(Logged({"message", plugin::ModuleName(), "Printer Port operation only!"}));
  EXPECT_FALSE(engrave::DialogThreadRunning());
}

TEST_F(FltkDialogTest, ShutdownEndsTheRealFileChooserThatWaitsForAPerson) {
  Config();  // no script: the chooser waits for someone to pick a file
  ASSERT_TRUE(WaitForLog(log_, {"filedialog"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  const auto start = std::chrono::steady_clock::now();
  engrave::ShutdownDialogThread();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_FALSE(engrave::DialogThreadRunning());
  EXPECT_FALSE(Logged({"dialog", "4021", "open"}));
}

TEST_F(FltkDialogTest, ShutdownEndsAMessageBoxStackedOnTheFileChooser) {
  Config();  // no script: the chooser waits for a person
  ASSERT_TRUE(WaitForLog(log_, {"filedialog"}));
  // A host call refused with a message box, which the dialog thread shows over the chooser;
  // the calling thread waits for its acknowledgement.
  host_.driver->PrinterPortActive = 0;
  std::thread refused([] { Notify(InProcessHost::kMenuCommand); });
  ASSERT_TRUE(WaitForLog(log_, {"message", plugin::ModuleName(), "Printer Port operation only!"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  // As an unload from another thread would: everything closes, and the waiting caller returns.
  const auto start = std::chrono::steady_clock::now();
  engrave::ShutdownDialogThread();
  refused.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_FALSE(engrave::DialogThreadRunning());
}

}  // namespace

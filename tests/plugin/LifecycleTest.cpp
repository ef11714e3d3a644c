#include <gtest/gtest.h>

#include <cstring>

#include "TempDir.h"
#include "TestHost.h"
#include "UiLog.h"

namespace {

class LifecycleTest : public ::testing::Test {
 protected:
  TempDir dir;
  UiLog ui{dir};
  std::string profile = dir.File("profile.xml");
  TestHost host;
};

TEST_F(LifecycleTest, StartUpAddsTheMenuAndNamesThePlugin) {
  host.RegisterCallbacks();
  EXPECT_EQ(host.InitControl(), 1);
  EXPECT_EQ(host.menuRangeCalls, 1);
  EXPECT_EQ(host.SetProName(profile), "Engraving Tarvex Engraving Version 2.00.075");
  host.PostInitControl();
  ASSERT_EQ(host.menu.bar.size(), 1u);
  const TestMenuBar::Popup& popup = host.menu.popups[host.menu.bar[0]];
  EXPECT_EQ(popup.title, "&Tarvex/Laser Engraving");
  ASSERT_EQ(popup.items.size(), 1u);
  EXPECT_EQ(popup.items[0], (std::pair<int, std::string>{100, "&Engrave Photo"}));
  EXPECT_TRUE(ui.Messages().empty());
}

TEST_F(LifecycleTest, TheDisplayNameDoesNotDependOnTheProfile) {
  host.RegisterCallbacks();
  host.InitControl();
  const std::string first = host.SetProName(profile);
  EXPECT_EQ(host.SetProName(""), first);
  EXPECT_EQ(host.SetProName(dir.File("other.xml")), first);
}

TEST_F(LifecycleTest, SetProNameCreatesAMissingProfileWithAnEmptyRoot) {
  host.SetProName(profile);
  std::string text = ReadFileText(profile);
  EXPECT_NE(text.find("<profile/>"), std::string::npos);
}

TEST_F(LifecycleTest, WithoutAMenuIdentifierNoMenuIsAddedAndNothingIsLoadedOrSaved) {
  host.menuRangeAnswer = -1;
  WriteFileText(profile, "<profile><Engraving><Width>33</Width></Engraving></profile>");
  host.RegisterCallbacks();
  EXPECT_EQ(host.InitControl(), 1);
  host.SetProName(profile);
  host.PostInitControl();
  EXPECT_TRUE(host.menu.bar.empty());
  EXPECT_EQ(ui.Messages(), std::vector<std::string>{" Error in Adding Menus "});
  host.StopPlug();
  // Settings that were never loaded must not replace the stored ones.
  EXPECT_NE(ReadFileText(profile).find("<Width>33</Width>"), std::string::npos);
  EXPECT_EQ(ReadFileText(profile).find("<Length>"), std::string::npos);
}

TEST_F(LifecycleTest, AHostWithoutAMenuBarStillLoadsTheSettings) {
  host.menu.hasMenuBar = false;
  WriteFileText(profile, "<profile><Engraving><Width>33</Width></Engraving></profile>");
  host.StartUp(profile);
  host.StopPlug();
  EXPECT_NE(ReadFileText(profile).find("<Width>33.</Width>"), std::string::npos);
}

TEST_F(LifecycleTest, EntryPointsBeforeInitControlAndAfterStopPlugDoNothing) {
  host.RegisterCallbacks();
  host.motion.LineDone = 1;
  host.motion.StatusLine = "host";
  host.control.TriggerMode = 7;
  auto callEverything = [&] {
    host.Update();
    host.Notify(-1);
    host.Notify(100);
    host.Reset();
    host.Config();
  };
  callEverything();
  host.InitControl();
  host.SetProName(profile);
  host.PostInitControl();
  host.StopPlug();
  callEverything();
  EXPECT_EQ(host.motion.StatusLine, "host");
  EXPECT_EQ(host.control.TriggerMode, 7);
  EXPECT_TRUE(host.code.empty());
  EXPECT_TRUE(ui.Messages().empty());
  EXPECT_EQ(host.Entry<int32_t (*)()>("DllCanUnloadNow")(), 0);
}

TEST_F(LifecycleTest, CancelWhileIdleChangesNothing) {
  host.StartUp(profile);
  host.control.TriggerMode = 5;
  host.motion.StatusLine = "ready";
  host.Notify(-1);
  host.Reset();
  EXPECT_EQ(host.control.TriggerMode, 5);
  EXPECT_EQ(host.motion.StatusLine, "ready");
  EXPECT_TRUE(ui.Messages().empty());
}

TEST_F(LifecycleTest, StopPlugSavesTheLoadedSettingsInStoredForm) {
  WriteFileText(profile,
                "<profile><Host>keep</Host><Engraving><Width>12.3456</Width><Inverse>2</Inverse>"
                "</Engraving></profile>");
  host.StartUp(profile);
  host.StopPlug();
  const std::string saved = ReadFileText(profile);
  EXPECT_NE(saved.find("<Host>keep</Host><Engraving><Width>12.35</Width><Inverse>0</Inverse>"
                       "<YStepOver>0.1</YStepOver><Length>8.</Length><FeedRate>100.</FeedRate>"
                       "<MaintainAspectRatio>0</MaintainAspectRatio></Engraving>"),
            std::string::npos)
      << saved;
}

TEST_F(LifecycleTest, IgnoredEntriesHaveNoEffect) {
  host.StartUp(profile);
  const ControlState control = host.control;
  const std::string status = host.motion.StatusLine;
  std::vector<uint32_t> bits(host.driver->TriggerBits,
                             host.driver->TriggerBits + kTriggerWordCount);
  host.Entry<void (*)(double)>("DoDwell")(2.5);
  host.Entry<void (*)(int16_t, int16_t, double)>("JogOn")(1, -1, 30.0);
  host.Entry<void (*)(int16_t)>("JogOff")(1);
  host.Entry<void (*)(int16_t)>("Purge")(3);
  host.Entry<void (*)()>("Probe")();
  host.Entry<void (*)(int16_t)>("Home")(2);
  EXPECT_EQ(std::memcmp(&control, &host.control, sizeof control), 0);
  EXPECT_EQ(host.motion.StatusLine, status);
  EXPECT_TRUE(std::equal(bits.begin(), bits.end(), host.driver->TriggerBits));
  EXPECT_TRUE(host.code.empty());
  EXPECT_TRUE(ui.Messages().empty());
}

TEST_F(LifecycleTest, SelfRegistrationHasNothingToRegister) {
  EXPECT_EQ(host.Entry<int32_t (*)()>("DllRegisterServer")(), 0);
  EXPECT_EQ(host.Entry<int32_t (*)()>("DllUnregisterServer")(), 0);
  void* object = &host;
  EXPECT_EQ(uint32_t(host.Entry<int32_t (*)(const void*, const void*, void**)>("DllGetClassObject")(
                nullptr, nullptr, &object)),
            0x80040111u);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(host.Entry<int32_t (*)()>("DllCanUnloadNow")(), 0);
}

}  // namespace

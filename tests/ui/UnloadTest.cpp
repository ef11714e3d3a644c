// Unloading the plug-in while its real dialog waits for a person: the dialog thread must end
// before the module's code goes, without a crash and without a hang, and the plug-in must load
// and show its dialog again afterwards.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "TempDir.h"
#include "TestHost.h"
#include "Xvfb.h"

namespace {

bool WaitForLogLine(const std::string& path, const std::string& prefix) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    std::istringstream lines(ReadFileText(path));
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(prefix, 0) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(Unload, WithTheRealDialogWaitingEndsItsThreadAndLoadsAgain) {
  if (!XvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  XvfbServer server;
  ASSERT_TRUE(server.running());
  TempDir dir;
  const std::string log = dir.File("ui.log");
  setenv("DISPLAY", server.display().c_str(), 1);
  setenv("ENGRAVING_UI", "fltk", 1);
  setenv("ENGRAVING_UI_LOG", log.c_str(), 1);
  unsetenv("ENGRAVING_UI_SCRIPT");

  {
    auto host = std::make_unique<TestHost>();
    host->MakeReadyForEngraving();
    host->StartUp(dir.File("profile.xml"));
    host->Config();  // the file chooser now waits for someone
    ASSERT_TRUE(WaitForLogLine(log, "filedialog\t"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(host->Entry<int32_t (*)()>("DllCanUnloadNow")(), 1);

    const auto start = std::chrono::steady_clock::now();
    host.reset();  // dlclose without StopPlug
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }

  // Loaded again, the plug-in runs a scripted dialog through to its end.
  const std::string script = dir.File("answers.script");
  WriteFileText(script, "file-cancel\nkey Escape\n");
  setenv("ENGRAVING_UI_SCRIPT", script.c_str(), 1);
  TestHost again;
  again.MakeReadyForEngraving();
  again.StartUp(dir.File("profile.xml"));
  again.Config();
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (again.Entry<int32_t (*)()>("DllCanUnloadNow")() != 0 &&
         std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::istringstream lines(ReadFileText(log));
  int closed = 0;
  for (std::string line; std::getline(lines, line);)
    closed += line == "dialog\t4021\tclose\tcancel";
  EXPECT_EQ(closed, 1);
  again.StopPlug();
}

}  // namespace

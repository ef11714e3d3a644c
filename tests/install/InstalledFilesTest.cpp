// The installed layout, run as users run it: this build installed into a staging folder
// (DESTDIR), its programs started from there. They must find their private files without
// options, report the version, document every option they take, and the simulator example
// must not need the tests' instrument.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "TempDir.h"
#include "tests/hostsim/HostSimSupport.h"

namespace {

namespace fs = std::filesystem;

class StagedInstall : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    stage_ = new TempDir;
    installed_ = RunCommand("DESTDIR='" + stage_->Path().string() +
                            "' '" ENGRAVING_CMAKE "' --install '" ENGRAVING_BINARY_DIR "' 2>&1");
  }
  static void TearDownTestSuite() {
    delete stage_;
    stage_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(installed_.exitCode, 0) << installed_.out; }

  // A path under the install prefix, in the staging folder.
  static std::string Installed(const std::string& relative) {
    return (stage_->Path() / fs::path(ENGRAVING_INSTALL_PREFIX).relative_path() / relative)
        .string();
  }
  static std::vector<std::string> Programs() {
    std::vector<std::string> programs = {"host-sim"};
    if (ENGRAVING_HAVE_LINUXCNC) programs.push_back("engrave-lcnc");
    return programs;
  }

  static TempDir* stage_;
  static Outcome installed_;
};
TempDir* StagedInstall::stage_ = nullptr;
Outcome StagedInstall::installed_;

TEST_F(StagedInstall, ProgramsFindTheirFilesInThePrivateFolder) {
  EXPECT_FALSE(fs::exists(Installed(ENGRAVING_BINDIR "/Engraving.so")));
  const Outcome run = RunCommand("'" + Installed(ENGRAVING_BINDIR "/host-sim") + "' run 2>&1");
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("loaded: " + Installed(ENGRAVING_PRIVATE_DIR "/Engraving.so") + "\n"),
            std::string::npos)
      << run.out;
  if (ENGRAVING_HAVE_LINUXCNC) {
    EXPECT_TRUE(fs::exists(Installed(ENGRAVING_PRIVATE_DIR "/engrave-lcnc-window")));
  }
}

TEST_F(StagedInstall, ProgramsReportTheVersion) {
  for (const std::string& program : Programs()) {
    const Outcome version =
        RunCommand("'" + Installed(ENGRAVING_BINDIR "/" + program) + "' --version");
    EXPECT_EQ(version.exitCode, 0) << program;
    EXPECT_EQ(version.out, program + " " ENGRAVING_VERSION_TEXT "\n");
  }
}

// Every option a program's usage names has its entry in the program's man page: a bold line
// (.B, .BI, .BR) that starts with it.
TEST_F(StagedInstall, ManPagesDocumentEveryOption) {
  const std::regex option(R"(^  (-{1,2}[a-z][a-z0-9-]*))");
  for (const std::string& program : Programs()) {
    std::string entries;  // the bold lines' words, each line as " word word \n"
    for (const std::string& line :
         Lines(ReadFileText(Installed("share/man/man1/" + program + ".1")))) {
      const size_t space = line.find(' ');
      if (line.rfind(".B", 0) == 0 && space != std::string::npos)
        entries += line.substr(space) + " \n";
    }
    ASSERT_FALSE(entries.empty()) << program << ".1";
    const Outcome usage = RunCommand("'" + Installed(ENGRAVING_BINDIR "/" + program) + "' --help");
    int options = 0;
    for (const std::string& line : Lines(usage.out)) {
      std::smatch match;
      if (!std::regex_search(line, match, option)) continue;
      ++options;
      // In roff every '-' of an option is written "\-".
      const std::string name = std::regex_replace(match[1].str(), std::regex("-"), "\\-");
      EXPECT_NE(entries.find(" " + name + " "), std::string::npos)
          << program << ".1 lacks " << match[1];
    }
    EXPECT_GT(options, 10) << usage.out;
  }
  if (ENGRAVING_HAVE_LINUXCNC) {
    const std::string component = ReadFileText(Installed("share/man/man9/engrave_trigger.9"));
    EXPECT_NE(component.find("engrave-trigger.fire"), std::string::npos);
  }
}

// The simulator as users copy it: no line names the instrument the tests measure it with, and
// every file its INI files name is there.
TEST_F(StagedInstall, SimulatorExampleIsWholeWithoutTheTestInstrument) {
  if (!ENGRAVING_HAVE_LINUXCNC) GTEST_SKIP() << "built without LinuxCNC";
  const fs::path example = Installed(ENGRAVING_DOC_DIR "/examples/sim");
  ASSERT_TRUE(fs::exists(example / "engrave-sim.ini"));
  const std::regex named(R"(^(HALFILE|POSTGUI_HALFILE|SHUTDOWN|PARAMETER_FILE|TOOL_TABLE|)"
                         R"(OPEN_FILE|APP) = (\./)?([^ ]+))");
  int files = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(example)) {
    const std::string text = ReadFileText(entry.path().string());
    EXPECT_EQ(text.find("fire_watch"), std::string::npos) << entry.path();
    EXPECT_EQ(text.find("fire-watch"), std::string::npos) << entry.path();
    if (entry.path().extension() != ".ini") continue;
    for (const std::string& line : Lines(text)) {
      std::smatch match;
      if (!std::regex_search(line, match, named)) continue;
      const std::string file = match[3];
      if (match[1] == "APP" && match[2].length() == 0) continue;  // a program on the PATH
      ++files;
      EXPECT_TRUE(fs::exists(example / file)) << entry.path().filename() << " names " << file;
    }
  }
  EXPECT_GT(files, 5);
  EXPECT_NE(fs::status(example / "record-fire.sh").permissions() & fs::perms::owner_exec,
            fs::perms::none);
}

}  // namespace

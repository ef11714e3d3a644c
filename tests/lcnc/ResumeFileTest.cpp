// The resume file apart from LinuxCNC: what it keeps and how safely, where resuming goes on
// from it and from the trigger component's record, and the dialog's answers it gives back.
#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"
#include "lcnc/ResumeFile.h"
#include "lcnc/ResumeJournal.h"

namespace {

using lcnc::ComponentRecord;
using lcnc::ResumePlan;
using lcnc::ResumeRecord;

ResumeRecord Interrupted(long line, long fired, bool running, uint32_t job = 77) {
  ResumeRecord record;
  record.job = job;
  record.picture = "/pictures/a photo.jpg";
  record.pictureBytes = 1234;
  record.pictureHash = 0xfedcba9876543210ull;
  record.stepsPerUnitX = 1000.0;
  record.stepsPerUnitY = 0.1 + 0.2;  // kept to the last bit
  record.fields = {{4165, "100"}, {4164, "0.25"}, {4189, "1"}, {4186, "0"}, {4184, "100000"}};
  record.lines = 3;
  record.line = line;
  record.fired = fired;
  record.running = running;
  return record;
}

TEST(ResumeFileTest, KeepsTheRecordWholeAndRefusesAnythingElse) {
  TempDir dir;
  const std::string path = lcnc::ResumePath(dir.File("profile.xml"));
  EXPECT_EQ(path, dir.File("profile.xml.resume"));
  std::string error;
  EXPECT_FALSE(lcnc::ReadResumeFile(path, &error));
  EXPECT_EQ(error, "") << "no file is nothing to resume, not a failure";

  ASSERT_TRUE(lcnc::WriteResumeFile(path, Interrupted(2, 41234, true), &error)) << error;
  ASSERT_TRUE(lcnc::WriteResumeFile(path, Interrupted(2, 51234, false), &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));
  const std::optional<ResumeRecord> read = lcnc::ReadResumeFile(path, &error);
  ASSERT_TRUE(read) << error;
  const ResumeRecord expected = Interrupted(2, 51234, false);
  EXPECT_EQ(read->job, expected.job);
  EXPECT_EQ(read->picture, expected.picture);
  EXPECT_EQ(read->pictureBytes, expected.pictureBytes);
  EXPECT_EQ(read->pictureHash, expected.pictureHash);
  EXPECT_EQ(read->stepsPerUnitY, expected.stepsPerUnitY);
  EXPECT_EQ(read->fields, expected.fields);
  EXPECT_EQ(read->line, 2);
  EXPECT_EQ(read->fired, 51234);
  EXPECT_FALSE(read->running);

  // A record cut short, or holding what no record holds, is refused with a reason.
  const std::string whole = ReadFileText(path);
  for (const std::string& damaged :
       {whole.substr(0, whole.size() / 2), whole.substr(0, whole.find("end\n")),
        std::string(whole).replace(whole.find("fired 51234"), 11, "fired x"),
        std::string(whole).replace(whole.find("line 2\n"), 7, "line 0\n")}) {
    WriteFileText(path, damaged);
    EXPECT_FALSE(lcnc::ReadResumeFile(path, &error));
    EXPECT_NE(error, "") << damaged;
  }
  ResumeRecord broken = Interrupted(2, 1, false);
  broken.picture = "two\nlines.jpg";
  EXPECT_FALSE(lcnc::WriteResumeFile(path, broken, &error));
}

TEST(ResumeFileTest, GoesOnAfterTheLastStepKnownToHaveFiredAndNeverFiresOneTwice) {
  struct Case {
    const char* what;
    ResumeRecord record;
    ComponentRecord component;
    long line, afterStep;
    bool guessed;  // the rule for a record that cannot tell
  } cases[] = {
      {"stopped, LinuxCNC restarted", Interrupted(2, 41234, false), {}, 2, 41234, false},
      {"stopped before the line fired", Interrupted(2, -1, false), {}, 2, -1, false},
      {"running, no component record: the line counts as engraved",
       Interrupted(2, 41234, true),
       {},
       3,
       -1,
       true},
      {"running, another engraving's component record",
       Interrupted(2, 41234, true),
       {5, 1, 50000},
       3,
       -1,
       true},
      {"running, the component's record of that line",
       Interrupted(2, 41234, true),
       {77, 1, 45001},
       2,
       45001,
       false},
      {"recorded ahead of a line the component never armed",
       Interrupted(3, -1, true),
       {77, 1, 48000},
       3,
       -1,
       false},
      {"a resumed line that fired nothing more",
       Interrupted(2, 41234, true),
       {77, 1, -1},
       2,
       41234,
       false},
      {"a record behind the component's", Interrupted(1, 100, true), {77, 1, 200}, 2, 200, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ResumePlan plan = lcnc::PlanResume(c.record, c.component);
    EXPECT_EQ(plan.line, c.line);
    EXPECT_EQ(plan.afterStep, c.afterStep);
    EXPECT_EQ(plan.note.empty(), !c.guessed) << plan.note;
    EXPECT_FALSE(plan.finished);
  }
  EXPECT_TRUE(lcnc::PlanResume(Interrupted(3, 5, true), {}).finished);
}

TEST(ResumeFileTest, TheDialogGetsTheRecordedSettingsBackAndAnyDifferenceIsNamed) {
  const ResumeRecord record = Interrupted(2, 10, false);
  EXPECT_EQ(lcnc::ComposeResumeScript(record, "/in/p.png", 2),
            "# the dialog's answers to go on with an interrupted engraving\n"
            "file /in/p.png\nset 4165 100\nset 4164 0.25\ncheck 4186 0\ncheck 4189 1\n"
            "set 4205 2\nclick 1\nclick 6\n");
  std::map<int, std::string> shown = record.fields;
  shown[4205] = "2";
  EXPECT_EQ(lcnc::SettingsDifference(record, shown), "");
  shown[4184] = "99999";
  EXPECT_EQ(lcnc::SettingsDifference(record, shown), "trigger-line-length 99999 (was 100000)");
  shown.erase(4189);
  EXPECT_EQ(lcnc::SettingsDifference(record, shown), "dither (not shown) (was 1)");
}

TEST(ResumeFileTest, TheJournalKeepsTheNewestRecordAndClearsItAtTheEnd) {
  TempDir dir;
  const std::string path = dir.File("p.xml.resume");
  lcnc::ResumeJournal journal(path);
  uint64_t last = 0;
  for (long fired = 0; fired < 200; ++fired) last = journal.Post(Interrupted(2, fired, true));
  journal.Flush();
  EXPECT_TRUE(journal.Written(last));
  std::string error;
  const std::optional<ResumeRecord> read = lcnc::ReadResumeFile(path, &error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(read->fired, 199);
  EXPECT_EQ(journal.error(), "");
  journal.Clear();
  journal.Flush();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(journal.latest());

  // A folder that is gone: the write fails, says why, and waits for nothing.
  lcnc::ResumeJournal lost(dir.File("gone/p.xml.resume"));
  lost.Post(Interrupted(1, -1, true));
  lost.Flush();
  EXPECT_NE(lost.error(), "");
}

}  // namespace

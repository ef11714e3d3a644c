// The script format and the field texts: what a scripted or typed answer turns into.
#include <gtest/gtest.h>

#include <cmath>

#include "engrave/EngraveSetup.h"
#include "ui/Script.h"

namespace {

using Kind = ui::ScriptAction::Kind;

ui::ScriptAction Parse(std::string_view line) {
  std::string error;
  const std::optional<ui::ScriptAction> action = ui::ParseScriptLine(line, &error);
  EXPECT_TRUE(action.has_value()) << line << ": " << error;
  return action.value_or(ui::ScriptAction{});
}

bool AnyAction(const ui::ScriptAction&) {
  return true;
}
bool FileAnswer(const ui::ScriptAction& action) {
  return action.IsFileAnswer();
}

TEST(ScriptLine, FileAndSetKeepTheRestOfTheLineWithItsBlanks) {
  EXPECT_EQ(Parse("file /tmp/my pictures/a b.jpg"),
            (ui::ScriptAction{Kind::kFile, 0, "/tmp/my pictures/a b.jpg"}));
  EXPECT_EQ(Parse("set 4165  12 mm"), (ui::ScriptAction{Kind::kSet, 4165, " 12 mm"}));
  EXPECT_EQ(Parse("set 4165 "), (ui::ScriptAction{Kind::kSet, 4165, ""}));
  EXPECT_EQ(Parse("set 4165"), (ui::ScriptAction{Kind::kSet, 4165, ""}));
}

TEST(ScriptLine, ClicksKeysAndClose) {
  EXPECT_EQ(Parse("click 6"), (ui::ScriptAction{Kind::kClick, 6, ""}));
  EXPECT_EQ(Parse("key Enter").kind, Kind::kKeyEnter);
  EXPECT_EQ(Parse("key Escape").kind, Kind::kKeyEscape);
  EXPECT_EQ(Parse("close").kind, Kind::kClose);
  EXPECT_EQ(Parse("file-cancel").kind, Kind::kFileCancel);
  EXPECT_EQ(Parse("click 4178\r").controlId, 4178);  // a script saved with CR LF
  EXPECT_EQ(Parse("check 4189 1"), (ui::ScriptAction{Kind::kCheck, 4189, "1"}));
  EXPECT_EQ(Parse("check 4187 0"), (ui::ScriptAction{Kind::kCheck, 4187, "0"}));
  EXPECT_EQ(Parse("snapshot 4179 /tmp/my view.png"),
            (ui::ScriptAction{Kind::kSnapshot, 4179, "/tmp/my view.png"}));
}

TEST(ScriptLine, BlankLinesAndCommentsAreSkippedWithoutComplaint) {
  for (std::string_view line : {"", "   ", "# click 1", "\t"}) {
    std::string error = "untouched";
    EXPECT_FALSE(ui::ParseScriptLine(line, &error).has_value()) << line;
    EXPECT_TRUE(error.empty()) << line;
  }
}

TEST(ScriptLine, MalformedLinesAreRefusedWithAReason) {
  for (std::string_view line : {"click", "click x", "click 1 2", "set abc 5", "key Tab", "press 1",
                                "close now", "file-cancel later", "check 4189", "check 4189 2",
                                "check x 1", "check 4189 1 0", "snapshot 4179", "snapshot x a"}) {
    std::string error;
    EXPECT_FALSE(ui::ParseScriptLine(line, &error).has_value()) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

TEST(ScriptText, ActionsAreConsumedInOrderAndMalformedLinesDropped) {
  ui::ScriptText script("file a.jpg\n# comment\nbogus line\nclick 1\n\nkey Enter\n");
  ui::ScriptAction action;
  ASSERT_EQ(script.Next(&AnyAction, action), ui::ActionSource::Reply::kAction);
  EXPECT_EQ(action.kind, Kind::kFile);
  ASSERT_EQ(script.Next(&AnyAction, action), ui::ActionSource::Reply::kAction);
  EXPECT_EQ(action, (ui::ScriptAction{Kind::kClick, 1, ""}));
  ASSERT_EQ(script.Next(&AnyAction, action), ui::ActionSource::Reply::kAction);
  EXPECT_EQ(action.kind, Kind::kKeyEnter);
  EXPECT_EQ(script.Next(&AnyAction, action), ui::ActionSource::Reply::kExhausted);
}

TEST(ScriptText, AnActionOfAnotherKindStaysForTheNextTaker) {
  // A file chooser facing "click 1" is cancelled, and the click goes to the dialog after it.
  ui::ScriptText script("click 1\n");
  ui::ScriptAction action;
  EXPECT_EQ(script.Next(&FileAnswer, action), ui::ActionSource::Reply::kNotAccepted);
  ASSERT_EQ(script.Next(&AnyAction, action), ui::ActionSource::Reply::kAction);
  EXPECT_EQ(action.controlId, 1);
}

TEST(FieldText, ReadsTheLeadingDecimalNumber) {
  EXPECT_EQ(engrave::ParseFieldReal("12.5"), 12.5);
  EXPECT_EQ(engrave::ParseFieldReal("  7.5mm"), 7.5);
  EXPECT_EQ(engrave::ParseFieldReal("-3"), -3.0);
  EXPECT_EQ(engrave::ParseFieldReal("+.25"), 0.25);
  EXPECT_EQ(engrave::ParseFieldReal("1e2x"), 100.0);
  EXPECT_EQ(engrave::ParseFieldReal("8."), 8.0);
}

TEST(FieldText, RefusesTextThatIsNoFiniteDecimalNumber) {
  for (std::string_view text :
       {"", "abc", "  ", ".", "-", "x12", "nan", "inf", "-infinity", "1e999", "--1"}) {
    EXPECT_FALSE(engrave::ParseFieldReal(text).has_value()) << text;
  }
}

TEST(FieldText, ReadsTheLeadingIntegerWithinRange) {
  EXPECT_EQ(engrave::ParseFieldInteger(" 20000"), 20000);
  EXPECT_EQ(engrave::ParseFieldInteger("1024000 bits"), 1024000);
  EXPECT_EQ(engrave::ParseFieldInteger("12.9"), 12);
  EXPECT_EQ(engrave::ParseFieldInteger("-5"), -5);
  for (std::string_view text : {"", "x1", "+", "99999999999", "-99999999999"})
    EXPECT_FALSE(engrave::ParseFieldInteger(text).has_value()) << text;
}

TEST(FieldText, ShowsUpTo15SignificantDigitsInTheShortestForm) {
  EXPECT_EQ(engrave::FormatFieldReal(10.0), "10");
  EXPECT_EQ(engrave::FormatFieldReal(7.5), "7.5");
  EXPECT_EQ(engrave::FormatFieldReal(0.1), "0.1");
  EXPECT_EQ(engrave::FormatFieldReal(0.1 + 0.2), "0.3");  // 0.30000000000000004 at 17 digits
  EXPECT_EQ(engrave::FormatFieldReal(1.0 / 3.0), "0.333333333333333");
  EXPECT_EQ(engrave::FormatFieldReal(1e20), "1e+20");
  EXPECT_EQ(engrave::FormatFieldReal(0.0), "0");
}

}  // namespace

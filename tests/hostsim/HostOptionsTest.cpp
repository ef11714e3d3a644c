// The answers host-sim and engrave-lcnc compose for the dialog: without the new options they are
// the ones every run gave before, word for word; with them, the boxes are set, not toggled.
#include <gtest/gtest.h>

#include "host/HostOptions.h"

namespace {

host::Options Parsed(const std::vector<std::string>& args) {
  host::Options options;
  std::string error;
  EXPECT_TRUE(host::ParseOptions(args, host::Program::kHostSim, options, &error)) << error;
  return options;
}

TEST(ComposedAnswers, WithoutTheModesTheyAreAsBefore) {
  EXPECT_EQ(host::ComposeScript(Parsed({"engrave", "--pulse", "--aspect"}), "p.png"),
            "# the dialog's answers for an engraving\n"
            "file p.png\nset 4165 10\nset 4164 8\nset 4170 100\nset 4167 0.05\n"
            "click 4186\nclick 4188\nclick 1\nclick 6\n");
}

TEST(ComposedAnswers, TheModesSetTheirBoxesAndThePreviewIsWrittenBeforeStarting) {
  struct Case {
    std::vector<std::string> args;
    std::string between;  // what comes after the fields and before "click 1"
  } cases[] = {
      {{"engrave", "--dither"}, "check 4189 1\n"},
      {{"engrave", "--invert"}, "check 4187 1\n"},
      {{"engrave", "--invert", "--dither"}, "check 4187 1\ncheck 4189 1\n"},
      {{"engrave", "--preview", "v w.png"}, "click 4178\ncheck 4190 1\nsnapshot 4179 v w.png\n"},
      {{"engrave", "--dither", "--preview=v.png"},
       "check 4189 1\nclick 4178\ncheck 4190 1\nsnapshot 4179 v.png\n"},
      {{"engrave", "--gamma", "1.8", "--invert", "--brightness=-20", "--contrast", "+35"},
       "set 4200 -20\nset 4201 +35\nset 4202 1.8\ncheck 4187 1\n"},
      {{"engrave", "--from-line", "12", "--dither"}, "check 4189 1\nset 4205 12\n"},
  };
  const std::string fields = "set 4167 0.05\n";
  for (const Case& c : cases) {
    const std::string script = host::ComposeScript(Parsed(c.args), "p.png");
    const size_t after = script.find(fields);
    ASSERT_NE(after, std::string::npos) << script;
    EXPECT_EQ(script.substr(after + fields.size()), c.between + "click 1\nclick 6\n") << script;
  }
}

// Both hosts refuse a picture adjustment the dialog would refuse, before anything runs, naming
// the option; the range's ends are taken.
TEST(ComposedAnswers, AdjustmentsOutsideTheirRangesAreRefused) {
  struct Case {
    const char* option;
    const char* value;
    bool taken;
  } cases[] = {
      {"--brightness", "-100", true},  {"--brightness", "100.5", false},
      {"--brightness", "0x10", false}, {"--contrast", "100", true},
      {"--contrast", "abc", false},    {"--contrast", "nan", false},
      {"--contrast", "", false},       {"--gamma", "0.1", true},
      {"--gamma", "10", true},         {"--gamma", "0", false},
      {"--gamma", "-1", false},        {"--gamma", "1e2", false},
  };
  for (const Case& c : cases) {
    for (host::Program program : {host::Program::kHostSim, host::Program::kEngraveLcnc}) {
      SCOPED_TRACE(std::string(c.option) + " " + c.value);
      host::Options options;
      std::string error;
      EXPECT_EQ(host::ParseOptions({"engrave", c.option, c.value}, program, options, &error),
                c.taken);
      if (!c.taken) {
        EXPECT_EQ(error.rfind(std::string(c.option) + " must be a number from ", 0), 0u) << error;
      }
    }
  }
}

// A resume takes its settings from its record: the options that would change them are told
// apart from those that only name files.
TEST(ComposedAnswers, TheSettingsGivenAreListed) {
  host::Options options;
  std::string error;
  ASSERT_TRUE(host::ParseOptions({"resume", "--profile", "p.xml", "--fired", "f", "--trace=t",
                                  "--before", "G0 X0", "--width=3", "--dither", "--from-line", "2"},
                                 host::Program::kEngraveLcnc, options, &error))
      << error;
  EXPECT_EQ(options.settingsGiven,
            (std::vector<std::string>{"--width", "--dither", "--from-line"}));
}

}  // namespace

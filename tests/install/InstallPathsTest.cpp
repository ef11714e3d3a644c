// Where a program finds the plug-in and the window program: beside itself in a build folder,
// in the private folder of its install otherwise.
#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"
#include "host/InstallPaths.h"

namespace {

namespace fs = std::filesystem;

TEST(FindProgramFile, PrefersTheProgramsFolderThenThePrivateFolder) {
  struct Case {
    const char* what;
    bool beside, installed;
    const char* expected;  // under the temporary root
  } cases[] = {
      {"a build folder", true, false, "usr/bin/Engraving.so"},
      {"an install", false, true, "usr/lib/engraving/Engraving.so"},
      {"a build copied over an install", true, true, "usr/bin/Engraving.so"},
      {"neither: the installed name, for the error", false, false,
       "usr/lib/engraving/Engraving.so"},
  };
  for (const Case& c : cases) {
    TempDir root;
    fs::create_directories(root.Path() / "usr/bin");
    fs::create_directories(root.Path() / "usr/lib/engraving");
    if (c.beside) WriteFileText(root.File("usr/bin/Engraving.so"), "");
    if (c.installed) WriteFileText(root.File("usr/lib/engraving/Engraving.so"), "");
    EXPECT_EQ(host::FindProgramFile("Engraving.so", root.File("usr/bin"), "../lib/engraving"),
              root.File(c.expected))
        << c.what;
  }
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "profile/ProfileStore.h"
#include "profile/ProfileStoreTesting.h"

using profile::ProfileStore;

namespace {

// The document's text without the XML declaration and trailing line break that the writer
// adds, so that tests compare content only.
std::string Body(const std::string& path) {
  std::string text = ReadFileText(path);
  if (text.rfind("<?xml", 0) == 0) text.erase(0, text.find('\n') + 1);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

class ProfileStoreTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.File("profile.xml");
};

TEST_F(ProfileStoreTest, MissingFileReadsDefaultsAndIsCreatedWithAnEmptyRoot) {
  {
    ProfileStore store(path);
    EXPECT_EQ(store.ReadString("Engraving", "Width", "10.0"), "10.0");
    EXPECT_EQ(store.ReadInt("Engraving", "Inverse", 7), 7);
  }
  EXPECT_EQ(Body(path), "<profile/>");
}

TEST_F(ProfileStoreTest, WritesAppendSectionAndKeysInFirstWriteOrder) {
  WriteFileText(path, "<profile><Host a=\"1\">x</Host></profile>");
  {
    ProfileStore store(path);
    store.WriteString("Engraving", "YStepOver", "0.1");
    store.WriteInt("Engraving", "Inverse", 1);
    store.WriteString("Engraving", "YStepOver", "0.2");
    store.WriteInt("Engraving", "Length", -42);
  }
  EXPECT_EQ(Body(path),
            "<profile><Host a=\"1\">x</Host><Engraving><YStepOver>0.2</YStepOver>"
            "<Inverse>1</Inverse><Length>-42</Length></Engraving></profile>");
}

TEST_F(ProfileStoreTest, EmptyAndSelfClosedKeysAreRemovedByReadsAndAppendedAgainByWrites) {
  WriteFileText(path,
                "<profile><Engraving><Width></Width><Length/><FeedRate>5</FeedRate>"
                "</Engraving></profile>");
  {
    ProfileStore store(path);
    EXPECT_EQ(store.ReadString("Engraving", "Width", "10.0"), "10.0");
    EXPECT_EQ(store.ReadInt("Engraving", "Length", 8), 8);
  }
  EXPECT_EQ(Body(path), "<profile><Engraving><FeedRate>5</FeedRate></Engraving></profile>");
  {
    ProfileStore store(path);
    store.WriteString("Engraving", "Width", "3");
  }
  EXPECT_EQ(Body(path),
            "<profile><Engraving><FeedRate>5</FeedRate><Width>3</Width></Engraving></profile>");
}

TEST_F(ProfileStoreTest, OnlyDirectChildrenOfTheRootAreSections) {
  WriteFileText(path, "<profile><Outer><Engraving><Width>7</Width></Engraving></Outer></profile>");
  {
    ProfileStore store(path);
    EXPECT_EQ(store.ReadString("Engraving", "Width", "10.0"), "10.0");
    store.WriteString("Engraving", "Width", "12");
  }
  EXPECT_EQ(Body(path),
            "<profile><Outer><Engraving><Width>7</Width></Engraving></Outer>"
            "<Engraving><Width>12</Width></Engraving></profile>");
}

TEST_F(ProfileStoreTest, OnlyTheFirstOfTwoSiblingSectionsIsUsed) {
  WriteFileText(path,
                "<profile><Engraving><Width>1</Width></Engraving>"
                "<Engraving><Width>2</Width><Length>3</Length></Engraving></profile>");
  {
    ProfileStore store(path);
    EXPECT_EQ(store.ReadString("Engraving", "Width", ""), "1");
    EXPECT_EQ(store.ReadString("Engraving", "Length", "none"), "none");
    store.WriteString("Engraving", "Length", "9");
  }
  EXPECT_EQ(Body(path),
            "<profile><Engraving><Width>1</Width><Length>9</Length></Engraving>"
            "<Engraving><Width>2</Width><Length>3</Length></Engraving></profile>");
}

TEST_F(ProfileStoreTest, ARootWithAnotherNameIsKept) {
  WriteFileText(path, "<settings><Engraving><Width>4</Width></Engraving></settings>");
  {
    ProfileStore store(path);
    EXPECT_EQ(store.ReadString("Engraving", "Width", ""), "4");
  }
  EXPECT_EQ(Body(path), "<settings><Engraving><Width>4</Width></Engraving></settings>");
}

TEST_F(ProfileStoreTest, TheHostsOwnContentSurvivesALoadAndSave) {
  const std::string host =
      "<profile>\n  <!-- host settings -->\n  <Motor axis=\"X\" steps=\"2000\">fast &amp; "
      "smooth</Motor>\n  <Ports><Port id=\"1\"/></Ports>\n  <Text><![CDATA[a<b]]></Text>\n"
      "</profile>";
  WriteFileText(path, host);
  { ProfileStore store(path); }
  EXPECT_EQ(Body(path), host);
}

TEST_F(ProfileStoreTest, ReadIntTakesTheLeadingDecimalNumber) {
  WriteFileText(path,
                "<profile><S><a> 12abc</a><b>abc</b><c>-7</c><d>+3</d><e>99999999999</e>"
                "</S></profile>");
  ProfileStore store(path);
  EXPECT_EQ(store.ReadInt("S", "a", 5), 12);
  EXPECT_EQ(store.ReadInt("S", "b", 5), 0);
  EXPECT_EQ(store.ReadInt("S", "c", 5), -7);
  EXPECT_EQ(store.ReadInt("S", "d", 5), 3);
  EXPECT_EQ(store.ReadInt("S", "e", 5), INT32_MAX);
  EXPECT_EQ(store.ReadInt("S", "missing", 5), 5);
}

TEST_F(ProfileStoreTest, AProfileThatCannotBeLoadedIsNeverOverwritten) {
  const std::string broken = "<profile><Host>precious</Host><unclosed></profile>";
  WriteFileText(path, broken);
  {
    ProfileStore store(path);
    EXPECT_TRUE(store.LoadFailed());
    EXPECT_EQ(store.ReadString("Engraving", "Width", "10.0"), "10.0");
    store.WriteString("Engraving", "Width", "3");
    EXPECT_FALSE(store.Save());
  }
  EXPECT_EQ(ReadFileText(path), broken);
}

TEST_F(ProfileStoreTest, ADirectoryInPlaceOfTheProfileIsLeftAlone) {
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  {
    ProfileStore store(path);
    EXPECT_TRUE(store.LoadFailed());
    store.WriteString("Engraving", "Width", "3");
  }
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST_F(ProfileStoreTest, AProfileInAMissingFolderLosesNothingAndCreatesNothing) {
  const std::string nowhere = dir.File("no-such-folder/profile.xml");
  {
    ProfileStore store(nowhere);
    store.WriteString("Engraving", "Width", "3");
    EXPECT_FALSE(store.Save());
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("no-such-folder")));
}

TEST_F(ProfileStoreTest, AnInterruptedSaveLeavesTheOldProfileWholeAndNoTemporaryBehind) {
  const std::string original = "<profile><Host>keep</Host></profile>";
  WriteFileText(path, original);
  auto previous = profile::testing::SetRenameFunction([](const char*, const char*) {
    errno = EIO;
    return -1;
  });
  {
    ProfileStore store(path);
    store.WriteString("Engraving", "Width", "3");
    EXPECT_FALSE(store.Save());
  }
  profile::testing::SetRenameFunction(previous);
  EXPECT_EQ(ReadFileText(path), original);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST_F(ProfileStoreTest, SavingKeepsPermissionsAndWritesThroughASymbolicLink) {
  WriteFileText(path, "<profile/>");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const std::string link = dir.File("link.xml");
  std::filesystem::create_symlink(path, link);
  {
    ProfileStore store(link);
    store.WriteString("Engraving", "Width", "3");
  }
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Body(path), "<profile><Engraving><Width>3</Width></Engraving></profile>");
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// A layout of links in a folder of its own: the links to make (name, what it points to, as
// written), the path the store is given and the file that must end up holding the profile.
struct LinkLayout {
  std::vector<std::pair<std::string, std::string>> links;
  std::string opened;
  std::string target;
};

class ProfileLinkTest : public ProfileStoreTest {
 protected:
  std::filesystem::path Make(const std::string& name, const LinkLayout& layout) {
    const std::filesystem::path folder = dir.Path() / name;
    std::filesystem::create_directories(folder / "profiles");
    std::filesystem::create_directories(folder / "links");
    for (const auto& [link, pointsTo] : layout.links)
      std::filesystem::create_symlink(pointsTo, folder / link);
    return folder;
  }
  void ExpectLinksKept(const std::filesystem::path& folder, const LinkLayout& layout) {
    for (const auto& [link, pointsTo] : layout.links) {
      ASSERT_TRUE(std::filesystem::is_symlink(folder / link)) << link;
      EXPECT_EQ(std::filesystem::read_symlink(folder / link), pointsTo) << link;
    }
  }
};

TEST_F(ProfileLinkTest, ALinkWhoseTargetIsMissingCreatesTheTargetAndStaysALink) {
  const std::string absoluteTarget = (dir.Path() / "absolute/profiles/profile.xml").string();
  const std::pair<std::string, LinkLayout> layouts[] = {
      // relative to the link's folder, not to the working directory
      {"relative",
       {{{"links/profile.xml", "../profiles/profile.xml"}},
        "links/profile.xml",
        "profiles/profile.xml"}},
      {"absolute",
       {{{"links/profile.xml", absoluteTarget}}, "links/profile.xml", "profiles/profile.xml"}},
      // a chain whose last link dangles
      {"chain",
       {{{"links/first.xml", "second.xml"}, {"links/second.xml", "../profiles/chained.xml"}},
        "links/first.xml",
        "profiles/chained.xml"}},
  };
  for (const auto& [name, layout] : layouts) {
    SCOPED_TRACE(name);
    const std::filesystem::path folder = Make(name, layout);
    {
      ProfileStore store((folder / layout.opened).string());
      EXPECT_FALSE(store.LoadFailed());
      store.WriteString("Engraving", "Width", "3");
      EXPECT_TRUE(store.Save());
    }
    ExpectLinksKept(folder, layout);
    EXPECT_EQ(Body((folder / layout.target).string()),
              "<profile><Engraving><Width>3</Width></Engraving></profile>");
  }
}

TEST_F(ProfileLinkTest, ARelativeLinkToAnExistingProfileWritesThroughToIt) {
  const LinkLayout layout{{{"links/profile.xml", "../profiles/profile.xml"}}, "", ""};
  const std::filesystem::path folder = Make("existing", layout);
  const std::string target = (folder / "profiles/profile.xml").string();
  WriteFileText(target, "<profile><Host>keep</Host></profile>");
  {
    ProfileStore store((folder / "links/profile.xml").string());
    store.WriteString("Engraving", "Width", "3");
    EXPECT_TRUE(store.Save());
  }
  ExpectLinksKept(folder, layout);
  EXPECT_EQ(Body(target),
            "<profile><Host>keep</Host><Engraving><Width>3</Width></Engraving></profile>");
}

TEST_F(ProfileLinkTest, ALinkIntoAMissingFolderOrALoopIsLeftAlone) {
  const std::pair<std::string, LinkLayout> layouts[] = {
      {"missing-folder",
       {{{"links/profile.xml", "../nowhere/profile.xml"}}, "links/profile.xml", ""}},
      {"loop", {{{"links/a.xml", "b.xml"}, {"links/b.xml", "a.xml"}}, "links/a.xml", ""}},
  };
  for (const auto& [name, layout] : layouts) {
    SCOPED_TRACE(name);
    const std::filesystem::path folder = Make(name, layout);
    {
      ProfileStore store((folder / layout.opened).string());
      store.WriteString("Engraving", "Width", "3");
      EXPECT_FALSE(store.Save());
    }
    ExpectLinksKept(folder, layout);
    EXPECT_FALSE(std::filesystem::exists(folder / "nowhere"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder / "links"), {}),
              std::ptrdiff_t(layout.links.size()));
  }
}

TEST_F(ProfileStoreTest, AnEmptyPathLoadsAndSavesNothing) {
  ProfileStore store("");
  EXPECT_EQ(store.ReadString("Engraving", "Width", "10.0"), "10.0");
  store.WriteString("Engraving", "Width", "3");
  EXPECT_EQ(store.ReadString("Engraving", "Width", ""), "3");
  EXPECT_FALSE(store.Save());
}

TEST_F(ProfileStoreTest, TheCurrentStoreExistsOnlyWithinItsScope) {
  profile::ProfileName() = path;
  EXPECT_EQ(profile::CurrentProfileStore(), nullptr);
  {
    profile::ScopedProfileStore scope;
    ASSERT_EQ(profile::CurrentProfileStore(), &scope.Store());
    profile::CurrentProfileStore()->WriteInt("Engraving", "Inverse", 0);
  }
  EXPECT_EQ(profile::CurrentProfileStore(), nullptr);
  EXPECT_EQ(Body(path), "<profile><Engraving><Inverse>0</Inverse></Engraving></profile>");
}

}  // namespace

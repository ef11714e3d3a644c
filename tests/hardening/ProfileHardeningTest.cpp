// The host's profile under conditions the plug-in does not control: damaged content, a file the
// plug-in may not read or write, a folder it may not write, a file of another owner, a disk that
// fills up during the save, and a path that is no regular file. The host's file is never lost,
// truncated, taken from its owner or replaced by a document that failed to load, and nothing
// blocks.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>

#include "TempDir.h"
#include "profile/ProfileStore.h"

using profile::ProfileStore;

namespace {

constexpr const char* kHostProfile =
    "<profile><Host>keep me</Host><Engraving><Width>7</Width></Engraving></profile>";

// Exit codes of the child bodies below: 0 when every expectation held.
enum ChildResult : int {
  kAsExpected = 0,
  kLoadFailedWrongly = 10,
  kLoadSucceededWrongly,
  kWrongValue,
  kSaveSucceededWrongly,
  kSaveFailedWrongly,
  kCannotDropPrivileges = 99,
};

// The user "nobody" and its group "nogroup", as which a root test process saves.
constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

bool IsRoot() {
  return geteuid() == 0;
}

// Runs body in a forked child, as the unprivileged user "nobody" when asked and when this
// process is root (for root, permission bits stop neither reads nor writes). Returns the child's
// exit code, or -1 when it died.
int RunInChild(const std::function<int()>& body, bool unprivileged) {
  const pid_t child = fork();
  if (child == 0) {
    if (unprivileged && IsRoot()) {
      if (setgroups(0, nullptr) != 0 || setresgid(kNoGroup, kNoGroup, kNoGroup) != 0 ||
          setresuid(kNobody, kNobody, kNobody) != 0) {
        _exit(kCannotDropPrivileges);
      }
    }
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

size_t EntriesIn(const std::filesystem::path& folder) {
  return size_t(std::distance(std::filesystem::directory_iterator(folder), {}));
}

struct stat StatOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info;
}

class ProfileHardening : public ::testing::Test {
 protected:
  void SetUp() override {
    // Other users may look into the folder, but not write to it.
    ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
    WriteFileText(path, kHostProfile);
  }
  // A folder that a test closed must be open again for the clean-up.
  void TearDown() override { chmod(dir.Path().c_str(), 0755); }

  // The profile belongs to the user whom RunInChild(..., true) runs as, and its folder takes
  // no new file from that user.
  void GiveProfileInAClosedFolderToTheUnprivilegedUser() {
    if (IsRoot()) {
      ASSERT_EQ(chown(path.c_str(), kNobody, kNoGroup), 0);
    } else {
      ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
    }
  }

  TempDir dir;
  std::string path = dir.File("profile.xml");
};

// Write-only, so that not even its owner may read it.
TEST_F(ProfileHardening, AProfileThePlugInMayNotReadIsLeftAsItIs) {
  ASSERT_EQ(chmod(path.c_str(), 0200), 0);
  const int result = RunInChild(
      [&] {
        ProfileStore store(path);
        if (!store.LoadFailed()) return int(kLoadSucceededWrongly);
        if (store.ReadString("Engraving", "Width", "10.0") != "10.0") return int(kWrongValue);
        store.WriteString("Engraving", "Width", "3");
        if (store.Save()) return int(kSaveSucceededWrongly);
        return int(kAsExpected);
      },
      true);
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  if (result == kCannotDropPrivileges) GTEST_SKIP() << "cannot switch to an unprivileged user";
  EXPECT_EQ(result, kAsExpected);
  EXPECT_EQ(ReadFileText(path), kHostProfile);
  EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

TEST_F(ProfileHardening, AProfileWithoutWritePermissionIsNeverReplaced) {
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const ino_t inode = StatOf(path).st_ino;
  {
    ProfileStore store(path);
    ASSERT_FALSE(store.LoadFailed());
    EXPECT_EQ(store.ReadString("Engraving", "Width", "10.0"), "7");
    store.WriteString("Engraving", "Width", "3");
    EXPECT_FALSE(store.Save());
  }
  EXPECT_EQ(ReadFileText(path), kHostProfile);
  EXPECT_EQ(StatOf(path).st_ino, inode);
  EXPECT_EQ(StatOf(path).st_mode & 07777, 0444u);
  EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

// A folder open to everyone would let a sibling be renamed over the file; the permission that
// counts is the file's own.
TEST_F(ProfileHardening, AnotherUsersProfileThePlugInMayNotWriteIsNotReplaced) {
  if (!IsRoot()) GTEST_SKIP() << "needs a file of another user";
  ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
  const int result = RunInChild(
      [&] {
        ProfileStore store(path);
        if (store.LoadFailed()) return int(kLoadFailedWrongly);
        if (store.ReadString("Engraving", "Width", "10.0") != "7") return int(kWrongValue);
        store.WriteString("Engraving", "Width", "3");
        if (store.Save()) return int(kSaveSucceededWrongly);
        return int(kAsExpected);
      },
      true);
  if (result == kCannotDropPrivileges) GTEST_SKIP() << "cannot switch to an unprivileged user";
  EXPECT_EQ(result, kAsExpected);
  EXPECT_EQ(ReadFileText(path), kHostProfile);
  EXPECT_EQ(StatOf(path).st_uid, 0u);
  EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

TEST_F(ProfileHardening, ASaveKeepsTheProfilesOwnerGroupAndMode) {
  uid_t owner = uid_t(-1);
  gid_t group = kNoGroup;
  if (IsRoot()) {
    owner = kNobody;
  } else {
    // An ordinary user can hand a file only to another of its own groups.
    gid_t groups[NGROUPS_MAX];
    const int count = getgroups(NGROUPS_MAX, groups);
    const gid_t* other =
        std::find_if(groups, groups + std::max(count, 0), [](gid_t g) { return g != getegid(); });
    if (other == groups + std::max(count, 0)) GTEST_SKIP() << "the user has only one group";
    group = *other;
  }
  ASSERT_EQ(chown(path.c_str(), owner, group), 0);
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const struct stat before = StatOf(path);
  {
    ProfileStore store(path);
    store.WriteString("Engraving", "Width", "3");
    EXPECT_TRUE(store.Save());
  }
  const struct stat after = StatOf(path);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(ReadFileText(path).find("<Width>3</Width>"), std::string::npos);
  EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

// An ordinary user may write root's group-writable profile but cannot give a new file to root.
TEST_F(ProfileHardening, AnOwnerTheSaveCannotGiveAwayIsKeptByWritingInPlace) {
  if (!IsRoot()) GTEST_SKIP() << "needs a file of another user";
  ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
  ASSERT_EQ(chown(path.c_str(), 0, kNoGroup), 0);
  ASSERT_EQ(chmod(path.c_str(), 0664), 0);
  const ino_t inode = StatOf(path).st_ino;
  const int result = RunInChild(
      [&] {
        ProfileStore store(path);
        store.WriteString("Engraving", "Width", "3");
        return int(store.Save() ? kAsExpected : kSaveFailedWrongly);
      },
      true);
  if (result == kCannotDropPrivileges) GTEST_SKIP() << "cannot switch to an unprivileged user";
  EXPECT_EQ(result, kAsExpected);
  const struct stat after = StatOf(path);
  EXPECT_EQ(after.st_uid, 0u);
  EXPECT_EQ(after.st_gid, kNoGroup);
  EXPECT_EQ(after.st_mode & 07777, 0664u);
  EXPECT_EQ(after.st_ino, inode);
  EXPECT_NE(ReadFileText(path).find("<Host>keep me</Host><Engraving><Width>3</Width>"),
            std::string::npos);
  EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

// The file is written in place, growing and then shrinking: each time it holds exactly the new
// document, nothing of the old one after it.
TEST_F(ProfileHardening, AWritableProfileInAFolderThatTakesNoNewFileIsWrittenInPlace) {
  GiveProfileInAClosedFolderToTheUnprivilegedUser();
  const ino_t inode = StatOf(path).st_ino;
  const std::string longWidth(500, '3');
  const int result = RunInChild(
      [&] {
        for (const std::string& width : {longWidth, std::string("1")}) {
          {
            ProfileStore store(path);
            if (store.LoadFailed()) return int(kLoadFailedWrongly);
            store.WriteString("Engraving", "Width", width);
            if (!store.Save()) return int(kSaveFailedWrongly);
          }
          ProfileStore again(path);
          if (again.LoadFailed()) return int(kLoadFailedWrongly);
          if (again.ReadString("Engraving", "Width", "") != width) return int(kWrongValue);
        }
        return int(kAsExpected);
      },
      true);
  if (result == kCannotDropPrivileges) GTEST_SKIP() << "cannot switch to an unprivileged user";
  EXPECT_EQ(result, kAsExpected);
  const std::string saved = ReadFileText(path);
  EXPECT_NE(saved.find("<profile><Host>keep me</Host><Engraving><Width>1</Width></Engraving>"
                       "</profile>\n"),
            std::string::npos);
  EXPECT_TRUE(saved.ends_with("</profile>\n")) << saved;
  EXPECT_EQ(StatOf(path).st_ino, inode);
  EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

// Written in place, a profile that cannot grow (a full disk, here the file size limit) fails
// before any of its bytes is changed.
TEST_F(ProfileHardening, AnInPlaceWriteThatCannotGrowTheFileLeavesItWhole) {
  GiveProfileInAClosedFolderToTheUnprivilegedUser();
  const int result = RunInChild(
      [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        ProfileStore store(path);
        if (store.LoadFailed()) return int(kLoadFailedWrongly);
        store.WriteString("Engraving", "Width", std::string(4096, '3'));
        // Writes up to the old length would still succeed; only growing fails.
        const rlimit limit{rlim_t(std::strlen(kHostProfile)), RLIM_INFINITY};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return int(kCannotDropPrivileges);
        if (store.Save()) return int(kSaveSucceededWrongly);
        return int(kAsExpected);
      },
      true);
  if (result == kCannotDropPrivileges) GTEST_SKIP() << "cannot switch to an unprivileged user";
  EXPECT_EQ(result, kAsExpected);
  EXPECT_EQ(ReadFileText(path), kHostProfile);
  EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

// A disk that fills up while the new profile is written: the file size limit makes the write
// fail (EFBIG) even for root, as a full disk (ENOSPC) would.
TEST_F(ProfileHardening, AWriteThatFailsHalfwayKeepsTheOldProfileWhole) {
  const int result = RunInChild(
      [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        ProfileStore store(path);
        if (store.LoadFailed()) return int(kLoadFailedWrongly);
        store.WriteString("Engraving", "Width", std::string(4096, '3'));
        const rlimit limit{16, RLIM_INFINITY};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return int(kCannotDropPrivileges);
        if (store.Save()) return int(kSaveSucceededWrongly);
        return int(kAsExpected);
      },
      false);
  EXPECT_EQ(result, kAsExpected);
  EXPECT_EQ(ReadFileText(path), kHostProfile);
  EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

TEST_F(ProfileHardening, ANamedPipeInPlaceOfTheProfileDoesNotBlock) {
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  auto session = std::async(std::launch::async, [&] {
    ProfileStore store(path);
    store.WriteString("Engraving", "Width", "3");
    return store.LoadFailed();
  });
  if (session.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "opening a named pipe as the profile blocked";
    const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) close(writer);
  }
  EXPECT_TRUE(session.get());
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// Damaged profiles of many kinds: each fails to load, reads defaults and is never overwritten.
TEST_F(ProfileHardening, DamagedProfilesAreNeverOverwritten) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  const std::string damaged[] = {
      std::string("<profile><Engraving><Width>3</Width>") + '\0' + "</Engraving></profile>",
      "\x89PNG\r\n\x1a\n binary garbage",
      "<profile/><profile/>",
      "text before <profile/>",
      "<profile><Engraving><Width>&undeclared;</Width></Engraving></profile>",
      "<?xml version=\"1.0\" encoding=\"no-such-encoding\"?><profile/>",
      "<profile>\xff\xfe\xc3\x28</profile>",
      "<profile><Engraving><Width>3</Width></Engraving>",
      "<profile><Engraving></Width></Engraving></profile>",
      "<!DOCTYPE profile [<!ENTITY a \"&b;\"><!ENTITY b \"&a;\">]><profile>&a;</profile>",
      "<profile>" + deep + "</profile>",
  };
  for (const std::string& text : damaged) {
    SCOPED_TRACE(text.substr(0, 60));
    WriteFileText(path, text);
    const auto start = std::chrono::steady_clock::now();
    {
      ProfileStore store(path);
      EXPECT_TRUE(store.LoadFailed());
      EXPECT_EQ(store.ReadString("Engraving", "Width", "10.0"), "10.0");
      EXPECT_EQ(store.ReadInt("Engraving", "Inverse", 1), 1);
      store.WriteString("Engraving", "Width", "3");
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed.count(), 2.0);
    EXPECT_EQ(ReadFileText(path), text);
  }
}

TEST_F(ProfileHardening, EntitiesNeverReadOtherFiles) {
  const std::string secret = dir.File("secret.txt");
  WriteFileText(secret, "SECRET");
  WriteFileText(path, "<!DOCTYPE profile [<!ENTITY s SYSTEM \"file://" + secret +
                          "\">]><profile><Engraving><Width>&s;</Width></Engraving></profile>");
  ProfileStore store(path);
  EXPECT_EQ(store.ReadString("Engraving", "Width", "10.0").find("SECRET"), std::string::npos);
}

}  // namespace

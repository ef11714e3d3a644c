// The host's profile under conditions the plug-in does not control: damaged content, a file the
// plug-in may not read, a folder it may not write, a disk that fills up during the save, and a
// path that is no regular file. The host's file is never lost, truncated or replaced by a
// document that failed to load, and nothing blocks.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
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
  kCannotDropPrivileges = 99,
};

// Runs body in a forked child, as the unprivileged user "nobody" when asked and when this
// process is root (for root, permission bits stop neither reads nor writes). Returns the child's
// exit code, or -1 when it died.
int RunInChild(const std::function<int()>& body, bool unprivileged) {
  const pid_t child = fork();
  if (child == 0) {
    if (unprivileged && geteuid() == 0) {
      constexpr uid_t kNobody = 65534;
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
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

class ProfileHardening : public ::testing::Test {
 protected:
  void SetUp() override {
    // Other users may look into the folder, but not write to it.
    ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
    WriteFileText(path, kHostProfile);
  }

  TempDir dir;
  std::string path = dir.File("profile.xml");
};

TEST_F(ProfileHardening, AProfileThePlugInMayNotReadIsLeftAsItIs) {
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
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
  if (result == kCannotDropPrivileges) GTEST_SKIP() << "cannot switch to an unprivileged user";
  EXPECT_EQ(result, kAsExpected);
  EXPECT_EQ(ReadFileText(path), kHostProfile);
  EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

TEST_F(ProfileHardening, AFolderThePlugInMayNotWriteKeepsTheOldProfileWhole) {
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

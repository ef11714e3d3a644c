// engrave-lcnc-window on a private X server: it takes whatever engrave-lcnc sends, damaged
// messages included, and goes when told to or when engrave-lcnc has gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "lcnc/WindowProtocol.h"
#include "tests/ui/Xvfb.h"

namespace {

class WindowProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(server_.running());
    int fds[2];
    // Only the window's end may reach the window, or closing ours would not end its input.
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ASSERT_EQ(fcntl(fds[1], F_SETFD, 0), 0);
    host_ = fds[0];
    const std::string fd = std::to_string(fds[1]);
    const std::string display = "DISPLAY=" + server_.display();
    char* argv[] = {const_cast<char*>(ENGRAVE_LCNC_WINDOW_PATH), const_cast<char*>(fd.c_str()),
                    nullptr};
    // Our environment (the sanitizers' options among it), on the private display.
    std::vector<std::string> environment = {display};
    for (char** entry = environ; *entry != nullptr; ++entry)
      if (std::string(*entry).rfind("DISPLAY=", 0) != 0) environment.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid_, ENGRAVE_LCNC_WINDOW_PATH, nullptr, nullptr, argv, envp.data()), 0);
    close(fds[1]);
  }

  void TearDown() override {
    if (host_ >= 0) close(host_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // The window's exit status once it has gone; -1 when it is still there after `seconds`.
  int ExitWithin(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  void Send(const std::vector<std::string>& fields) {
    ASSERT_TRUE(lcnc::SendMessage(host_, fields));
  }

  XvfbServer server_;
  int host_ = -1;
  pid_t pid_ = -1;
};

TEST_F(WindowProcessTest, TakesWhatTheHostSendsAndGoesOnQuit) {
  Send({"menu", "&Tarvex/Laser Engraving", "&Engrave Photo", "1000"});
  Send({"status", "Press Cycle Start to begin scanning Seq."});
  Send({"machine", "on, MDI, idle", "0.0000", "0.0000"});
  Send({"raster", "Engraving armed: press Cycle Start"});
  EXPECT_EQ(ExitWithin(0.5), -1) << "the window went by itself";
  Send({"quit"});
  EXPECT_EQ(ExitWithin(5.0), 0);
}

TEST_F(WindowProcessTest, DamagedMessagesChangeNothingAndBreakNothing) {
  Send({"menu"});
  Send({"menu", "a/b/c", "", "not a number"});
  Send({"machine", "only the state"});
  Send({"no such message", "x"});
  Send({""});
  const std::string noNewline = "status\tnever ends";
  ASSERT_EQ(write(host_, noNewline.data(), noNewline.size()), ssize_t(noNewline.size()));
  EXPECT_EQ(ExitWithin(0.5), -1) << "the window went on a damaged message";
  close(host_);  // engrave-lcnc gone: the window must not stay behind
  host_ = -1;
  EXPECT_EQ(ExitWithin(5.0), 0);
}

}  // namespace

// engrave-lcnc's parts that need no LinuxCNC: the window messages and its command line.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/HostFiles.h"
#include "host/HostOptions.h"
#include "lcnc/WindowProtocol.h"

namespace {

using host::Options;
using host::ParseOptions;
using host::Program;

class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
  void TearDown() override {
    for (int fd : fds_)
      if (fd >= 0) close(fd);
  }
  int fds_[2] = {-1, -1};
};

TEST_F(SocketPair, MessagesKeepTheirFieldsAndLoseNoBlanks) {
  ASSERT_TRUE(
      lcnc::SendMessage(fds_[0], {"menu", "&Tarvex/Laser Engraving", "&Engrave Photo", "1000"}));
  ASSERT_TRUE(lcnc::SendMessage(fds_[0], {"status", "Previous SEQ not yet complete. "}));
  ASSERT_TRUE(lcnc::SendMessage(fds_[0], {"status", ""}));
  lcnc::MessageReader reader;
  ASSERT_TRUE(reader.ReadAvailable(fds_[1]));
  std::vector<std::string> fields;
  ASSERT_TRUE(reader.Next(&fields));
  EXPECT_EQ(fields, (std::vector<std::string>{"menu", "&Tarvex/Laser Engraving", "&Engrave Photo",
                                              "1000"}));
  ASSERT_TRUE(reader.Next(&fields));
  EXPECT_EQ(fields, (std::vector<std::string>{"status", "Previous SEQ not yet complete. "}));
  ASSERT_TRUE(reader.Next(&fields));
  EXPECT_EQ(fields, (std::vector<std::string>{"status", ""}));
  EXPECT_FALSE(reader.Next(&fields));
}

TEST_F(SocketPair, TabsAndNewlinesInsideAFieldCannotSplitAMessage) {
  ASSERT_TRUE(lcnc::SendMessage(fds_[0], {"status", "two\tparts\nand a line"}));
  lcnc::MessageReader reader;
  ASSERT_TRUE(reader.ReadAvailable(fds_[1]));
  std::vector<std::string> fields;
  ASSERT_TRUE(reader.Next(&fields));
  EXPECT_EQ(fields, (std::vector<std::string>{"status", "two parts and a line"}));
  EXPECT_FALSE(reader.Next(&fields));
}

TEST_F(SocketPair, AMessageInPiecesIsHandedOutWhole) {
  const std::string line = lcnc::EncodeMessage({"machine", "on, MDI, idle", "1.0000", "2.0000"});
  ASSERT_EQ(write(fds_[0], line.data(), 7), 7);
  lcnc::MessageReader reader;
  std::vector<std::string> fields;
  ASSERT_TRUE(reader.ReadAvailable(fds_[1]));
  EXPECT_FALSE(reader.Next(&fields));
  ASSERT_EQ(write(fds_[0], line.data() + 7, line.size() - 7), ssize_t(line.size() - 7));
  ASSERT_TRUE(reader.ReadAvailable(fds_[1]));
  ASSERT_TRUE(reader.Next(&fields));
  EXPECT_EQ(fields.size(), 4u);
  EXPECT_EQ(fields[3], "2.0000");
}

TEST_F(SocketPair, AClosedPeerIsReportedAndSendingFails) {
  close(fds_[0]);
  fds_[0] = -1;
  lcnc::MessageReader reader;
  EXPECT_FALSE(reader.ReadAvailable(fds_[1]));
  EXPECT_FALSE(lcnc::SendMessage(fds_[1], {"cycle-start"}));  // no SIGPIPE either
}

TEST(EngraveLcncOptions, TakesHostSimsEngraveOptionsAndItsOwn) {
  Options options;
  std::string error;
  ASSERT_TRUE(
      ParseOptions({"engrave", "pic.png", "--width", "100", "--feed=1500", "--pulse", "--fired",
                    "f.txt", "--before", "G0 X5", "--before", "G0 Y1", "-ini", "sim.ini"},
                   Program::kEngraveLcnc, options, &error))
      << error;
  EXPECT_EQ(options.mode, "engrave");
  EXPECT_EQ(options.picture, "pic.png");
  EXPECT_EQ(options.width.text, "100");
  EXPECT_EQ(options.feed.value, 1500.0);
  EXPECT_TRUE(options.pulse);
  EXPECT_EQ(options.fired, "f.txt");
  EXPECT_EQ(options.before, (std::vector<std::string>{"G0 X5", "G0 Y1"}));
  EXPECT_EQ(options.ini, "sim.ini");
}

TEST(EngraveLcncOptions, StepsPerUnitComeFromTheMachineNotTheCommandLine) {
  Options options;
  std::string error;
  EXPECT_FALSE(ParseOptions({"engrave", "--steps-per-unit-x", "200"}, Program::kEngraveLcnc,
                            options, &error));
  EXPECT_NE(error.find("SCALE"), std::string::npos) << error;
  // host-sim has no LinuxCNC: it takes them, and knows nothing of --fired.
  Options simOptions;
  EXPECT_TRUE(ParseOptions({"engrave", "--steps-per-unit-x", "200"}, Program::kHostSim, simOptions,
                           &error));
  EXPECT_EQ(simOptions.stepsPerUnitX, 200.0);
  EXPECT_FALSE(
      ParseOptions({"engrave", "--fired", "f.txt"}, Program::kHostSim, simOptions, &error));
}

TEST(BitRanges, WritesRunsAcrossWordsAndTheBufferEnd) {
  std::vector<uint32_t> words(4, 0);
  words[0] = 0x80000001u;  // bits 0 and 31
  words[1] = 0x00000001u;  // bit 32 joins bit 31
  words[3] = 0xC0000000u;  // the last two bits
  EXPECT_EQ(host::BitRanges(words.data(), 4), "0-0,31-32,126-127");
  EXPECT_EQ(host::BitRanges(std::vector<uint32_t>(4, 0).data(), 4), "");
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/CxIOFile.h"
#include "image/CxMemFile.h"

namespace {

uint8_t* HeapBlock(const std::vector<uint8_t>& bytes) {
  auto* block = static_cast<uint8_t*>(std::malloc(bytes.size()));
  std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

std::vector<uint8_t> Bytes(size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t(i + 1);
  return bytes;
}

}  // namespace

TEST(CxMemFileRead, CopiesWhatIsLeftAndCountsWholeItems) {
  const std::vector<uint8_t> bytes = Bytes(12);
  CxMemFile stream(const_cast<uint8_t*>(bytes.data()), 12);
  ASSERT_TRUE(stream.Seek(2, SEEK_SET));
  uint8_t target[12] = {};
  EXPECT_EQ(stream.Read(target, 4, 3), 2u);  // 10 bytes left: two whole items
  EXPECT_EQ(std::memcmp(target, bytes.data() + 2, 10), 0);
  EXPECT_EQ(stream.Tell(), 12);
  EXPECT_TRUE(stream.Eof());
  EXPECT_EQ(stream.Read(target, 1, 1), 0u);
  EXPECT_EQ(stream.GetC(), -1);
  ASSERT_TRUE(stream.Seek(-1, SEEK_END));
  EXPECT_EQ(stream.GetC(), 12);
  EXPECT_EQ(stream.Read(nullptr, 1, 1), 0u);
  ASSERT_TRUE(stream.Seek(0, SEEK_SET));
  EXPECT_EQ(stream.Read(target, 0, 5), 0u);
  // Item counts whose byte product overflows 32 bits are read as what is there.
  EXPECT_EQ(stream.Read(target, 0x10000, 0x10000), 0u);
  EXPECT_EQ(stream.Tell(), 12);
}

TEST(CxMemFileSeek, ClampsBelowZeroAndAllowsPositionsPastTheEnd) {
  const std::vector<uint8_t> bytes = Bytes(10);
  CxMemFile stream(const_cast<uint8_t*>(bytes.data()), 10);
  EXPECT_TRUE(stream.Seek(-5, SEEK_SET));
  EXPECT_EQ(stream.Tell(), 0);
  EXPECT_TRUE(stream.Seek(3, SEEK_CUR));
  EXPECT_TRUE(stream.Seek(-1, SEEK_CUR));
  EXPECT_EQ(stream.Tell(), 2);
  EXPECT_EQ(stream.Error(), 0);
  EXPECT_TRUE(stream.Seek(100, SEEK_SET));
  uint8_t target[4];
  EXPECT_EQ(stream.Read(target, 1, 4), 0u);
  EXPECT_TRUE(stream.Eof());
  EXPECT_EQ(stream.Error(), 1);
  EXPECT_FALSE(stream.Seek(0, 3));
}

TEST(CxMemFileWrite, GrowsInStepsAboveTheNeededLength) {
  CxMemFile stream(static_cast<uint8_t*>(std::malloc(4096)), 4096);
  EXPECT_FALSE(stream.FreesOnClose());
  ASSERT_TRUE(stream.Seek(4096, SEEK_SET));
  EXPECT_TRUE(stream.PutC(7));
  EXPECT_EQ(stream.Capacity(), 8192u);
  EXPECT_TRUE(stream.FreesOnClose());  // a grown block is the stream's
  EXPECT_EQ(stream.Size(), 4097);

  ASSERT_TRUE(stream.Seek(0, SEEK_SET));
  const std::vector<uint8_t> bytes = Bytes(8192);
  EXPECT_EQ(stream.Write(bytes.data(), 4096, 2), 2u);  // fits the grown block
  EXPECT_EQ(stream.Capacity(), 8192u);
  EXPECT_EQ(stream.Size(), 8192);
  EXPECT_EQ(std::memcmp(stream.Buffer(), bytes.data(), 8192), 0);
  EXPECT_EQ(stream.Write(bytes.data(), 0, 4), 0u);
  EXPECT_EQ(stream.Write(nullptr, 1, 4), 0u);

  CxMemFile small(static_cast<uint8_t*>(std::malloc(4096)), 4096);
  EXPECT_EQ(small.Write(bytes.data(), 1, 8192), 8192u);  // exactly 8192 takes the next step
  EXPECT_EQ(small.Capacity(), 12288u);
}

TEST(CxMemFileWrite, BytesSkippedBySeekingPastTheEndReadAsZero) {
  CxMemFile stream(static_cast<uint8_t*>(std::malloc(16)), 0);
  ASSERT_TRUE(stream.Seek(100, SEEK_SET));
  EXPECT_TRUE(stream.PutC(0xEE));
  EXPECT_EQ(stream.Size(), 101);
  ASSERT_TRUE(stream.Seek(0, SEEK_SET));
  std::vector<uint8_t> back(101);
  ASSERT_EQ(stream.Read(back.data(), 1, 101), 101u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(back[size_t(i)], 0) << i;
  EXPECT_EQ(back[100], 0xEE);
}

TEST(CxMemFileWrite, LengthsBeyondThePositionRangeAreRefusedWithoutWriting) {
  CxMemFile stream(static_cast<uint8_t*>(std::malloc(64)), 64);
  uint8_t* const block = stream.Buffer();
  ASSERT_TRUE(stream.Seek(0x7FFFFFF0, SEEK_SET));
  const std::vector<uint8_t> bytes = Bytes(32);
  EXPECT_EQ(stream.Write(bytes.data(), 1, 32), 0u);
  ASSERT_TRUE(stream.Seek(0x7FFFFFFF, SEEK_SET));
  EXPECT_FALSE(stream.PutC(1));
  EXPECT_EQ(stream.Buffer(), block);
  ASSERT_TRUE(stream.Seek(0, SEEK_SET));
  EXPECT_EQ(stream.Write(bytes.data(), 0x10001, 0xFFFF), 0u);  // product past 32 bits
  EXPECT_EQ(stream.Capacity(), 64u);
  EXPECT_EQ(stream.Size(), 64);
  EXPECT_FALSE(stream.FreesOnClose());
  std::free(block);  // never grown, so still the caller's
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(CxMemFileWriteDeathTest, FailedGrowthFailsTheWriteAndKeepsTheBlock) {
  // In a child process with little address space, growing to 256 MB cannot succeed.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        CxMemFile stream(static_cast<uint8_t*>(std::malloc(4096)), 4096);
        std::memset(stream.Buffer(), 0x5A, 4096);
        uint8_t* const block = stream.Buffer();
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = 128u << 20;
        setrlimit(RLIMIT_AS, &limit);
        stream.Seek((256 << 20) - 1, SEEK_SET);
        const uint8_t byte = 1;
        const bool refused = stream.Write(&byte, 1, 1) == 0 && !stream.PutC(1);
        const bool kept = stream.Buffer() == block && stream.Capacity() == 4096 &&
                          stream.Size() == 4096 && !stream.FreesOnClose() && block[4095] == 0x5A;
        std::exit(refused && kept ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}
#endif

TEST(CxMemFileCopy, ACopyNeverFreesOrMovesTheOriginalsBlock) {
  CxMemFile owner(HeapBlock(Bytes(8)), 8);
  ASSERT_TRUE(owner.Seek(8, SEEK_SET));
  ASSERT_TRUE(owner.PutC(9));  // grows: now the owner frees the block
  ASSERT_TRUE(owner.FreesOnClose());
  {
    CxMemFile copy(owner);
    EXPECT_FALSE(copy.FreesOnClose());
    EXPECT_EQ(copy.Buffer(), owner.Buffer());
    EXPECT_TRUE(copy.Close());
    EXPECT_EQ(copy.Buffer(), owner.Buffer());
  }
  {
    CxMemFile copy(owner);
    ASSERT_TRUE(copy.Seek(10000, SEEK_SET));
    ASSERT_TRUE(copy.PutC(1));  // growing a copy moves the copy, not the original
    EXPECT_NE(copy.Buffer(), owner.Buffer());
    EXPECT_TRUE(copy.FreesOnClose());
    EXPECT_EQ(copy.Buffer()[8], 9);
  }
  CxMemFile assigned;
  assigned = owner;
  EXPECT_FALSE(assigned.FreesOnClose());
  ASSERT_TRUE(owner.Seek(0, SEEK_SET));
  EXPECT_EQ(owner.GetC(), 1);  // the original's data survived every copy
}

TEST(CxMemFileEmpty, EveryOperationFailsWithoutABlock) {
  CxMemFile stream;
  uint8_t byte = 0;
  EXPECT_TRUE(stream.FreesOnClose());
  EXPECT_EQ(stream.Write(&byte, 1, 1), 0u);
  EXPECT_FALSE(stream.PutC(1));
  EXPECT_EQ(stream.Read(&byte, 1, 1), 0u);
  EXPECT_FALSE(stream.Seek(0, SEEK_SET));
  EXPECT_EQ(stream.Tell(), -1);
  EXPECT_EQ(stream.Size(), -1);
  EXPECT_FALSE(stream.Flush());
  EXPECT_TRUE(stream.Eof());
  EXPECT_EQ(stream.Error(), -1);
  EXPECT_EQ(stream.GetC(), -1);
  EXPECT_TRUE(stream.Close());
}

// ---------------------------------------------------------------------------------------------

class CxIOFileTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = testing::TempDir() + "cxiofile-" + std::to_string(getpid()) + ".bin";
    FILE* file = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite("0123456789", 1, 10, file);
    std::fclose(file);
  }
  void TearDown() override { std::remove(path_.c_str()); }
  std::string path_;
};

TEST_F(CxIOFileTest, AStreamAroundAnOpenFileNeverClosesIt) {
  FILE* file = std::fopen(path_.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  {
    CxIOFile stream(file);
    EXPECT_FALSE(stream.OwnsHandle());
    EXPECT_EQ(stream.GetC(), '0');
    EXPECT_TRUE(stream.Close());  // not owned: stays open
    EXPECT_EQ(stream.Handle(), file);
    CxIOFile copy(stream);
    EXPECT_FALSE(copy.OwnsHandle());
  }
  EXPECT_EQ(std::fgetc(file), '1');  // still open after both streams are gone
  std::fclose(file);
}

TEST_F(CxIOFileTest, OpenedFilesAreOwnedAndClosedOnce) {
  CxIOFile stream;
  EXPECT_TRUE(stream.OwnsHandle());
  ASSERT_TRUE(stream.Open(path_.c_str(), "rb"));
  FILE* const handle = stream.Handle();
  EXPECT_FALSE(stream.Open(path_.c_str(), "rb"));  // already open: the old handle stays
  EXPECT_EQ(stream.Handle(), handle);
  {
    CxIOFile copy(stream);  // a copy never owns, so destroying it closes nothing
    EXPECT_FALSE(copy.OwnsHandle());
    EXPECT_EQ(copy.Size(), 10);
  }
  CxIOFile assigned;
  assigned = stream;
  EXPECT_FALSE(assigned.OwnsHandle());
  EXPECT_EQ(stream.GetC(), '0');
  EXPECT_TRUE(stream.Close());
  EXPECT_EQ(stream.Handle(), nullptr);
}

TEST_F(CxIOFileTest, AssigningOverAnOwnedFileClosesIt) {
  CxIOFile first;
  ASSERT_TRUE(first.Open(path_.c_str(), "rb"));
  CxIOFile second;
  ASSERT_TRUE(second.Open(path_.c_str(), "rb"));
  first = second;  // first's own file is closed here, not leaked
  EXPECT_EQ(first.Handle(), second.Handle());
  EXPECT_FALSE(first.OwnsHandle());
}

TEST_F(CxIOFileTest, SizeLeavesThePositionWhereItWas) {
  CxIOFile stream;
  ASSERT_TRUE(stream.Open(path_.c_str(), "rb"));
  char buffer[3];
  ASSERT_EQ(stream.Read(buffer, 1, 3), 3u);
  EXPECT_EQ(stream.Size(), 10);
  EXPECT_EQ(stream.Tell(), 3);
  EXPECT_EQ(stream.GetC(), '3');
}

TEST(CxIOFileEmpty, TellIsZeroButSizeIsMinusOneWithoutAHandle) {
  CxIOFile stream;
  char byte = 0;
  EXPECT_EQ(stream.Tell(), 0);
  EXPECT_EQ(stream.Size(), -1);
  EXPECT_EQ(stream.Error(), -1);
  EXPECT_TRUE(stream.Eof());
  EXPECT_EQ(stream.Read(&byte, 1, 1), 0u);
  EXPECT_EQ(stream.GetC(), -1);
  EXPECT_TRUE(stream.Close());
}

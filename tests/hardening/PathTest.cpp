// Paths that name no picture file: a missing file, a directory, a named pipe. Loading fails at
// once with the holder empty; nothing blocks waiting for data that will never come.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include "AllocationProbe.h"
#include "HardeningSupport.h"
#include "TempDir.h"
#include "image/CxImage.h"
#include "image/EngraveImage.h"

namespace hardening {
namespace {

constexpr const char* kExtensions[] = {"jpg", "bmp", "png", "gif", "wbmp", "wmf", "txt"};

TEST(PicturePath, AMissingFileFailsAndLeavesTheLastErrorAlone) {
  TempDir dir;
  for (uint32_t code = 0; code <= 7; ++code) {
    CxImage image;
    image.SetLastError("before");
    const std::string path = dir.File("missing.jpg");
    EXPECT_FALSE(image.LoadFile(path.c_str(), code)) << code;
    EXPECT_STREQ(image.LastErrorText(), "before") << code;
    EXPECT_FALSE(image.IsLoaded());
  }
}

TEST(PicturePath, ADirectoryIsNoPicture) {
  TempDir dir;
  EngraveImage holder;
  for (const char* extension : kExtensions) {
    const std::string path = dir.File(std::string("folder.") + extension);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    AllocationProbe probe;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(holder.LoadPicture(path)) << extension;
    EXPECT_EQ(holder.Picture(), nullptr) << extension;
    for (uint32_t code = 0; code <= 6; ++code) {
      CxImage image;
      EXPECT_FALSE(image.LoadFile(path.c_str(), code)) << extension << " code " << code;
      EXPECT_FALSE(image.IsLoaded());
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed.count(), 2.0) << extension;
    // A directory's "size" can be anything its file system likes; nothing may be sized by it.
    EXPECT_LT(probe.Largest(), 16u << 20) << extension;
  }
}

TEST(PicturePath, ANamedPipeDoesNotBlockTheLoad) {
  TempDir dir;
  const std::string path = dir.File("pipe.jpg");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  auto load = std::async(std::launch::async, [&] {
    EngraveImage holder;
    return holder.LoadPicture(path);
  });
  const bool finished = load.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!finished) {
    ADD_FAILURE() << "loading a named pipe blocked";
    // Release every blocked open (the load may open the file more than once) so the test ends.
    for (int i = 0; i < 1000; ++i) {
      const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) close(writer);
      if (load.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready) break;
    }
  }
  EXPECT_FALSE(load.get());
}

}  // namespace
}  // namespace hardening

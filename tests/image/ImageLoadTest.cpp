#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "JpegTestSupport.h"
#include "TempDir.h"
#include "image/CxImage.h"
#include "image/CxMemFile.h"
#include "image/EngraveImage.h"

namespace {

class ImageLoadTest : public testing::Test {
 protected:
  void SetUp() override {
    JpegRecipe recipe;
    recipe.width = 30;
    recipe.height = 20;
    jpeg_ = CompressJpeg(recipe);
  }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir_.File(name);
    WriteWholeFile(path, bytes);
    return path;
  }

  TempDir dir_;
  std::vector<uint8_t> jpeg_;
  const std::vector<uint8_t> text_ = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
};

}  // namespace

TEST(EngraveImageNames, ExtensionIsTheTextAfterTheLastDot) {
  EXPECT_EQ(EngraveImage::ExtensionOf("/photos/cat.jpg"), "jpg");
  EXPECT_EQ(EngraveImage::ExtensionOf("cat.tar.JPEG"), "JPEG");
  EXPECT_EQ(EngraveImage::ExtensionOf("/photos/cat"), "");
  EXPECT_EQ(EngraveImage::ExtensionOf("cat."), "");
  EXPECT_EQ(EngraveImage::ExtensionOf("/my.photos/cat"), "photos/cat");
}

TEST(EngraveImageNames, ExtensionTableKeepsItsOddCodes) {
  const std::pair<const char*, uint32_t> table[] = {
      {"bmp", 1}, {"jpg", 3},  {"jpeg", 3}, {"gif", 2}, {"png", 4}, {"ico", 5}, {"tga", 6},
      {"pcx", 7}, {"wbmp", 8}, {"wmf", 9},  {"emf", 9}, {"txt", 0}, {"JPG", 0}, {"", 0},
  };
  for (const auto& [extension, code] : table) {
    EXPECT_EQ(EngraveImage::FormatFromExtension(extension), code) << extension;
  }
}

TEST(EngraveImageHolder, IsOneProcessWideObject) {
  EXPECT_EQ(&TheEngraveImage(), &TheEngraveImage());
}

TEST_F(ImageLoadTest, LoadsJpegsByExtensionInAnyCase) {
  for (const char* name : {"photo.jpg", "photo.JPG", "photo.Jpeg"}) {
    EngraveImage holder;
    ASSERT_TRUE(holder.LoadPicture(Write(name, jpeg_))) << name;
    ASSERT_NE(holder.Picture(), nullptr);
    EXPECT_EQ(holder.Picture()->ImageWidth(), 30u);
    EXPECT_EQ(holder.Picture()->FormatCode(), 3u);
  }
}

TEST_F(ImageLoadTest, AJpegWithAnotherFormatsNameStillLoadsThroughTheFallback) {
  for (const char* name : {"photo.png", "photo.bmp", "photo.pcx", "photo.dat"}) {
    EngraveImage holder;
    EXPECT_TRUE(holder.LoadPicture(Write(name, jpeg_))) << name;
  }
}

TEST_F(ImageLoadTest, PathsWithoutExtensionFailAtOnce) {
  EngraveImage holder;
  EXPECT_FALSE(holder.LoadPicture(Write("photo", jpeg_)));
  EXPECT_FALSE(holder.LoadPicture(Write("photo.", jpeg_)));
  EXPECT_EQ(holder.Picture(), nullptr);
}

TEST_F(ImageLoadTest, AFailedLoadLeavesTheHolderEmpty) {
  EngraveImage holder;
  ASSERT_TRUE(holder.LoadPicture(Write("good.jpg", jpeg_)));
  EXPECT_FALSE(holder.LoadPicture(Write("bad.jpg", text_)));
  EXPECT_EQ(holder.Picture(), nullptr);
  EXPECT_FALSE(holder.LoadPicture(dir_.File("missing.jpg")));
  EXPECT_EQ(holder.Picture(), nullptr);
}

TEST_F(ImageLoadTest, LastErrorTellsWhichAttemptFailed) {
  // Code 0: the fallback's own message.
  CxImage unknown(Write("notes.txt", text_).c_str(), 0);
  EXPECT_FALSE(unknown.IsLoaded());
  EXPECT_STREQ(unknown.LastErrorText(), "Decode: Unknown or wrong format");

  // A typed attempt: its message survives the failed fallback.
  CxImage typed(Write("notes.jpg", text_).c_str(), 3);
  EXPECT_FALSE(typed.IsLoaded());
  EXPECT_EQ(std::string(typed.LastErrorText()).rfind("Not a JPEG file", 0), 0u)
      << typed.LastErrorText();
  CxImage empty(Write("empty.jpg", {}).c_str(), 3);
  EXPECT_STREQ(empty.LastErrorText(), "Empty input file");

  // Codes that name no decoder make no typed attempt: nothing to report.
  for (const uint32_t code : {7u, 8u, 9u}) {
    CxImage odd(Write("notes.wbmp", text_).c_str(), code);
    EXPECT_FALSE(odd.IsLoaded());
    EXPECT_STREQ(odd.LastErrorText(), "") << code;
  }
}

TEST_F(ImageLoadTest, OnlyRegularFilesAreOpened) {
  // A named pipe would block the open until a writer came; a device never ends.
  const std::string pipe = dir_.File("pipe.jpg");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  auto load = std::async(std::launch::async, [&] { return CxImage(pipe.c_str(), 3).IsLoaded(); });
  if (load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "opening a named pipe blocked";
    for (int i = 0;
         i < 100 && load.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready;
         ++i) {
      const int writer = open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) close(writer);
    }
  }
  EXPECT_FALSE(load.get());

  CxImage device;
  device.SetLastError("before");
  EXPECT_FALSE(device.LoadFile("/dev/zero", 0));
  EXPECT_STREQ(device.LastErrorText(), "before");  // treated as a file that cannot be opened
  EngraveImage holder;
  EXPECT_FALSE(holder.LoadPicture(dir_.File(".")));
}

TEST_F(ImageLoadTest, AFileThatCannotBeOpenedLeavesLastErrorUntouched) {
  CxImage image;
  image.SetLastError("before");
  EXPECT_FALSE(image.LoadFile(dir_.File("missing.jpg").c_str(), 3));
  EXPECT_STREQ(image.LastErrorText(), "before");
  EXPECT_FALSE(image.LoadFile(dir_.File("missing.jpg").c_str(), 0));
  EXPECT_STREQ(image.LastErrorText(), "before");
}

TEST_F(ImageLoadTest, DecodeDispatchesByCodeAndFallsBackFromTheStartPosition) {
  CxImage image;
  CxMemFile stream(const_cast<uint8_t*>(text_.data()), uint32_t(text_.size()));
  EXPECT_FALSE(image.Decode(stream, 7));
  EXPECT_STREQ(image.LastErrorText(), "Decode: Unknown or wrong format");

  // The picture starts after a prefix: every attempt must begin at that position.
  std::vector<uint8_t> prefixed = {'x', 'y', 'z'};
  prefixed.insert(prefixed.end(), jpeg_.begin(), jpeg_.end());
  CxMemFile shifted(prefixed.data(), uint32_t(prefixed.size()));
  ASSERT_TRUE(shifted.Seek(3, SEEK_SET));
  ASSERT_TRUE(image.Decode(shifted, 0)) << image.LastErrorText();
  EXPECT_EQ(image.ImageWidth(), 30u);
  EXPECT_EQ(image.FormatCode(), 3u);
}

TEST_F(ImageLoadTest, DecodersHonourTheCallersInformationBlock) {
  CxImage image;
  image.MutableInfo().escape = -1;
  CxMemFile stream(jpeg_.data(), uint32_t(jpeg_.size()));
  ASSERT_TRUE(image.Decode(stream, 3));
  EXPECT_FALSE(image.IsLoaded());
  EXPECT_EQ(image.ImageWidth(), 30u);
  EXPECT_EQ(image.ImageHeight(), 20u);
}

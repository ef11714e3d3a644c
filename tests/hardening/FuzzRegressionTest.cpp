// Every input that once crashed or misled a fuzz target (fuzz/regressions/<target>/) replayed
// through the same road in the ordinary test builds, with the same promises checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "HardeningSupport.h"
#include "TempDir.h"
#include "image/CxExifReader.h"
#include "image/CxJpegDecoder.h"
#include "image/CxMemFile.h"
#include "profile/ProfileStore.h"

namespace hardening {
namespace {

std::vector<std::string> RegressionInputs(const std::string& target) {
  std::vector<std::string> files;
  const std::filesystem::path folder = SourceFile("fuzz/regressions/" + target);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

struct DecoderTarget {
  const char* name;
  uint32_t formatCode;
};

class DecoderRegression : public ::testing::TestWithParam<DecoderTarget> {};

TEST_P(DecoderRegression, EveryReproducerNowDecodesOrFailsCleanly) {
  const std::vector<std::string> files = RegressionInputs(GetParam().name);
  if (files.empty()) GTEST_SKIP() << "no reproducers for " << GetParam().name;
  for (const std::string& file : files) {
    const Bytes bytes = ReadBytes(file);
    const std::string name = std::filesystem::path(file).filename().string();
    // The JPEG target picks its option set from the input's length; replay that choice.
    static constexpr uint32_t kJpegOptionSets[] = {
        0, kCxJpegGrayscale, kCxJpegQuantize | kCxJpegNoFancyUpsampling,
        kCxJpegQuantize | kCxJpegDither | kCxJpegOnePassQuantize};
    Bytes copy(bytes);
    CxImage image;
    if (GetParam().formatCode == kCxFormatJpeg) {
      image.SetCodecOption(kJpegOptionSets[bytes.size() % 4], kCxFormatJpeg);
    }
    CxMemFile stream(copy.empty() ? nullptr : copy.data(), uint32_t(copy.size()));
    const bool decoded = image.Decode(stream, GetParam().formatCode);
    ExpectSound(image, decoded, GetParam().formatCode, name);
    DecodeChecked(bytes, GetParam().formatCode, name + " (dimensions only)", -1);
  }
}

INSTANTIATE_TEST_SUITE_P(FuzzTargets, DecoderRegression,
                         ::testing::Values(DecoderTarget{"fuzz_decode_any", kCxFormatUnknown},
                                           DecoderTarget{"fuzz_decode_bmp", kCxFormatBmp},
                                           DecoderTarget{"fuzz_decode_gif", kCxFormatGif},
                                           DecoderTarget{"fuzz_decode_jpeg", kCxFormatJpeg},
                                           DecoderTarget{"fuzz_decode_png", kCxFormatPng},
                                           DecoderTarget{"fuzz_decode_wbmp", kCxFormatWbmp},
                                           DecoderTarget{"fuzz_decode_metafile",
                                                         kCxFormatMetafile}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MarkerRegression, EveryReproducerWalksCleanly) {
  const std::vector<std::string> files = RegressionInputs("fuzz_jpeg_markers");
  if (files.empty()) GTEST_SKIP() << "no reproducers";
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    Bytes bytes = ReadBytes(file);
    for (const int mode :
         {int(CxExifReader::kReadExif), CxExifReader::kReadExif | CxExifReader::kReadImage}) {
      CxExifInfo info{};
      CxExifReader reader(&info);
      CxMemFile stream(bytes.empty() ? nullptr : bytes.data(), uint32_t(bytes.size()));
      reader.DecodeExif(stream, mode);
      EXPECT_LE(reader.SectionCount(), 20u);
      EXPECT_NE(std::memchr(info.cameraMake, '\0', sizeof info.cameraMake), nullptr);
      EXPECT_NE(std::memchr(info.cameraModel, '\0', sizeof info.cameraModel), nullptr);
      EXPECT_GE(info.orientation, 0);
      EXPECT_LE(info.orientation, 8);
    }
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), "Exif", 4) == 0) {
      CxExifInfo info{};
      CxExifReader reader(&info);
      reader.ProcessExif(bytes.data(), uint32_t(bytes.size()));
      EXPECT_GE(info.orientation, 0);
      EXPECT_LE(info.orientation, 8);
    }
  }
}

TEST(ProfileRegression, EveryReproducerKeepsTheFileOrSavesALoadableOne) {
  const std::vector<std::string> files = RegressionInputs("fuzz_profile");
  if (files.empty()) GTEST_SKIP() << "no reproducers";
  TempDir dir;
  const std::string path = dir.File("profile.xml");
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const Bytes original = ReadBytes(file);
    WriteBytes(path, original);
    bool loadFailed = false;
    {
      profile::ProfileStore store(path);
      loadFailed = store.LoadFailed();
      for (const char* key :
           {"YStepOver", "Length", "Width", "FeedRate", "Inverse", "MaintainAspectRatio"}) {
        store.ReadString("Engraving", key, "10.0");
      }
      store.WriteString("Engraving", "Width", "3.5");
    }
    if (loadFailed) {
      EXPECT_EQ(ReadBytes(path), original);
      continue;
    }
    profile::ProfileStore again(path);
    EXPECT_FALSE(again.LoadFailed());
    EXPECT_EQ(again.ReadString("Engraving", "Width", ""), "3.5");
  }
}

}  // namespace
}  // namespace hardening

// Walks the marker sections at the head of a JPEG file and reads the EXIF block, for the
// resolution and the orientation (and the camera facts that come with them). Its messages stay
// in the reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CxFile;

struct CxExifInfo {
  char cameraMake[32];
  char cameraModel[40];
  int32_t orientation;  // 1..8 from the main directory (IFD0), 0 when absent or undefined
  float xResolution;
  float yResolution;
  float resolutionUnit;  // factor from the unit to inches; 0 when the file gives none
  float focalPlaneXResolution;
  float focalPlaneYResolution;
  float focalPlaneUnits;
  float sensorWidth;       // derived from the focal-plane resolution, 0 when unknown
  int32_t exifImageWidth;  // the larger of the EXIF image dimensions seen
  bool isExif;             // an EXIF block was read completely
  std::string comment;
  uint32_t thumbnailOffset;
  uint32_t thumbnailSize;
  // From the frame header (SOF) of the walk.
  int32_t frameWidth;
  int32_t frameHeight;
  int32_t process;  // the SOF marker
};

class CxExifReader {
 public:
  enum ReadMode : int {
    kReadExif = 1,   // parse EXIF and keep the first comment
    kReadImage = 2,  // also read the compressed data after the scan header
  };

  explicit CxExifReader(CxExifInfo* info);

  // Reads the sections from the stream's position (which must hold FF D8) up to the scan
  // header. Returns false when the walk stops early; the EXIF record may still be filled.
  bool DecodeExif(CxFile& stream, int readMode = kReadExif);
  // Parses one APP1 block that starts with "Exif"; true when it was read completely.
  bool ProcessExif(const uint8_t* block, uint32_t length);

  const std::string& LastMessage() const { return message_; }
  size_t SectionCount() const { return sections_.size(); }

 private:
  struct Section {
    int marker;
    std::vector<uint8_t> data;  // including the two length bytes
  };
  struct Block;  // the TIFF data of one EXIF block being parsed

  bool ReadSection(CxFile& stream, int readMode, bool& finished);
  bool KeepSection(int marker, std::vector<uint8_t>&& data);
  bool ProcessDirectory(const Block& block, uint32_t offset, int depth);
  bool ProcessEntry(const Block& block, const uint8_t* entry, int depth);
  bool Fail(const char* message);

  CxExifInfo* info_;
  std::vector<Section> sections_;
  std::string message_;
  bool commentSeen_ = false;
  int directoriesRead_ = 0;
};

// File loading and the format dispatch: the only place that knows every decoder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <type_traits>

#include "image/CxBmpDecoder.h"
#include "image/CxGifDecoder.h"
#include "image/CxIOFile.h"
#include "image/CxImage.h"
#include "image/CxJpegDecoder.h"
#include "image/CxMetafileDecoder.h"
#include "image/CxPngDecoder.h"
#include "image/CxWbmpDecoder.h"

namespace {

constexpr const char* kUnknownFormat = "Decode: Unknown or wrong format";

// Runs one decoder over the stream with the caller's information block (so escape, codec
// options, scale and frame index apply) and takes its picture over on success.
template <typename Decoder>
bool DecodeWith(CxImage& target, CxFile& stream) {
  Decoder decoder;
  CxImageInfo& info = decoder.MutableInfo();
  info = target.Info();
  // The pointers in the copied block describe the caller's pixels, not the decoder's.
  info.pixels = nullptr;
  info.borrowed = nullptr;
  info.rowStride = 0;
  info.nearestValid = false;
  bool decoded = false;
  try {
    decoded = decoder.Read(stream);
  } catch (const std::exception& error) {
    decoder.SetLastError(error.what());
  } catch (...) {
    decoder.SetLastError("Decode: decoder failed");
  }
  if (decoded) return target.TakeOver(decoder);
  target.SetLastError(decoder.LastErrorText());
  if constexpr (std::is_same_v<Decoder, CxGifDecoder>) {
    target.MutableInfo().frameCount = decoder.Info().frameCount;
  }
  return false;
}

bool DecodeFormat(CxImage& target, CxFile& stream, uint32_t formatCode) {
  switch (formatCode) {
    case kCxFormatBmp:
      return DecodeWith<CxBmpDecoder>(target, stream);
    case kCxFormatGif:
      return DecodeWith<CxGifDecoder>(target, stream);
    case kCxFormatJpeg:
      return DecodeWith<CxJpegDecoder>(target, stream);
    case kCxFormatPng:
      return DecodeWith<CxPngDecoder>(target, stream);
    case kCxFormatWbmp:
      return DecodeWith<CxWbmpDecoder>(target, stream);
    case kCxFormatMetafile:
      return DecodeWith<CxMetafileDecoder>(target, stream);
    default:
      return false;
  }
}

// Opens a picture for binary reading. Only regular files qualify: opening a named pipe waits
// for a writer, and a device can deliver bytes for ever, either of which would hang the dialog.
FILE* OpenPicture(const char* path) {
  if (path == nullptr) return nullptr;
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    return nullptr;
  }
  fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
  FILE* file = fdopen(descriptor, "rb");
  if (file == nullptr) close(descriptor);
  return file;
}

// Decodes one open file through a stream that leaves closing to us.
bool DecodeFile(CxImage& target, const char* path, uint32_t formatCode, bool& opened) {
  FILE* file = OpenPicture(path);
  opened = file != nullptr;
  if (!opened) return false;
  bool decoded = false;
  {
    CxIOFile stream(file);
    decoded = target.Decode(stream, formatCode);
  }
  std::fclose(file);
  return decoded;
}

}  // namespace

bool CxImage::Decode(CxFile& stream, uint32_t formatCode) {
  if (formatCode >= 1 && formatCode <= 6) return DecodeFormat(*this, stream, formatCode);
  if (formatCode != 0) {
    SetLastError(kUnknownFormat);
    return false;
  }
  static constexpr uint32_t kFallbackOrder[] = {kCxFormatBmp, kCxFormatJpeg, kCxFormatGif,
                                                kCxFormatPng, kCxFormatWbmp, kCxFormatMetafile};
  const int32_t start = stream.Tell();
  for (const uint32_t code : kFallbackOrder) {
    if (DecodeFormat(*this, stream, code)) return true;
    stream.Seek(start, SEEK_SET);
  }
  SetLastError(kUnknownFormat);
  return false;
}

bool CxImage::LoadFile(const char* path, uint32_t formatCode) {
  bool opened = false;
  if (formatCode > 0 && formatCode < 7) {
    if (DecodeFile(*this, path, formatCode, opened)) return true;
    if (!opened) return false;
  }
  char keptError[sizeof(info_.lastError)];
  std::memcpy(keptError, info_.lastError, sizeof(keptError));

  const bool decoded = DecodeFile(*this, path, 0, opened);
  if (!opened) return false;
  // The typed attempt's reason (or none, for codes that name no decoder) is the one worth
  // keeping: the fallback only ever says the format is unknown.
  if (!decoded && formatCode > 0) SetLastError(keptError);
  return decoded;
}

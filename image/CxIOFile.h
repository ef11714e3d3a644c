// A byte stream over a C library FILE.
#pragma once

#include <cstdio>

#include "image/CxFile.h"

class CX_EXPORT CxIOFile : public CxFile {
 public:
  // A stream around an existing file never closes it; one made empty owns what Open gives it.
  explicit CxIOFile(FILE* handle = nullptr);
  // A copy never owns the handle, so the handle is closed at most once.
  CxIOFile(const CxIOFile& other);
  CxIOFile& operator=(const CxIOFile& other);
  ~CxIOFile() override;

  bool Open(const char* name, const char* mode);
  bool Close() override;
  uint32_t Read(void* buffer, uint32_t size, uint32_t count) override;
  uint32_t Write(const void* buffer, uint32_t size, uint32_t count) override;
  bool Seek(int32_t offset, int origin) override;
  int32_t Tell() override;
  int32_t Size() override;
  bool Flush() override;
  bool Eof() override;
  int32_t Error() override;
  bool PutC(uint8_t byte) override;
  int32_t GetC() override;

  FILE* Handle() const { return handle_; }
  bool OwnsHandle() const { return ownsHandle_; }

 private:
  FILE* handle_;
  bool ownsHandle_;
};

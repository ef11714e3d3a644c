// The abstract byte stream that every decoder reads through, so that one decoder serves both
// C library files (CxIOFile) and memory blocks (CxMemFile).
#pragma once

#include <cstdint>

#include "image/Export.h"

class CX_EXPORT CxFile {
 public:
  CxFile() = default;
  CxFile(const CxFile&) {}
  CxFile& operator=(const CxFile&) { return *this; }
  virtual ~CxFile();

  virtual bool Close() = 0;
  // Returns the number of whole items read.
  virtual uint32_t Read(void* buffer, uint32_t size, uint32_t count) = 0;
  virtual uint32_t Write(const void* buffer, uint32_t size, uint32_t count) = 0;
  // origin: 0 from the start, 1 from the current position, 2 from the end.
  virtual bool Seek(int32_t offset, int origin) = 0;
  virtual int32_t Tell() = 0;
  virtual int32_t Size() = 0;
  virtual bool Flush() = 0;
  virtual bool Eof() = 0;
  virtual int32_t Error() = 0;
  virtual bool PutC(uint8_t byte);
  // The next byte 0..255, or -1.
  virtual int32_t GetC() = 0;
};

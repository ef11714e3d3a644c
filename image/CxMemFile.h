// A byte stream over a block of memory that grows in steps of 4096 bytes when written past its
// capacity.
#pragma once

#include "image/CxFile.h"

class CX_EXPORT CxMemFile : public CxFile {
 public:
  // A block handed in must come from the C heap (malloc) if writes may grow it.
  explicit CxMemFile(uint8_t* block = nullptr, uint32_t size = 0);
  // A copy never frees the block, so the block is freed at most once.
  CxMemFile(const CxMemFile& other);
  CxMemFile& operator=(const CxMemFile& other);
  ~CxMemFile() override;

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

  uint8_t* Buffer() const { return buffer_; }
  uint32_t Capacity() const { return capacity_; }
  bool FreesOnClose() const { return freeOnClose_; }

 private:
  // Makes room for at least length bytes; false (nothing changed) when memory runs out or
  // the length does not fit the 32-bit fields.
  bool Grow(uint64_t length);
  // Room for length more bytes at the position; false when they cannot be had.
  bool MakeRoom(uint64_t length);

  uint8_t* buffer_;
  int32_t size_;
  bool freeOnClose_;
  int32_t position_;
  uint32_t capacity_;
  // Set in copies: the block belongs to the stream copied from, so growing must not move it.
  bool sharesBlock_ = false;
};

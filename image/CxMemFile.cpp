#include "image/CxMemFile.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {
constexpr uint64_t kMaxLength = uint64_t(std::numeric_limits<int32_t>::max());
}

CxMemFile::CxMemFile(uint8_t* block, uint32_t size)
    : buffer_(block),
      size_(int32_t(std::min<uint64_t>(size, kMaxLength))),
      freeOnClose_(block == nullptr),
      position_(0),
      capacity_(size) {}

CxMemFile::CxMemFile(const CxMemFile& other)
    : CxFile(other),
      buffer_(other.buffer_),
      size_(other.size_),
      freeOnClose_(false),
      position_(other.position_),
      capacity_(other.capacity_),
      sharesBlock_(other.buffer_ != nullptr) {}

CxMemFile& CxMemFile::operator=(const CxMemFile& other) {
  if (this == &other) return *this;
  if (buffer_ != other.buffer_) Close();
  buffer_ = other.buffer_;
  size_ = other.size_;
  freeOnClose_ = false;
  position_ = other.position_;
  capacity_ = other.capacity_;
  sharesBlock_ = other.buffer_ != nullptr;
  return *this;
}

CxMemFile::~CxMemFile() {
  Close();
}

bool CxMemFile::Close() {
  if (buffer_ != nullptr && freeOnClose_) {
    std::free(buffer_);
    buffer_ = nullptr;
    size_ = 0;
  }
  return true;
}

uint32_t CxMemFile::Read(void* buffer, uint32_t size, uint32_t count) {
  if (buffer == nullptr || buffer_ == nullptr || position_ >= size_) return 0;
  const uint64_t wanted = uint64_t(size) * count;
  if (wanted == 0) return 0;
  const uint64_t n = std::min<uint64_t>(wanted, uint64_t(size_ - position_));
  std::memcpy(buffer, buffer_ + position_, n);
  position_ += int32_t(n);
  return uint32_t(n / size);
}

bool CxMemFile::Grow(uint64_t length) {
  if (length <= capacity_) return true;
  const uint64_t capacity = (length & ~uint64_t(0xFFF)) + 4096;
  if (capacity > std::numeric_limits<uint32_t>::max()) return false;
  uint8_t* block = nullptr;
  if (buffer_ == nullptr || sharesBlock_) {
    block = static_cast<uint8_t*>(std::malloc(capacity));
    if (block != nullptr && buffer_ != nullptr) {
      std::memcpy(block, buffer_, std::min<uint64_t>(capacity_, uint64_t(size_)));
    }
  } else {
    block = static_cast<uint8_t*>(std::realloc(buffer_, capacity));
  }
  // A failed (re)allocation leaves the old block, its capacity and its owner as they were.
  if (block == nullptr) return false;
  buffer_ = block;
  capacity_ = uint32_t(capacity);
  freeOnClose_ = true;
  sharesBlock_ = false;
  return true;
}

bool CxMemFile::MakeRoom(uint64_t length) {
  const uint64_t end = uint64_t(position_) + length;
  if (end > kMaxLength || !Grow(end)) return false;
  // Bytes skipped by a seek past the end become part of the data: make them zero rather than
  // whatever the heap held.
  if (position_ > size_) std::memset(buffer_ + size_, 0, size_t(position_ - size_));
  return true;
}

uint32_t CxMemFile::Write(const void* buffer, uint32_t size, uint32_t count) {
  if (buffer_ == nullptr || buffer == nullptr) return 0;
  const uint64_t n = uint64_t(size) * count;
  if (n == 0 || !MakeRoom(n)) return 0;
  std::memcpy(buffer_ + position_, buffer, n);
  position_ += int32_t(n);
  size_ = std::max(size_, position_);
  return count;
}

bool CxMemFile::Seek(int32_t offset, int origin) {
  if (buffer_ == nullptr) return false;
  int64_t target = 0;
  switch (origin) {
    case 0:
      target = offset;
      break;
    case 1:
      target = int64_t(position_) + offset;
      break;
    case 2:
      target = int64_t(size_) + offset;
      break;
    default:
      return false;
  }
  position_ = int32_t(std::clamp<int64_t>(target, 0, int64_t(kMaxLength)));
  return true;
}

int32_t CxMemFile::Tell() {
  return buffer_ == nullptr ? -1 : position_;
}

int32_t CxMemFile::Size() {
  return buffer_ == nullptr ? -1 : size_;
}

bool CxMemFile::Flush() {
  return buffer_ != nullptr;
}

bool CxMemFile::Eof() {
  return buffer_ == nullptr || position_ >= size_;
}

int32_t CxMemFile::Error() {
  if (buffer_ == nullptr) return -1;
  return position_ > size_ ? 1 : 0;
}

bool CxMemFile::PutC(uint8_t byte) {
  if (buffer_ == nullptr || !MakeRoom(1)) return false;
  buffer_[position_++] = byte;
  size_ = std::max(size_, position_);
  return true;
}

int32_t CxMemFile::GetC() {
  if (Eof()) return -1;
  return buffer_[position_++];
}

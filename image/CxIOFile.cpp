#include "image/CxIOFile.h"

CxIOFile::CxIOFile(FILE* handle) : handle_(handle), ownsHandle_(handle == nullptr) {}

CxIOFile::CxIOFile(const CxIOFile& other)
    : CxFile(other), handle_(other.handle_), ownsHandle_(false) {}

CxIOFile& CxIOFile::operator=(const CxIOFile& other) {
  if (this == &other) return *this;
  // Whatever this stream owned is its own to close; the copied handle stays the other's.
  if (handle_ != other.handle_) Close();
  handle_ = other.handle_;
  ownsHandle_ = false;
  return *this;
}

CxIOFile::~CxIOFile() {
  Close();
}

bool CxIOFile::Open(const char* name, const char* mode) {
  if (handle_ != nullptr || name == nullptr || mode == nullptr) return false;
  handle_ = std::fopen(name, mode);
  if (handle_ == nullptr) return false;
  ownsHandle_ = true;
  return true;
}

bool CxIOFile::Close() {
  if (handle_ == nullptr || !ownsHandle_) return true;
  const int result = std::fclose(handle_);
  handle_ = nullptr;
  return result == 0;
}

uint32_t CxIOFile::Read(void* buffer, uint32_t size, uint32_t count) {
  if (handle_ == nullptr || buffer == nullptr) return 0;
  return uint32_t(std::fread(buffer, size, count, handle_));
}

uint32_t CxIOFile::Write(const void* buffer, uint32_t size, uint32_t count) {
  if (handle_ == nullptr || buffer == nullptr) return 0;
  return uint32_t(std::fwrite(buffer, size, count, handle_));
}

bool CxIOFile::Seek(int32_t offset, int origin) {
  if (handle_ == nullptr) return false;
  return std::fseek(handle_, offset, origin) == 0;
}

int32_t CxIOFile::Tell() {
  if (handle_ == nullptr) return 0;
  return int32_t(std::ftell(handle_));
}

int32_t CxIOFile::Size() {
  if (handle_ == nullptr) return -1;
  const long position = std::ftell(handle_);
  std::fseek(handle_, 0, SEEK_END);
  const long size = std::ftell(handle_);
  std::fseek(handle_, position, SEEK_SET);
  return int32_t(size);
}

bool CxIOFile::Flush() {
  if (handle_ == nullptr) return false;
  return std::fflush(handle_) == 0;
}

bool CxIOFile::Eof() {
  if (handle_ == nullptr) return true;
  return std::feof(handle_) != 0;
}

int32_t CxIOFile::Error() {
  if (handle_ == nullptr) return -1;
  return std::ferror(handle_);
}

bool CxIOFile::PutC(uint8_t byte) {
  if (handle_ == nullptr) return false;
  return std::fputc(byte, handle_) == byte;
}

int32_t CxIOFile::GetC() {
  if (handle_ == nullptr) return -1;
  return std::fgetc(handle_);
}

#include "image/CxFile.h"

CxFile::~CxFile() = default;

bool CxFile::PutC(uint8_t byte) {
  return Write(&byte, 1, 1) == 1;
}

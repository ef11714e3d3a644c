#include "host/InstallPaths.h"

#include <cstdio>
#include <filesystem>

#include "host/HostFiles.h"
#include "host/InstallConfig.h"

namespace host {

namespace fs = std::filesystem;

int PrintVersion(const char* program) {
  std::printf("%s %s\n", program, ENGRAVING_VERSION_TEXT);
  return 0;
}

std::string FindProgramFile(const std::string& name) {
  return FindProgramFile(name, ExecutableDir(), ENGRAVING_PRIVATE_DIR_FROM_BINDIR);
}

std::string FindProgramFile(const std::string& name, const std::string& programDir,
                            const std::string& privateDirFromProgramDir) {
  const fs::path beside = fs::path(programDir) / name;
  std::error_code error;
  if (fs::exists(beside, error)) return beside.string();
  return (fs::path(programDir) / privateDirFromProgramDir / name).lexically_normal().string();
}

}  // namespace host

#include "host/HostFiles.h"

#include <cstdlib>

namespace host {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

std::string ExecutableDir() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return bool(out);
}

UiLogTail::UiLogTail(std::string path) : path_(std::move(path)) {
  std::error_code error;
  const auto size = fs::file_size(path_, error);
  offset_ = error ? 0 : size;
}

std::string BitRanges(const uint32_t* words, long wordCount) {
  std::string text;
  const long count = wordCount * 32;
  auto isSet = [&](long bit) { return (words[bit / 32] >> (bit % 32)) & 1u; };
  for (long bit = 0; bit < count;) {
    if (bit % 32 == 0 && words[bit / 32] == 0) {
      bit += 32;
      continue;
    }
    if (!isSet(bit)) {
      ++bit;
      continue;
    }
    long last = bit;
    while (last + 1 < count && isSet(last + 1)) ++last;
    if (!text.empty()) text += ',';
    text += std::to_string(bit) + "-" + std::to_string(last);
    bit = last + 1;
  }
  return text;
}

std::string EstimatedTime(const std::string& text) {
  const std::string prefix = "Engraving time: ";
  if (text.rfind(prefix, 0) != 0) return "";
  const std::string rest = text.substr(prefix.size());
  const std::string time = rest.substr(0, rest.find(' '));
  return time.find(':') != std::string::npos ? time : "";
}

}  // namespace host

// Files around a host's run: a temporary folder, the program's own folder, the UI event log
// that the plug-in appends to, and the trace's bit ranges.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace host {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "host-sim");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  bool ok() const { return !path_.empty(); }

 private:
  std::filesystem::path path_;
};

// The folder of the running executable ("." when it cannot be found).
std::string ExecutableDir();

bool WriteText(const std::string& path, const std::string& text);

// Reads the lines the UI layer appends to ENGRAVING_UI_LOG, from where it stood at the start.
class UiLogTail {
 public:
  explicit UiLogTail(std::string path);
  template <typename Each>
  void ReadNew(Each each) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    in.seekg(std::streamoff(offset_));
    std::string line;
    while (std::getline(in, line)) {
      if (in.eof()) break;  // a line still being written: read it next time
      offset_ += line.size() + 1;
      std::vector<std::string> fields;
      std::stringstream split(line);
      for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
      if (!fields.empty()) each(line, fields);
    }
  }

 private:
  std::string path_;
  uint64_t offset_ = 0;
};

// The set bits of a buffer of words (bit j: word j / 32, bit j % 32) as ranges "a-b" joined
// by ",": the trace's format for a line's trigger bits and for the steps that fired.
std::string BitRanges(const uint32_t* words, long wordCount);

// "H:MM:SS" out of the dialog's "Engraving time: H:MM:SS (N lines)" (control 4191 in the UI
// log); empty without one.
std::string EstimatedTime(const std::string& text);

}  // namespace host

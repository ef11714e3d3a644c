// Points the plug-in's UI log at a fresh file and reads it back as lines of tab-separated
// fields.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"

class UiLog {
 public:
  explicit UiLog(const TempDir& dir) : path_(dir.File("ui.log")) {
    setenv("ENGRAVING_UI", "script", 1);
    setenv("ENGRAVING_UI_LOG", path_.c_str(), 1);
  }
  ~UiLog() { unsetenv("ENGRAVING_UI_LOG"); }

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFileText(path_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const std::string& line : Lines()) {
      if (line.rfind("message\t", 0) == 0) messages.push_back(line.substr(line.find('\t', 8) + 1));
    }
    return messages;
  }

 private:
  std::string path_;
};

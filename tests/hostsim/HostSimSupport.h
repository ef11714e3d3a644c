// What the host-sim tests share: running a command, and reading the lines, fields and bit
// ranges of what host-sim writes.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

struct Outcome {
  int exitCode = -1;
  std::string out;
};

inline Outcome RunCommand(const std::string& command) {
  Outcome outcome;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    outcome.out.append(buffer, n);
  const int status = pclose(pipe);
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
  if (!line.empty() && line.back() == separator) fields.emplace_back();
  return fields;
}

inline std::set<int> ExpandRanges(const std::string& ranges) {
  std::set<int> bits;
  for (const std::string& range : Split(ranges, ',')) {
    if (range.empty()) continue;
    const size_t dash = range.find('-');
    const int first = std::stoi(range.substr(0, dash));
    const int last = std::stoi(range.substr(dash + 1));
    for (int bit = first; bit <= last; ++bit) bits.insert(bit);
  }
  return bits;
}

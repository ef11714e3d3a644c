#include "lcnc/ResumeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace lcnc {

const std::array<ResumeField, 16> kResumeFields = {{
    {"width", 4165, ResumeField::Kind::kText},
    {"height", 4164, ResumeField::Kind::kText},
    {"feed", 4170, ResumeField::Kind::kText},
    {"stepover", 4167, ResumeField::Kind::kText},
    {"brightness", 4200, ResumeField::Kind::kText},
    {"contrast", 4201, ResumeField::Kind::kText},
    {"gamma", 4202, ResumeField::Kind::kText},
    {"pulse", 4186, ResumeField::Kind::kBox},
    // Ticked after the height is typed: the height is then the picture's, as it was.
    {"aspect", 4188, ResumeField::Kind::kBox},
    {"invert", 4187, ResumeField::Kind::kBox},
    {"dither", 4189, ResumeField::Kind::kBox},
    {"overscan", 4193, ResumeField::Kind::kText},
    {"skip-blank", 4195, ResumeField::Kind::kBox},
    {"pixels-x", 4180, ResumeField::Kind::kDerived},
    {"pixels-y", 4181, ResumeField::Kind::kDerived},
    {"trigger-line-length", 4184, ResumeField::Kind::kDerived},
}};

namespace {

constexpr char kHeader[] = "# engrave-lcnc: an interrupted engraving; engrave-lcnc resume goes on";

std::string FormatReal(double value) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;  // shortest exact
  return std::string(text, end);
}

template <typename Number>
bool ReadNumber(const std::string& text, Number* value, int base = 10) {
  const char* end = text.data() + text.size();
  std::from_chars_result result;
  if constexpr (std::is_floating_point_v<Number>)
    result = std::from_chars(text.data(), end, *value);
  else
    result = std::from_chars(text.data(), end, *value, base);
  return result.ec == std::errc() && result.ptr == end;
}

bool SyncFolder(const std::filesystem::path& folder) {
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

std::string Serialize(const ResumeRecord& record) {
  std::ostringstream out;
  char hash[32];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(record.pictureHash));
  out << kHeader << '\n'
      << "job " << record.job << '\n'
      << "picture " << record.picture << '\n'
      << "picture-bytes " << record.pictureBytes << '\n'
      << "picture-fnv1a64 " << hash << '\n'
      << "steps-per-unit-x " << FormatReal(record.stepsPerUnitX) << '\n'
      << "steps-per-unit-y " << FormatReal(record.stepsPerUnitY) << '\n';
  for (const ResumeField& field : kResumeFields) {
    const auto found = record.fields.find(field.controlId);
    if (found != record.fields.end()) out << field.key << ' ' << found->second << '\n';
  }
  out << "lines " << record.lines << '\n'
      << "line " << record.line << '\n'
      << "fired " << record.fired << '\n'
      << "state " << (record.running ? "running" : "stopped") << '\n'
      << "end\n";
  return out.str();
}

}  // namespace

std::string ResumePath(const std::string& profile) {
  return profile + ".resume";
}

bool FingerprintFile(const std::string& path, uint64_t* bytes, uint64_t* hash) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  uint64_t h = 14695981039346656037ull, count = 0;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    const std::streamsize n = in.gcount();
    for (std::streamsize i = 0; i < n; ++i) {
      h ^= static_cast<unsigned char>(buffer[i]);
      h *= 1099511628211ull;
    }
    count += uint64_t(n);
    if (!in) break;
  }
  if (in.bad()) return false;
  *bytes = count;
  *hash = h;
  return true;
}

bool WriteResumeFile(const std::string& path, const ResumeRecord& record, std::string* error) {
  if (record.picture.find('\n') != std::string::npos) {
    *error = "the picture's name holds a line break";
    return false;
  }
  const std::string text = Serialize(record);
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += size_t(n);
  }
  const bool synced = written == text.size() && fsync(fd) == 0;
  const int savedErrno = errno;
  close(fd);
  if (!synced || std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(synced ? errno : savedErrno);
    unlink(temporary.c_str());
    return false;
  }
  // The rename itself must survive a power cut too.
  SyncFolder(std::filesystem::path(path).parent_path());
  return true;
}

std::optional<ResumeRecord> ReadResumeFile(const std::string& path, std::string* error) {
  error->clear();
  std::ifstream in(path);
  if (!in) {
    if (errno != ENOENT) *error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  ResumeRecord record;
  std::string state;
  bool ended = false, hasJob = false, hasLine = false;
  for (std::string text; std::getline(in, text);) {
    if (text.empty() || text[0] == '#') continue;
    const size_t space = text.find(' ');
    const std::string key = text.substr(0, space);
    const std::string value = space == std::string::npos ? "" : text.substr(space + 1);
    bool read = true;
    if (key == "job") {
      read = hasJob = ReadNumber(value, &record.job);
    } else if (key == "picture") {
      record.picture = value;
    } else if (key == "picture-bytes") {
      read = ReadNumber(value, &record.pictureBytes);
    } else if (key == "picture-fnv1a64") {
      read = ReadNumber(value, &record.pictureHash, 16);
    } else if (key == "steps-per-unit-x") {
      read = ReadNumber(value, &record.stepsPerUnitX);
    } else if (key == "steps-per-unit-y") {
      read = ReadNumber(value, &record.stepsPerUnitY);
    } else if (key == "lines") {
      read = ReadNumber(value, &record.lines);
    } else if (key == "line") {
      read = hasLine = ReadNumber(value, &record.line);
    } else if (key == "fired") {
      read = ReadNumber(value, &record.fired);
    } else if (key == "state") {
      state = value;
    } else if (key == "end") {
      ended = true;
    } else {
      const auto field = std::find_if(kResumeFields.begin(), kResumeFields.end(),
                                      [&](const ResumeField& f) { return key == f.key; });
      if (field != kResumeFields.end()) record.fields[field->controlId] = value;
    }
    if (!read) {
      *error = path + ": \"" + text + "\" is not a value this file can hold";
      return std::nullopt;
    }
  }
  if (!ended || !hasJob || !hasLine || record.picture.empty() ||
      (state != "running" && state != "stopped") || record.line < 1 || record.fired < -1) {
    *error = path + " is not a whole resume record";
    return std::nullopt;
  }
  record.running = state == "running";
  return record;
}

ResumePlan PlanResume(const ResumeRecord& record, const ComponentRecord& component) {
  ResumePlan plan;
  plan.line = record.line;
  plan.afterStep = record.fired;
  if (component.job != 0 && component.job == record.job) {
    // The component counted what fired: exact. Lines are recorded before they are armed, so
    // its last move is the record's line or, when that was never armed, the one before.
    const long armedLine = component.line + 1;
    if (armedLine >= record.line) {
      plan.line = armedLine;
      plan.afterStep =
          armedLine == record.line ? std::max(record.fired, component.fired) : component.fired;
    } else if (record.running) {
      plan.afterStep = -1;  // saved ahead of a line that was never armed
    }
  } else if (record.running) {
    plan.line = record.line + 1;
    plan.afterStep = -1;
    plan.note = "line " + std::to_string(record.line) + " was firing when the engraving stopped" +
                (record.fired >= 0 ? " (past step " + std::to_string(record.fired) + ")" : "") +
                " and what it fired after that is not known: it counts as engraved, so that no "
                "dot fires twice";
  }
  plan.finished = record.lines > 0 && plan.line > record.lines;
  return plan;
}

std::string ComposeResumeScript(const ResumeRecord& record, const std::string& picture, long line) {
  std::string script = "# the dialog's answers to go on with an interrupted engraving\n";
  script += "file " + picture + "\n";
  for (const ResumeField& field : kResumeFields) {
    const auto found = record.fields.find(field.controlId);
    if (found == record.fields.end() || field.kind == ResumeField::Kind::kDerived) continue;
    const std::string id = std::to_string(field.controlId);
    if (field.kind == ResumeField::Kind::kBox)
      script += "check " + id + (found->second == "1" ? " 1\n" : " 0\n");
    else
      script += "set " + id + " " + found->second + "\n";
  }
  script += "set 4205 " + std::to_string(line) + "\n";
  script += "click 1\n";  // Start Scanning
  script += "click 6\n";  // Yes
  return script;
}

std::string SettingsDifference(const ResumeRecord& record,
                               const std::map<int, std::string>& shown) {
  for (const ResumeField& field : kResumeFields) {
    const auto expected = record.fields.find(field.controlId);
    if (expected == record.fields.end()) continue;
    const auto now = shown.find(field.controlId);
    const std::string value = now == shown.end() ? "(not shown)" : now->second;
    if (value != expected->second)
      return std::string(field.key) + " " + value + " (was " + expected->second + ")";
  }
  return "";
}

}  // namespace lcnc

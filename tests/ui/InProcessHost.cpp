#include "InProcessHost.h"

#include <sstream>

#include "engrave/EngraveThread.h"

namespace {

InProcessHost* gHost = nullptr;

int MenuRange(int) {
  return InProcessHost::kMenuCommand;
}
int ReceiveCode(const char* line) {
  if (gHost != nullptr) gHost->code.emplace_back(line);
  return 1;
}

}  // namespace

InProcessHost::InProcessHost() {
  gHost = this;
  driver->PrinterPortActive = 1;
  driver->MainWindow = this;
  motion.StepsPerUnitX = 100.0;
  motion.StepsPerUnitY = 100.0;
  motion.LineDone = 1;
  SetGetMenuRange(&MenuRange);
  SetCode(&ReceiveCode);
  InitControl(&control, 0, &motion, driver.get());
  SetProName(dir.File("profile.xml"));
  PostInitControl();
}

InProcessHost::~InProcessHost() {
  StopPlug();
  if (gHost == this) gHost = nullptr;
}

bool InProcessHost::TickUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Update();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool InProcessHost::WaitForDialogEnd() {
  const bool ended = TickUntil([] { return !engrave::DialogThreadRunning(); });
  Update();
  return ended;
}

std::vector<std::vector<std::string>> ReadUiLog(const std::string& path) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream text(ReadFileText(path));
  for (std::string line; std::getline(text, line);) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    lines.push_back(fields);
  }
  return lines;
}

bool LogHas(const std::string& path, const std::vector<std::string>& fields) {
  for (const auto& line : ReadUiLog(path)) {
    if (line.size() >= fields.size() && std::equal(fields.begin(), fields.end(), line.begin()))
      return true;
  }
  return false;
}

bool WaitForLog(const std::string& path, const std::vector<std::string>& fields,
                std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!LogHas(path, fields)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

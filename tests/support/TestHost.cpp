#include "TestHost.h"

#include <gtest/gtest.h>

namespace {

TestHost* gCurrent = nullptr;  // callbacks are plain function pointers

int GetMenuRangeCallback(int count) {
  EXPECT_EQ(count, 3);
  ++gCurrent->menuRangeCalls;
  return gCurrent->menuRangeAnswer;
}

int CodeCallback(const char* line) {
  gCurrent->code.emplace_back(line);
  return 1;
}

void DoButtonCallback(int16_t) {
  ADD_FAILURE() << "DoButton is never called";
}
void SetDroCallback(int16_t, double) {
  ADD_FAILURE() << "SetDRO is never called";
}
double GetDroCallback(int16_t) {
  ADD_FAILURE() << "GetDRO is never called";
  return 0;
}
bool GetLedCallback(int16_t) {
  ADD_FAILURE() << "GetLED is never called";
  return false;
}
void SetLedCallback(int16_t, bool) {
  ADD_FAILURE() << "SetLED is never called";
}

}  // namespace

int TestMenuBar::CreatePopup() {
  popups.emplace_back();
  return int(popups.size()) - 1;
}

bool TestMenuBar::InsertItem(int popup, int position, int commandId, const std::string& text) {
  if (popup < 0 || popup >= int(popups.size())) return false;
  auto& items = popups[popup].items;
  position = std::min<int>(std::max(position, 0), int(items.size()));
  items.insert(items.begin() + position, {commandId, text});
  return true;
}

bool TestMenuBar::AppendPopup(int popup, const std::string& title) {
  if (popup < 0 || popup >= int(popups.size())) return false;
  popups[popup].title = title;
  bar.push_back(popup);
  return true;
}

TestHost::TestHost(const std::string& modulePath) {
  handle = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) ADD_FAILURE() << "dlopen failed: " << dlerror();
  gCurrent = this;
  driver->MainWindow = &menu;
}

TestHost::~TestHost() {
  if (handle != nullptr) dlclose(handle);
  if (gCurrent == this) gCurrent = nullptr;
}

void* TestHost::Symbol(const char* name) const {
  void* symbol = handle != nullptr ? dlsym(handle, name) : nullptr;
  if (symbol == nullptr) ADD_FAILURE() << "missing export " << name;
  return symbol;
}

void TestHost::RegisterCallbacks() {
  Entry<void (*)(GetMenuRangeFn)>("SetGetMenuRange")(&GetMenuRangeCallback);
  Entry<void (*)(DoButtonFn)>("SetDoButton")(&DoButtonCallback);
  Entry<void (*)(SetDROFn)>("SetSetDRO")(&SetDroCallback);
  Entry<void (*)(GetDROFn)>("SetGetDRO")(&GetDroCallback);
  Entry<void (*)(GetLEDFn)>("SetGetLED")(&GetLedCallback);
  Entry<void (*)(SetLEDFn)>("SetSetLED")(&SetLedCallback);
  Entry<void (*)(CodeFn)>("SetCode")(&CodeCallback);
}

uint8_t TestHost::InitControl() {
  return Entry<uint8_t (*)(ControlState*, uint32_t, MotionState*, DriverState*)>("InitControl")(
      &control, 0x12345678u, &motion, driver.get());
}

std::string TestHost::SetProName(const std::string& profilePath) {
  const char* name = Entry<const char* (*)(std::string)>("SetProName")(profilePath);
  return name != nullptr ? std::string(name) : std::string("<null>");
}

void TestHost::PostInitControl() {
  Entry<void (*)()>("PostInitControl")();
}
void TestHost::Update() {
  Entry<void (*)()>("Update")();
}
void TestHost::Notify(int32_t id) {
  Entry<void (*)(int32_t)>("Notify")(id);
}
void TestHost::Reset() {
  Entry<void (*)()>("Reset")();
}
void TestHost::Config() {
  Entry<void (*)()>("Config")();
}
void TestHost::StopPlug() {
  Entry<void (*)()>("StopPlug")();
}

void TestHost::StartUp(const std::string& profilePath) {
  RegisterCallbacks();
  InitControl();
  SetProName(profilePath);
  PostInitControl();
}

void TestHost::MakeReadyForEngraving() {
  driver->PrinterPortActive = 1;
  motion.PositionX = 0.0;
  motion.PositionY = 0.0;
  motion.FileLoaded = 0;
  motion.StepsPerUnitX = 2000.0;
  motion.StepsPerUnitY = 2000.0;
}

std::vector<int> TestHost::SetBits() const {
  std::vector<int> bits;
  for (int word = 0; word < kTriggerWordCount; ++word) {
    for (int bit = 0; bit < 32; ++bit) {
      if (driver->TriggerBits[word] & (1u << bit)) bits.push_back(word * 32 + bit);
    }
  }
  return bits;
}

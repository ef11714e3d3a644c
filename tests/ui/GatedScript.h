// A script the test feeds one action at a time: until the next action is pushed the dialog sees
// a user still thinking, so it really stays open in between.
#pragma once

#include <deque>
#include <mutex>
#include <string>

#include "ui/Script.h"

class GatedScript final : public ui::ActionSource {
 public:
  Reply Next(bool (*accepts)(const ui::ScriptAction&), ui::ScriptAction& action) override {
    std::lock_guard lock(mutex_);
    if (actions_.empty()) return Reply::kPending;
    if (accepts != nullptr && !accepts(actions_.front())) return Reply::kNotAccepted;
    action = actions_.front();
    actions_.pop_front();
    return Reply::kAction;
  }
  void Push(const std::string& line) {
    std::lock_guard lock(mutex_);
    actions_.push_back(ui::ParseScriptLine(line, nullptr).value());
  }

 private:
  std::mutex mutex_;
  std::deque<ui::ScriptAction> actions_;
};

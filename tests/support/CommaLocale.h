// Switches the process to a locale whose decimal separator is a comma, as a host running in
// German would, building the locale into a temporary folder when the system has none.
#pragma once

#include <clocale>
#include <cstdlib>
#include <string>

#include "TempDir.h"

class CommaLocale {
 public:
  CommaLocale() {
    active_ = TrySet();
    if (!active_) {
      const std::string command =
          "localedef -i de_DE -f UTF-8 " + dir_.File("de_DE.UTF-8") + " >/dev/null 2>&1";
      if (std::system(command.c_str()) == 0) {
        setenv("LOCPATH", dir_.Path().c_str(), 1);
        active_ = TrySet();
      }
    }
  }
  ~CommaLocale() {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
  }
  bool Active() const { return active_; }

 private:
  static bool TrySet() {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) return false;
    return std::localeconv()->decimal_point[0] == ',';
  }
  TempDir dir_;
  bool active_ = false;
};

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

// The module's dynamic symbol table, demangled.
std::set<std::string> ExportedSymbols() {
  std::set<std::string> symbols;
  const std::string command =
      std::string("nm -D --defined-only -C ") + ENGRAVING_MODULE_PATH + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return symbols;
  char line[4096];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    text.erase(text.find_last_not_of('\n') + 1);
    // "ADDRESS TYPE NAME"
    const size_t second = text.find(' ', text.find(' ') + 1);
    if (second != std::string::npos) symbols.insert(text.substr(second + 1));
  }
  pclose(pipe);
  return symbols;
}

TEST(ExportsTest, OnlyTheEntryPointsAndTheImageAndStreamClassesAreVisible) {
  const std::set<std::string> entries = {"SetGetMenuRange",
                                         "SetDoButton",
                                         "SetSetDRO",
                                         "SetGetDRO",
                                         "SetGetLED",
                                         "SetSetLED",
                                         "SetCode",
                                         "InitControl",
                                         "SetProName",
                                         "PostInitControl",
                                         "Notify",
                                         "Update",
                                         "Reset",
                                         "Config",
                                         "StopPlug",
                                         "DoDwell",
                                         "JogOn",
                                         "JogOff",
                                         "Purge",
                                         "Probe",
                                         "Home",
                                         "DllRegisterServer",
                                         "DllUnregisterServer",
                                         "DllGetClassObject",
                                         "DllCanUnloadNow"};
  const std::set<std::string> symbols = ExportedSymbols();
  ASSERT_FALSE(symbols.empty());
  std::set<std::string> foundEntries;
  bool sawImageClass = false;
  for (const std::string& symbol : symbols) {
    if (entries.count(symbol)) {
      foundEntries.insert(symbol);
      continue;
    }
    const bool classSymbol = symbol.rfind("Cx", 0) == 0 || symbol.rfind("vtable for Cx", 0) == 0 ||
                             symbol.rfind("typeinfo for Cx", 0) == 0 ||
                             symbol.rfind("typeinfo name for Cx", 0) == 0;
    EXPECT_TRUE(classSymbol) << "unexpected export: " << symbol;
    sawImageClass = sawImageClass || symbol.rfind("CxImage::", 0) == 0;
  }
  EXPECT_EQ(foundEntries, entries);
  EXPECT_TRUE(sawImageClass);
}

}  // namespace

// Where the programs find the files they bring along, and the version they report. In a build
// folder the plug-in and the window program lie beside the programs; installed, they lie in a
// private folder found from the programs' own folder, so that no option is needed either way.
#pragma once

#include <string>

namespace host {

inline constexpr const char* kPluginFile = "Engraving.so";

// Prints "PROGRAM VERSION" for --version: the package's version or, for a development
// build, 0.0~dev and the commit; returns the exit status.
int PrintVersion(const char* program);

// The file NAME beside the running program when it is there, else in the private folder of
// the install the program belongs to; that path also when neither exists, so that an error
// names where the file was looked for.
std::string FindProgramFile(const std::string& name);

// The same from a given program folder and the way from it to the private folder.
std::string FindProgramFile(const std::string& name, const std::string& programDir,
                            const std::string& privateDirFromProgramDir);

// The plug-in that the hosts load when --plugin names none.
inline std::string DefaultPluginPath() {
  return FindProgramFile(kPluginFile);
}

}  // namespace host

// The command line shared by the hosts that engrave through the scripted dialog: host-sim and
// engrave-lcnc take the same engraving options and answer the dialog the same way, so that
// both fire the same steps for the same picture and settings.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct NumberOption {
  std::string text;  // as typed, handed to the dialog unchanged
  double value;
};

struct Options {
  std::string mode;
  std::string picture;
  NumberOption width{"10", 10.0};
  NumberOption height{"8", 8.0};
  NumberOption feed{"100", 100.0};
  NumberOption stepOver{"0.05", 0.05};
  bool aspect = false;
  bool pulse = false;
  bool dither = false;  // --dither: tick "Dithered (photo)"
  bool invert = false;  // --invert: tick "Inverted (Black  = On)"
  // --overscan D: typed into "Overscan"; --overscan auto: the dialog's "Auto" instead.
  std::optional<NumberOption> overscan;
  bool overscanAuto = false;
  bool skipBlank = false;  // --skip-blank: tick "Skip blank ends"
  // --brightness, --contrast, --gamma: typed into the picture adjustments' fields; without
  // them the fields stay as stored.
  std::optional<NumberOption> brightness, contrast, gamma;
  // --from-line K: the raster starts at line K (from 1, as the progress counts lines), typed
  // into "Start at line".
  long fromLine = 1;
  double stepsPerUnitX = 100.0;
  double stepsPerUnitY = 100.0;
  double accelerationX = 0.0;  // --accel-x (host-sim; engrave-lcnc reads the INI): 0 not known
  // The options given that change what the engraving fires or where (not the files written):
  // a resume takes every setting from its record instead.
  std::vector<std::string> settingsGiven;
  std::string profile, gcode, image, trace, plugin;
  std::string preview;  // --preview FILE.png: the dialog's view of the engraving
  // engrave-lcnc only
  std::string fired;                // --fired FILE
  std::string ini;                  // -ini FILE, as LinuxCNC starts its display
  std::vector<std::string> before;  // --before CODE, MDI commands run before the menu command
  bool home = false;                // --home: home every joint first
};

enum class Program { kHostSim, kEngraveLcnc };

// Reads args (without the program name). The first argument that does not start with "-" is the
// mode when it comes first, else the picture. False with a reason for a bad command line.
bool ParseOptions(const std::vector<std::string>& args, Program program, Options& options,
                  std::string* error);

// The options of the engraving, one per line, for a usage text.
void PrintEngraveOptions(std::FILE* out);

// A plain decimal number, as the dialog reads its fields; nothing for anything else.
std::optional<double> ParseNumber(const std::string& text);

// The script that answers the setup dialog for an engraving with these options.
std::string ComposeScript(const Options& options, const std::string& picture);

}  // namespace host

#include "host/HostOptions.h"

#include <cmath>
#include <cstdlib>
#include <map>

namespace host {

std::optional<double> ParseNumber(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

void PrintEngraveOptions(std::FILE* out) {
  std::fputs(
      "  --width W             engraved width (default 10)\n"
      "  --height H            engraved height (default 8)\n"
      "  --feed F              feed rate, units per minute (default 100)\n"
      "  --stepover S          Y step-over between lines (default 0.05)\n"
      "  --aspect              keep the picture's aspect ratio (height from width)\n"
      "  --pulse               use 40us pulses at trigger time\n"
      "  --dither              dithered (photo): the picture's tones by error diffusion\n"
      "  --invert              inverted: black fires the most\n"
      "  --profile FILE        the host's XML profile (default: a fresh temporary one)\n"
      "  --gcode FILE          write every G-code line the plug-in sent\n"
      "  --image FILE.png      write the engraved result, one dot per fired step\n"
      "  --trace FILE          write every host-visible event, tab-separated\n"
      "  --preview FILE.png    write the dialog's view of the engraving, as shown\n"
      "  --plugin FILE         the plug-in (default: Engraving.so beside the program, else the\n"
      "                        installed one)\n",
      out);
}

bool ParseOptions(const std::vector<std::string>& args, Program program, Options& options,
                  std::string* error) {
  const bool lcnc = program == Program::kEngraveLcnc;
  size_t i = 0;
  if (i < args.size() && args[i].rfind("-", 0) != 0) options.mode = args[i++];
  std::map<std::string, std::string*> files = {
      {"--profile", &options.profile}, {"--gcode", &options.gcode},
      {"--image", &options.image},     {"--trace", &options.trace},
      {"--preview", &options.preview}, {"--plugin", &options.plugin}};
  if (lcnc) {
    files["--fired"] = &options.fired;
    files["-ini"] = &options.ini;
  }
  std::map<std::string, NumberOption*> fields = {{"--width", &options.width},
                                                 {"--height", &options.height},
                                                 {"--feed", &options.feed},
                                                 {"--stepover", &options.stepOver}};
  std::map<std::string, double*> machine = {{"--steps-per-unit-x", &options.stepsPerUnitX},
                                            {"--steps-per-unit-y", &options.stepsPerUnitY}};
  for (; i < args.size(); ++i) {
    std::string name = args[i], value;
    const std::string key = name.substr(0, name.find('='));
    const bool takesValue =
        files.count(key) || fields.count(key) || machine.count(key) || (lcnc && key == "--before");
    if (const size_t equals = name.find('='); equals != std::string::npos && takesValue) {
      value = name.substr(equals + 1);
      name = key;
    } else if (takesValue) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (name == "--aspect") {
      options.aspect = true;
    } else if (name == "--pulse") {
      options.pulse = true;
    } else if (name == "--dither") {
      options.dither = true;
    } else if (name == "--invert") {
      options.invert = true;
    } else if (name == "--help" || name == "-h") {
      options.mode = "help";
    } else if (lcnc && name == "--home") {
      options.home = true;
    } else if (lcnc && name == "--before") {
      options.before.push_back(value);
    } else if (files.count(name)) {
      *files[name] = value;
    } else if (lcnc && machine.count(name)) {
      *error = name + ": the machine's steps per unit come from the INI's [JOINT_n]SCALE";
      return false;
    } else if (fields.count(name) || machine.count(name)) {
      const std::optional<double> number = ParseNumber(value);
      if (!number) {
        *error = name + " needs a number, not \"" + value + "\"";
        return false;
      }
      if (fields.count(name))
        *fields[name] = NumberOption{value, *number};
      else
        *machine[name] = *number;
    } else if (name.rfind("-", 0) != 0 && options.picture.empty()) {
      options.picture = name;
    } else {
      *error = "unknown option " + name;
      return false;
    }
  }
  if (!(options.stepOver.value > 0.0) && options.mode == "engrave") {
    *error = "--stepover must be > 0: the raster would never reach the height";
    return false;
  }
  if (!(options.stepsPerUnitX > 0.0) || !(options.stepsPerUnitY > 0.0)) {
    *error = "steps per unit must be > 0";
    return false;
  }
  return true;
}

std::string ComposeScript(const Options& options, const std::string& picture) {
  std::string script = "# the dialog's answers for an engraving\n";
  script += "file " + picture + "\n";
  script += "set 4165 " + options.width.text + "\n";
  script += "set 4164 " + options.height.text + "\n";
  script += "set 4170 " + options.feed.text + "\n";
  script += "set 4167 " + options.stepOver.text + "\n";
  if (options.pulse) script += "click 4186\n";
  if (options.aspect) script += "click 4188\n";
  // These two boxes start as the profile stored them: set, not toggled. Without the options
  // they stay as stored.
  if (options.invert) script += "check 4187 1\n";
  if (options.dither) script += "check 4189 1\n";
  if (!options.preview.empty()) {
    // The fields typed above take effect at a recalculation; then the view of the engraving.
    script += "click 4178\n";
    script += "check 4190 1\n";
    script += "snapshot 4179 " + options.preview + "\n";
  }
  script += "click 1\n";  // Start Scanning
  script += "click 6\n";  // Yes
  return script;
}

}  // namespace host

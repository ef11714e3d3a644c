#include "host/HostOptions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

namespace host {

std::optional<double> ParseNumber(const std::string& text) {
  // strtod would also take hexadecimal ("0x10"), which the dialog reads as 0.
  if (text.find_first_not_of(" \t+-.0123456789eE") != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

namespace {

// The picture adjustments' ranges, as the dialog checks them: a value it would refuse is refused
// here, before the profile is touched.
struct AdjustmentOption {
  std::optional<NumberOption>* option;
  double lowest, highest;
  const char* range;
};

}  // namespace

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
      "  --overscan D|auto     every line runs D further at both ends, the tool off there\n"
      "                        (auto: 1.2 times X's braking distance at the feed rate)\n"
      "  --skip-blank          skip blank ends: each line moves only over the steps it fires\n"
      "  --from-line K         start at line K (from 1): the lines before it are not engraved\n"
      "  --brightness B        picture adjustment, -100 to 100 (default as stored, else 0)\n"
      "  --contrast C          picture adjustment, -100 to 100 (default as stored, else 0)\n"
      "  --gamma G             picture adjustment, 0.1 to 10; above 1 lifts the mid-tones\n"
      "                        (default as stored, else 1)\n"
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
                                            {"--steps-per-unit-y", &options.stepsPerUnitY},
                                            {"--accel-x", &options.accelerationX}};
  std::map<std::string, AdjustmentOption> adjustments = {
      {"--brightness", {&options.brightness, -100.0, 100.0, "from -100 to 100"}},
      {"--contrast", {&options.contrast, -100.0, 100.0, "from -100 to 100"}},
      {"--gamma", {&options.gamma, 0.1, 10.0, "from 0.1 to 10"}}};
  for (; i < args.size(); ++i) {
    std::string name = args[i], value;
    const std::string key = name.substr(0, name.find('='));
    const bool takesValue = files.count(key) || fields.count(key) || machine.count(key) ||
                            key == "--overscan" || key == "--from-line" || adjustments.count(key) ||
                            (lcnc && key == "--before");
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
    static const char* const kSettings[] = {"--aspect",     "--pulse",    "--dither",   "--invert",
                                            "--skip-blank", "--overscan", "--from-line"};
    if (fields.count(name) || adjustments.count(name) || machine.count(name) ||
        std::find(std::begin(kSettings), std::end(kSettings), name) != std::end(kSettings))
      options.settingsGiven.push_back(name);
    if (name == "--aspect") {
      options.aspect = true;
    } else if (name == "--pulse") {
      options.pulse = true;
    } else if (name == "--dither") {
      options.dither = true;
    } else if (name == "--invert") {
      options.invert = true;
    } else if (name == "--skip-blank") {
      options.skipBlank = true;
    } else if (name == "--overscan") {
      options.overscanAuto = value == "auto";
      options.overscan.reset();
      if (!options.overscanAuto) {
        const std::optional<double> number = ParseNumber(value);
        if (!number || *number < 0.0) {
          *error = "--overscan needs a length of 0 or more, or auto, not \"" + value + "\"";
          return false;
        }
        options.overscan = NumberOption{value, *number};
      }
    } else if (name == "--from-line") {
      // A whole number from 1, as the dialog's "Start at line" reads it.
      const bool digits = !value.empty() && value.size() <= 9 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
      options.fromLine = digits ? std::stol(value) : 0;
      if (options.fromLine < 1) {
        *error = "--from-line needs a line number from 1 on, not \"" + value + "\"";
        return false;
      }
    } else if (name == "--help" || name == "-h") {
      options.mode = "help";
    } else if (lcnc && name == "--home") {
      options.home = true;
    } else if (lcnc && name == "--before") {
      options.before.push_back(value);
    } else if (files.count(name)) {
      *files[name] = value;
    } else if (lcnc && machine.count(name)) {
      *error = name +
               ": the machine comes from the INI (steps per unit: [JOINT_n]SCALE; X's "
               "acceleration: MAX_ACCELERATION)";
      return false;
    } else if (adjustments.count(name)) {
      const AdjustmentOption& adjustment = adjustments.at(name);
      const std::optional<double> number = ParseNumber(value);
      if (!number || !(*number >= adjustment.lowest && *number <= adjustment.highest)) {
        *error = name + " must be a number " + adjustment.range + ", not \"" + value + "\"";
        return false;
      }
      *adjustment.option = NumberOption{value, *number};
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
  if (options.accelerationX < 0.0) {
    *error = "--accel-x must be > 0";
    return false;
  }
  if (options.fromLine > 1 && !options.aspect) {
    // The raster's lines, as the sequence counts them; with --aspect the height comes from the
    // picture and the dialog refuses a line past the end.
    long lines = 0;
    for (double y = 0.0; y < options.height.value && lines < options.fromLine;
         y = y + options.stepOver.value)
      ++lines;
    if (lines < options.fromLine) {
      *error = "--from-line " + std::to_string(options.fromLine) + ": the raster has only " +
               std::to_string(lines) + (lines == 1 ? " line" : " lines");
      return false;
    }
  }
  if (options.overscanAuto && !lcnc && !(options.accelerationX > 0.0)) {
    *error = "--overscan auto needs X's acceleration: give --accel-x";
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
  if (options.brightness) script += "set 4200 " + options.brightness->text + "\n";
  if (options.contrast) script += "set 4201 " + options.contrast->text + "\n";
  if (options.gamma) script += "set 4202 " + options.gamma->text + "\n";
  if (options.pulse) script += "click 4186\n";
  if (options.aspect) script += "click 4188\n";
  // These two boxes start as the profile stored them: set, not toggled. Without the options
  // they stay as stored.
  if (options.invert) script += "check 4187 1\n";
  if (options.dither) script += "check 4189 1\n";
  // Like the boxes above, the overscan and "Skip blank ends" stay as stored without options.
  if (options.overscan) script += "set 4193 " + options.overscan->text + "\n";
  if (options.overscanAuto) script += "click 4194\n";  // after the feed rate: Auto reads it
  if (options.skipBlank) script += "check 4195 1\n";
  if (options.fromLine != 1) script += "set 4205 " + std::to_string(options.fromLine) + "\n";
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

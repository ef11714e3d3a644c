#include "DifferentialSupport.h"

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <sstream>

#include "image/CxMemFile.h"

namespace differential {

namespace {

// Reads a command's whole standard output; the exit status as pclose reports it.
int Capture(const std::string& command, std::vector<uint8_t>* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  uint8_t buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    if (output != nullptr) output->insert(output->end(), buffer, buffer + got);
  }
  return pclose(pipe);
}

uint32_t Hash(uint32_t x, uint32_t y, uint32_t salt) {
  uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u ^ salt * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

uint16_t Scaled(double fraction, uint32_t maxval) {
  return uint16_t(std::lround(std::clamp(fraction, 0.0, 1.0) * maxval));
}

}  // namespace

bool HaveImageMagick() {
  static const bool present = [] {
    std::vector<uint8_t> output;
    if (Capture("convert -version 2>/dev/null", &output) != 0) return false;
    const std::string text(output.begin(), output.end());
    return text.find("ImageMagick") != std::string::npos;
  }();
  return present;
}

Workspace::Workspace() {
  if (folder_.Path().empty()) ADD_FAILURE() << "cannot make a scratch folder";
}

std::string Workspace::Path(const std::string& name) const {
  return folder_.File(name);
}

bool Workspace::Run(const std::string& command, std::vector<uint8_t>* output) const {
  const std::string errors = Path("stderr.txt");
  const std::string line =
      "cd '" + folder_.Path().string() + "' && { " + command + " ; } 2>'" + errors + "'";
  const int status = Capture(line, output);
  if (status == 0) return true;
  ADD_FAILURE() << "`" << command << "` failed ("
                << (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                      : "status " + std::to_string(status))
                << "):\n"
                << ReadFileText(errors);
  return false;
}

std::vector<uint8_t> Workspace::ReadBytes(const std::string& name) const {
  return ReadFileBytes(Path(name));
}

void Workspace::WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) const {
  std::ofstream out(Path(name), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Samples Photo(uint32_t width, uint32_t height, uint32_t maxval) {
  Samples picture{width, height, 3, maxval, {}};
  picture.values.resize(size_t(width) * height * 3);
  const double grain = maxval / 24.0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const double u = double(x) / width;
      const double v = double(y) / height;
      double rgb[3] = {0.5 + 0.45 * std::sin(6.3 * u + 2.0 * v),
                       0.5 + 0.45 * std::cos(4.1 * v - 3.0 * u * v),
                       0.5 + 0.45 * std::sin(9.0 * u * v + 1.0)};
      const double dx = u - 0.35;
      const double dy = v - 0.5;
      if (dx * dx + dy * dy < 0.06) std::swap(rgb[0], rgb[2]);
      for (int c = 0; c < 3; ++c) {
        const double noise = (double(Hash(x, y, uint32_t(c)) % 1000) / 1000.0 - 0.5) * grain;
        picture.At(x, y, c) = Scaled(rgb[c] + noise / maxval, maxval);
      }
    }
  }
  return picture;
}

namespace {

void FewColour(int index, uint8_t rgb[3]) {
  // Distinct for every index below 256: the red byte is the index scrambled one to one.
  rgb[0] = uint8_t(index * 167 + 13);
  rgb[1] = uint8_t(Hash(uint32_t(index), 1, 2) >> 8);
  rgb[2] = uint8_t(Hash(uint32_t(index), 3, 4) >> 8);
}

}  // namespace

void FirstFewColour(uint8_t rgb[3]) {
  FewColour(0, rgb);
}

Samples FewColours(uint32_t width, uint32_t height, int colours) {
  Samples picture{width, height, 3, 255, {}};
  picture.values.resize(size_t(width) * height * 3);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      int index = 0;
      if (y % 4 == 3) {
        index = int(Hash(x, y, 9) % uint32_t(colours));  // single pixels: literals
      } else {
        index = int((x / (1 + y % 5) + y / 2) % uint32_t(colours));  // runs
      }
      uint8_t rgb[3];
      FewColour(index, rgb);
      for (int c = 0; c < 3; ++c) picture.At(x, y, c) = rgb[c];
    }
  }
  return picture;
}

Samples GrayOf(const Samples& colour) {
  Samples gray{colour.width, colour.height, 1, colour.maxval, {}};
  gray.values.resize(size_t(colour.width) * colour.height);
  for (uint32_t y = 0; y < colour.height; ++y) {
    for (uint32_t x = 0; x < colour.width; ++x) {
      const uint32_t sum =
          299u * colour.At(x, y, 0) + 587u * colour.At(x, y, 1) + 114u * colour.At(x, y, 2);
      gray.At(x, y, 0) = uint16_t((sum + 500) / 1000);
    }
  }
  return gray;
}

Samples Posterized(const Samples& gray, uint32_t levels) {
  Samples result = gray;
  result.maxval = levels - 1;
  for (uint16_t& value : result.values) {
    value = uint16_t((uint32_t(value) * levels) / (gray.maxval + 1));
  }
  return result;
}

Samples AlphaBands(uint32_t width, uint32_t height, uint32_t levels, uint32_t maxval) {
  Samples alpha{width, height, 1, maxval, {}};
  alpha.values.reserve(size_t(width) * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t level = ((x + 2 * y) / 3) % levels;
      alpha.values.push_back(uint16_t(level * maxval / (levels - 1)));
    }
  }
  return alpha;
}

Samples WithAlpha(const Samples& picture, const Samples& alpha) {
  Samples result{picture.width, picture.height, picture.channels + 1, picture.maxval, {}};
  result.values.reserve(size_t(picture.width) * picture.height * size_t(result.channels));
  for (uint32_t y = 0; y < picture.height; ++y) {
    for (uint32_t x = 0; x < picture.width; ++x) {
      for (int c = 0; c < picture.channels; ++c) result.values.push_back(picture.At(x, y, c));
      result.values.push_back(alpha.At(x, y, 0));
    }
  }
  return result;
}

std::string NetpbmColour(const Samples& picture, uint32_t x, uint32_t y) {
  const bool wide = picture.maxval > 255;
  std::ostringstream name;
  name << "rgb:" << std::hex << std::setfill('0');
  for (int c = 0; c < 3; ++c) {
    const uint32_t value = picture.At(x, y, picture.channels >= 3 ? c : 0);
    // Small maxvals (1, 3, 15) divide 255, so their levels have exact 8-bit names.
    name << (c > 0 ? "/" : "") << std::setw(wide ? 4 : 2)
         << (wide ? value : value * 255 / picture.maxval);
  }
  return name.str();
}

void WriteNetpbm(const Workspace& workspace, const std::string& name, const Samples& picture) {
  std::ostringstream header;
  const char* tupleTypes[] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
  if (picture.channels == 1 || picture.channels == 3) {
    header << (picture.channels == 1 ? "P5" : "P6") << "\n"
           << picture.width << " " << picture.height << "\n"
           << picture.maxval << "\n";
  } else {
    header << "P7\nWIDTH " << picture.width << "\nHEIGHT " << picture.height << "\nDEPTH "
           << picture.channels << "\nMAXVAL " << picture.maxval << "\nTUPLTYPE "
           << tupleTypes[picture.channels] << "\nENDHDR\n";
  }
  const std::string text = header.str();
  std::vector<uint8_t> bytes(text.begin(), text.end());
  for (uint16_t value : picture.values) {
    if (picture.maxval > 255) bytes.push_back(uint8_t(value >> 8));
    bytes.push_back(uint8_t(value));
  }
  workspace.WriteBytes(name, bytes);
}

Samples MagickDecode(const Workspace& workspace, const std::string& name, const std::string& map,
                     int depth) {
  Samples picture;
  picture.channels = int(map.size());
  picture.maxval = depth == 16 ? 65535 : 255;
  std::vector<uint8_t> size;
  // [0]: the first frame only, as our decoders read it.
  if (!workspace.Run("convert '" + name + "[0]' -format '%w %h' info:", &size)) return picture;
  std::istringstream(std::string(size.begin(), size.end())) >> picture.width >> picture.height;

  std::vector<uint8_t> raw;
  const std::string command =
      "convert -define jpeg:dct-method=islow -define jpeg:fancy-upsampling=true '" + name +
      "[0]' -depth " + std::to_string(depth) + " -endian MSB " + map + ":-";
  if (!workspace.Run(command, &raw)) return picture;
  const size_t bytesPerSample = depth == 16 ? 2 : 1;
  const size_t expected =
      size_t(picture.width) * picture.height * size_t(picture.channels) * bytesPerSample;
  if (raw.size() != expected) {
    ADD_FAILURE() << command << " gave " << raw.size() << " bytes, not " << expected;
    return picture;
  }
  picture.values.resize(raw.size() / bytesPerSample);
  for (size_t i = 0; i < picture.values.size(); ++i) {
    picture.values[i] = depth == 16 ? uint16_t((raw[2 * i] << 8) | raw[2 * i + 1]) : raw[i];
  }
  return picture;
}

std::unique_ptr<CxImage> OurDecode(const Workspace& workspace, const std::string& name,
                                   uint32_t formatCode) {
  auto image = std::make_unique<CxImage>(formatCode);
  if (!image->LoadFile(workspace.Path(name).c_str(), formatCode)) {
    ADD_FAILURE() << name << " does not load: " << image->LastErrorText();
    return nullptr;
  }
  return image;
}

std::unique_ptr<CxImage> OurDecodeBytes(const std::vector<uint8_t>& bytes, uint32_t formatCode) {
  std::vector<uint8_t> copy(bytes);
  CxMemFile stream(copy.data(), uint32_t(copy.size()));
  auto image = std::make_unique<CxImage>(formatCode);
  if (!image->Decode(stream, formatCode)) {
    ADD_FAILURE() << "the bytes do not decode: " << image->LastErrorText();
    return nullptr;
  }
  return image;
}

Samples RgbOf(const CxImage& image) {
  Samples picture{image.ImageWidth(), image.ImageHeight(), 3, 255, {}};
  picture.values.reserve(size_t(picture.width) * picture.height * 3);
  for (uint32_t row = 0; row < picture.height; ++row) {
    const auto y = int32_t(picture.height - 1 - row);
    for (uint32_t x = 0; x < picture.width; ++x) {
      const CxRgbQuad colour = image.PixelColor(int32_t(x), y, false);
      picture.values.insert(picture.values.end(), {colour.red, colour.green, colour.blue});
    }
  }
  return picture;
}

Samples AlphaOf(const CxImage& image) {
  Samples picture{image.ImageWidth(), image.ImageHeight(), 1, 255, {}};
  picture.values.reserve(size_t(picture.width) * picture.height);
  for (uint32_t row = 0; row < picture.height; ++row) {
    const auto y = int32_t(picture.height - 1 - row);
    for (uint32_t x = 0; x < picture.width; ++x) {
      picture.values.push_back(image.AlphaGet(int32_t(x), y));
    }
  }
  return picture;
}

::testing::AssertionResult SamePixels(const Samples& ours, const Samples& expected) {
  if (ours.width != expected.width || ours.height != expected.height ||
      ours.channels != expected.channels) {
    return ::testing::AssertionFailure()
           << "ours is " << ours.width << "x" << ours.height << "x" << ours.channels
           << ", expected " << expected.width << "x" << expected.height << "x" << expected.channels;
  }
  if (ours.values.size() != expected.values.size()) {
    return ::testing::AssertionFailure() << "sample counts differ";
  }
  size_t differing = 0;
  std::ostringstream first;
  const size_t pixels = size_t(ours.width) * ours.height;
  for (size_t i = 0; i < pixels; ++i) {
    const auto a = ours.values.begin() + long(i) * ours.channels;
    const auto b = expected.values.begin() + long(i) * ours.channels;
    if (std::equal(a, a + ours.channels, b)) continue;
    if (++differing <= 4) {
      first << "\n  (" << i % ours.width << ", " << i / ours.width << "): ours";
      for (int c = 0; c < ours.channels; ++c) first << " " << a[c];
      first << ", expected";
      for (int c = 0; c < ours.channels; ++c) first << " " << b[c];
    }
  }
  if (differing == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << differing << " of " << pixels
         << " pixels differ, first (x, y from the top):" << first.str();
}

}  // namespace differential

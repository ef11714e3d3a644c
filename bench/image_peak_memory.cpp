// Peak memory of loading a colour JPEG for the setup dialog. Measure with:
//   /usr/bin/time -v build/bench/image_peak_memory [--dialog] [--size WxH] [--orientation N]
//       [picture.jpg]
// and compare "Maximum resident set size" with the bound this program prints.
//   (default)        LoadPicture, then ToGray: the 24-bit picture, then the gray one
//   --dialog         LoadPictureGray, the dialog's load: colour JPEGs go straight to gray rows
//   --size WxH       size of the picture written when no file is named (6000x4000)
//   --orientation N  the written picture carries EXIF orientation N (5..8 turn it a quarter)
// Without a file name it writes the smooth benchmark picture first (row by row, in little
// memory) and removes it afterwards.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ImageBenchSupport.h"
#include "image/CxImage.h"
#include "image/EngraveImage.h"

namespace {

struct Options {
  bool dialog = false;
  int width = kBenchWidth;
  int height = kBenchHeight;
  int orientation = 0;
  std::string path;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--dialog") {
      options.dialog = true;
    } else if (argument == "--size" && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%dx%d", &options.width, &options.height) != 2 ||
          options.width <= 0 || options.height <= 0) {
        return false;
      }
    } else if (argument == "--orientation" && i + 1 < argc) {
      options.orientation = std::atoi(argv[++i]);
    } else if (!argument.empty() && argument[0] != '-' && options.path.empty()) {
      options.path = argument;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: %s [--dialog] [--size WxH] [--orientation N] [picture.jpg]\n",
                 argv[0]);
    return 2;
  }
  const bool own = options.path.empty();
  const std::string path =
      own ? WriteSmoothJpeg(options.width, options.height, options.orientation) : options.path;
  if (path.empty()) {
    std::fprintf(stderr, "cannot write the picture\n");
    return 1;
  }
  rusage before{};
  getrusage(RUSAGE_SELF, &before);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  EngraveImage& holder = TheEngraveImage();
  const bool loaded = options.dialog ? holder.LoadPictureGray(path) : holder.LoadPicture(path);
  const auto afterLoad = Clock::now();
  if (own) std::remove(path.c_str());
  if (!loaded) {
    std::fprintf(stderr, "cannot load %s\n", path.c_str());
    return 1;
  }
  CxImage& picture = *holder.Picture();
  const double loadedBytes = double(picture.Header().biSizeImage);
  if (!options.dialog) picture.ToGray();
  const auto afterGray = Clock::now();
  const double grayBytes = double(picture.Header().biSizeImage);

  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const double mib = 1024.0 * 1024.0;
  const bool quarterTurn = options.orientation >= 5 && options.orientation <= 8;
  if (options.dialog) {
    // The gray picture, and a second one while a quarter turn is made.
    const double held = grayBytes * (quarterTurn ? 2 : 1);
    std::printf("picture %ux%u (dialog load%s): 8-bit %.1f MiB, bound 1.2 x %.1f MiB = %.1f MiB\n",
                picture.ImageWidth(), picture.ImageHeight(), quarterTurn ? ", quarter turn" : "",
                grayBytes / mib, held / mib, 1.2 * held / mib);
  } else {
    // The 24-bit picture and the gray one beside it; a quarter turn holds the 24-bit one twice.
    const double held = loadedBytes * (quarterTurn ? 2 : 1) + grayBytes;
    std::printf(
        "picture %ux%u: 24-bit %.1f MiB + 8-bit %.1f MiB, bound 1.2 x %.1f MiB = %.1f MiB\n",
        picture.ImageWidth(), picture.ImageHeight(), loadedBytes / mib, grayBytes / mib, held / mib,
        1.2 * held / mib);
  }
  std::printf("peak resident set: %.1f MiB before loading, %.1f MiB at the end\n",
              double(before.ru_maxrss) / 1024.0, double(after.ru_maxrss) / 1024.0);
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  if (options.dialog) {
    std::printf("time: LoadPictureGray %.1f ms\n", ms(afterLoad - start));
  } else {
    std::printf("time: LoadPicture %.1f ms, ToGray %.1f ms\n", ms(afterLoad - start),
                ms(afterGray - afterLoad));
  }
  return 0;
}

// Peak memory of loading and graying a 24-megapixel colour JPEG, the way the setup dialog does
// it (LoadPicture, then ToGray). Measure with:
//   /usr/bin/time -v build/bench/image_peak_memory [picture.jpg]
// and compare "Maximum resident set size" with the bound this program prints. Without an
// argument it writes the 6000x4000 benchmark picture first (row by row, in little memory).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "ImageBenchSupport.h"
#include "image/CxImage.h"
#include "image/EngraveImage.h"

int main(int argc, char** argv) {
  const bool own = argc < 2;
  const std::string path = own ? WriteSmoothJpeg() : argv[1];
  if (path.empty()) {
    std::fprintf(stderr, "cannot write the picture\n");
    return 1;
  }
  rusage before{};
  getrusage(RUSAGE_SELF, &before);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  EngraveImage& holder = TheEngraveImage();
  const bool loaded = holder.LoadPicture(path);
  const auto afterLoad = Clock::now();
  if (own) std::remove(path.c_str());
  if (!loaded) {
    std::fprintf(stderr, "cannot load %s\n", path.c_str());
    return 1;
  }
  CxImage& picture = *holder.Picture();
  const double colourBytes = double(picture.Header().biSizeImage);
  picture.ToGray();
  const auto afterGray = Clock::now();
  const double grayBytes = double(picture.Header().biSizeImage);

  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const double mib = 1024.0 * 1024.0;
  std::printf("picture %ux%u: 24-bit %.1f MiB + 8-bit %.1f MiB, bound 1.2 x sum = %.1f MiB\n",
              picture.ImageWidth(), picture.ImageHeight(), colourBytes / mib, grayBytes / mib,
              1.2 * (colourBytes + grayBytes) / mib);
  std::printf("peak resident set: %.1f MiB before loading, %.1f MiB at the end\n",
              double(before.ru_maxrss) / 1024.0, double(after.ru_maxrss) / 1024.0);
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  std::printf("time: LoadPicture %.1f ms, ToGray %.1f ms\n", ms(afterLoad - start),
              ms(afterGray - afterLoad));
  return 0;
}

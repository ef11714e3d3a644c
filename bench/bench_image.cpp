// The image paths that run once per picture or once per preview paint, each beside its
// baseline, with the ratios of the medians of five runs printed at the end:
//   LoadPictureGray of a 24-megapixel JPEG       vs  plain libjpeg-turbo decode, rows discarded
//   (LoadPicture + ToGray, the two-step path it replaces, beside it for comparison)
//   ToGray of a 24-bit 24-megapixel picture      vs  one pass reading every source byte
//                                                    (in 8-byte words)
//   PaintStretched into 460x450                  vs  filling that surface with one colour
//   (and the 24-bit paint against reading the cache lines its samples fall in, its floor)
//   PixelGray over a gray picture                vs  reading the stored bytes directly
// Run: build/bench/bench_image
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ImageBenchSupport.h"
#include "RatioReporter.h"
#include "image/CxImage.h"
#include "image/EngraveImage.h"

namespace {

// The machine is shared: each benchmark runs five times and the ratios use the medians.
void Repeated(benchmark::internal::Benchmark* benchmark) {
  benchmark->Repetitions(5)->DisplayAggregatesOnly(true);
}

const std::string& BenchJpeg() {
  static const std::string path = WriteSmoothJpeg();
  return path;
}

// A 24-bit picture with the smooth pattern, stored bottom-up in blue-green-red order.
const CxImage& Picture24() {
  static const std::unique_ptr<CxImage> picture = [] {
    auto image = std::make_unique<CxImage>();
    image->Create(kBenchWidth, kBenchHeight, 24, 0);
    std::vector<uint8_t> rgb(size_t(kBenchWidth) * 3);
    for (int y = 0; y < kBenchHeight; ++y) {
      SmoothRow(y, kBenchWidth, kBenchHeight, rgb.data());
      uint8_t* row = image->RowAddress(uint32_t(kBenchHeight - 1 - y));
      for (int x = 0; x < kBenchWidth; ++x) {
        row[3 * x] = rgb[3 * x + 2];
        row[3 * x + 1] = rgb[3 * x + 1];
        row[3 * x + 2] = rgb[3 * x];
      }
    }
    return image;
  }();
  return *picture;
}

const CxImage& PictureGray() {
  static const std::unique_ptr<CxImage> picture = [] {
    auto image = std::make_unique<CxImage>(Picture24());
    image->ToGray();
    return image;
  }();
  return *picture;
}

// --- LoadPicture + ToGray ----------------------------------------------------------------

void BM_LibjpegDecodeDiscard(benchmark::State& state) {
  constexpr int kRows = 16;
  for (auto _ : state) {
    FILE* file = std::fopen(BenchJpeg().c_str(), "rb");
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    const size_t rowLength = size_t(cinfo.output_width) * cinfo.output_components;
    std::vector<uint8_t> buffer(rowLength * kRows);
    JSAMPROW rows[kRows];
    for (int i = 0; i < kRows; ++i) rows[i] = buffer.data() + rowLength * i;
    while (cinfo.output_scanline < cinfo.output_height) {
      jpeg_read_scanlines(&cinfo, rows, kRows);
      benchmark::DoNotOptimize(buffer.data());
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(file);
  }
}
BENCHMARK(BM_LibjpegDecodeDiscard)->Unit(benchmark::kMillisecond)->UseRealTime()->Apply(Repeated);

void BM_LoadPictureToGray(benchmark::State& state) {
  for (auto _ : state) {
    EngraveImage holder;
    if (!holder.LoadPicture(BenchJpeg())) {
      state.SkipWithError("LoadPicture failed");
      break;
    }
    holder.Picture()->ToGray();
    benchmark::DoNotOptimize(holder.Picture()->PixelBlock());
  }
}
BENCHMARK(BM_LoadPictureToGray)->Unit(benchmark::kMillisecond)->UseRealTime()->Apply(Repeated);

// What the setup dialog does: the colour file decoded straight to gray rows.
void BM_LoadPictureGrayFused(benchmark::State& state) {
  for (auto _ : state) {
    EngraveImage holder;
    if (!holder.LoadPictureGray(BenchJpeg())) {
      state.SkipWithError("LoadPictureGray failed");
      break;
    }
    benchmark::DoNotOptimize(holder.Picture()->PixelBlock());
  }
}
BENCHMARK(BM_LoadPictureGrayFused)->Unit(benchmark::kMillisecond)->UseRealTime()->Apply(Repeated);

// The load alone, to show how the total divides between decoding and graying.
void BM_LoadPictureOnly(benchmark::State& state) {
  for (auto _ : state) {
    EngraveImage holder;
    if (!holder.LoadPicture(BenchJpeg())) {
      state.SkipWithError("LoadPicture failed");
      break;
    }
    benchmark::DoNotOptimize(holder.Picture()->PixelBlock());
  }
}
BENCHMARK(BM_LoadPictureOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Apply(Repeated);

// --- ToGray ------------------------------------------------------------------------------

void BM_ReadEverySourceByte(benchmark::State& state) {
  // Reads the whole pixel area eight bytes at a time: the memory traffic a conversion cannot
  // avoid, without any arithmetic on it.
  const CxImage& picture = Picture24();
  const size_t size = picture.Header().biSizeImage;
  for (auto _ : state) {
    const uint8_t* bytes = picture.RowAddress(0);
    uint64_t sum = 0;
    for (size_t i = 0; i + 8 <= size; i += 8) {
      uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      sum += word;
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_ReadEverySourceByte)->Unit(benchmark::kMillisecond)->UseRealTime()->Apply(Repeated);

void BM_ToGray24(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto picture = std::make_unique<CxImage>(Picture24());
    state.ResumeTiming();
    picture->ToGray();
    benchmark::DoNotOptimize(picture->PixelBlock());
    state.PauseTiming();
    picture.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ToGray24)->Unit(benchmark::kMillisecond)->UseRealTime()->Apply(Repeated);

// --- PaintStretched ----------------------------------------------------------------------

constexpr int kSurfaceWidth = 460;
constexpr int kSurfaceHeight = 450;

void BM_FillSurface(benchmark::State& state) {
  PixelSurface surface(kSurfaceWidth, kSurfaceHeight);
  uint8_t shade = 0;
  for (auto _ : state) {
    ++shade;
    for (int y = 0; y < surface.height; ++y) {
      uint8_t* pixel = surface.Row(y);
      for (int x = 0; x < surface.width; ++x, pixel += 3) {
        pixel[0] = shade;
        pixel[1] = 2;
        pixel[2] = 3;
      }
    }
    benchmark::DoNotOptimize(surface.pixels.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FillSurface)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

void BM_PaintStretched24(benchmark::State& state) {
  const CxImage& picture = Picture24();
  PixelSurface surface(kSurfaceWidth, kSurfaceHeight);
  for (auto _ : state) {
    picture.PaintStretched(&surface, 0, 0, kSurfaceWidth, kSurfaceHeight);
    benchmark::DoNotOptimize(surface.pixels.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PaintStretched24)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

// The memory floor of painting the 24-bit picture: one byte read from every cache line the
// paint's samples fall in. Shrinking 6000 columns to 460 puts samples 39 bytes apart, so
// nearly every line of each sampled row is fetched whatever the paint does with it.
void BM_ReadSampledLines(benchmark::State& state) {
  const CxImage& picture = Picture24();
  const uint64_t width = picture.ImageWidth();
  const uint64_t height = picture.ImageHeight();
  const uint64_t firstByte = 3 * (width / (2 * kSurfaceWidth));
  const uint64_t lastByte = 3 * (((2 * (kSurfaceWidth - 1) + 1) * width) / (2 * kSurfaceWidth));
  for (auto _ : state) {
    uint64_t sum = 0;
    for (uint64_t row = 0; row < kSurfaceHeight; ++row) {
      const uint64_t fromTop = ((2 * row + 1) * height) / (2 * kSurfaceHeight);
      const uint8_t* source = picture.RowAddress(uint32_t(height - 1 - fromTop));
      for (uint64_t offset = firstByte; offset <= lastByte + 2; offset += 64) sum += source[offset];
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_ReadSampledLines)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

void BM_PaintStretchedGray(benchmark::State& state) {
  const CxImage& picture = PictureGray();
  PixelSurface surface(kSurfaceWidth, kSurfaceHeight);
  for (auto _ : state) {
    picture.PaintStretched(&surface, 0, 0, kSurfaceWidth, kSurfaceHeight);
    benchmark::DoNotOptimize(surface.pixels.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PaintStretchedGray)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

// --- PixelGray ---------------------------------------------------------------------------

void BM_ReadGrayBytes(benchmark::State& state) {
  const CxImage& picture = PictureGray();
  for (auto _ : state) {
    uint64_t sum = 0;
    for (uint32_t y = 0; y < picture.ImageHeight(); y += 8) {
      const uint8_t* row = picture.RowAddress(y);
      for (uint32_t x = 0; x < picture.ImageWidth(); ++x) sum += row[x];
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_ReadGrayBytes)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

void BM_PixelGray(benchmark::State& state) {
  const CxImage& picture = PictureGray();
  for (auto _ : state) {
    uint64_t sum = 0;
    for (int32_t y = 0; y < int32_t(picture.ImageHeight()); y += 8) {
      for (int32_t x = 0; x < int32_t(picture.ImageWidth()); ++x) sum += picture.PixelGray(x, y);
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_PixelGray)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (BenchJpeg().empty()) {
    std::fprintf(stderr, "cannot write the benchmark picture\n");
    return 1;
  }
  RatioReporter reporter({
      {"BM_LoadPictureGrayFused", "BM_LibjpegDecodeDiscard", RatioTarget::kCostAtMost, 1.15},
      {"BM_LoadPictureToGray", "BM_LibjpegDecodeDiscard", RatioTarget::kShown, 0},
      {"BM_ToGray24", "BM_ReadEverySourceByte", RatioTarget::kCostAtMost, 1.5},
      {"BM_PaintStretched24", "BM_FillSurface", RatioTarget::kCostAtMost, 3.0},
      {"BM_ReadSampledLines", "BM_FillSurface", RatioTarget::kShown, 0},
      {"BM_PaintStretched24", "BM_ReadSampledLines", RatioTarget::kShown, 0},
      {"BM_PaintStretchedGray", "BM_FillSurface", RatioTarget::kCostAtMost, 3.0},
      {"BM_PixelGray", "BM_ReadGrayBytes", RatioTarget::kShown, 0},
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::remove(BenchJpeg().c_str());
  return 0;
}

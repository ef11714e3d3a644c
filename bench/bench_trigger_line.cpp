// Trigger-line fill and the idle host tick, each beside its baseline:
//   the per-step reference fill (what a literal reading of the rule costs),
//   clearing the 128 KB buffer alone (the floor every line pays);
// and the dithered fill ("Dithered (photo)") beside the classic fill of the same line.
// Every benchmark runs five times; the table at the end compares the medians.
// Run: build/bench/bench_trigger_line
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "../tests/engrave/ReferenceTriggerLine.h"
#include "RatioReporter.h"
#include "engrave/DitherLine.h"
#include "engrave/EngravingView.h"
#include "engrave/TriggerLine.h"
#include "image/CxImage.h"
#include "plugin/HostInterface.h"

namespace {

// The machine is shared: each benchmark runs five times and the ratios use the medians.
void Repeated(benchmark::internal::Benchmark* benchmark) {
  benchmark->Repetitions(5)->DisplayAggregatesOnly(true);
}

std::unique_ptr<CxImage> RandomGrayRow(uint32_t width) {
  auto picture = std::make_unique<CxImage>();
  picture->Create(width, 1, 8, 0);
  picture->FillGrayPalette();
  std::mt19937 random(7);
  uint8_t* row = picture->RowAddress(0);
  for (uint32_t x = 0; x < width; ++x) row[x] = uint8_t(random());
  return picture;
}

struct LineCase {
  int32_t steps;
  double columns;
  bool backward = false;
};

// 0: worst, 1000 columns of 1024 steps; 1: worst, 1,024,000 columns of one step;
// 2: typical, 20,000 steps over 400 columns; 3: fine, 2.5 steps per column;
// 4: the one-step worst line run right to left, as every second raster line is.
const LineCase kCases[] = {
    {1024000, 1000}, {1024000, 1024000}, {20000, 400}, {20000, 8000}, {1024000, 1024000, true}};

engrave::TriggerLineInput Input(const LineCase& c) {
  engrave::TriggerLineInput line;
  line.triggerLineLength = c.steps;
  line.imagePixelsX = c.columns;
  line.imagePixelsY = 1;
  line.length = 8;
  line.yStepOver = 0.05;
  line.scanXTarget = c.backward ? 1.0 : 0.0;
  return line;
}

void BM_ClearBuffer(benchmark::State& state) {
  std::vector<uint32_t> bits(engrave::kTriggerWords);
  for (auto _ : state) {
    std::memset(bits.data(), 0, bits.size() * sizeof(uint32_t));
    benchmark::DoNotOptimize(bits.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ClearBuffer)->Apply(Repeated);

void BM_FillTriggerLine(benchmark::State& state) {
  const LineCase& c = kCases[state.range(0)];
  auto picture = RandomGrayRow(uint32_t(c.columns));
  std::vector<uint32_t> bits(engrave::kTriggerWords);
  engrave::TriggerLineFiller filler;
  const engrave::TriggerLineInput line = Input(c);
  for (auto _ : state) {
    filler.Fill(line, picture.get(), bits.data());
    benchmark::DoNotOptimize(bits.data());
  }
}
BENCHMARK(BM_FillTriggerLine)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

void BM_FillTriggerLineReference(benchmark::State& state) {
  const LineCase& c = kCases[state.range(0)];
  auto picture = RandomGrayRow(uint32_t(c.columns));
  std::vector<uint32_t> bits(engrave::kTriggerWords);
  const engrave::TriggerLineInput line = Input(c);
  for (auto _ : state) {
    FillTriggerLineReference(line, picture.get(), bits.data());
    benchmark::DoNotOptimize(bits.data());
  }
}
BENCHMARK(BM_FillTriggerLineReference)
    ->DenseRange(0, 4)
    ->Unit(benchmark::kMicrosecond)
    ->Apply(Repeated);

// The same lines dithered, the filler prepared as arming prepares it; each iteration is the
// next line of a raster over the same row, its error carried on.
void BM_FillDitheredLine(benchmark::State& state) {
  const LineCase& c = kCases[state.range(0)];
  auto picture = RandomGrayRow(uint32_t(c.columns));
  std::vector<uint32_t> bits(engrave::kTriggerWords);
  engrave::DitheredLineFiller filler;
  const engrave::TriggerLineInput line = Input(c);
  filler.Prepare(line, picture.get());
  for (auto _ : state) {
    filler.Fill(line, picture.get(), bits.data());
    benchmark::DoNotOptimize(bits.data());
  }
}
BENCHMARK(BM_FillDitheredLine)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

// The dialog's view of the engraving, drawn whole: 1000 lines of 100,000 steps into the
// preview frame (460 x 448), classic and dithered, over 1000 columns (cells of 100 steps) and
// over 60,000 columns (1.67 steps per column: dithered step by step).
void BM_EngravingView(benchmark::State& state) {
  const bool dithered = state.range(0) != 0;
  const uint32_t columns = state.range(1) != 0 ? 60000 : 1000;
  auto picture = RandomGrayRow(columns);
  engrave::EngravingJob job;
  job.line.triggerLineLength = 100000;
  job.line.imagePixelsX = columns;
  job.line.imagePixelsY = 1;
  job.line.length = 100.0;
  job.line.yStepOver = 0.1;  // 1000 lines
  job.width = 100.0;
  job.stepsPerUnitX = 1000.0;
  job.dithered = dithered;
  engrave::EngravingView view;
  for (auto _ : state) {
    view.Start(job, picture.get(), 460, 448);
    while (view.Advance(std::chrono::seconds(10))) {
    }
    benchmark::DoNotOptimize(view.Share(0, 0));
  }
  state.counters["lines"] = double(view.LinesDrawn());
}
BENCHMARK(BM_EngravingView)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Apply(Repeated);

// The host's idle tick through the loaded module: a handler exists, LineDone is clear.
void BM_UpdateWithoutLineDone(benchmark::State& state) {
  setenv("ENGRAVING_UI", "script", 1);
  void* module = dlopen(ENGRAVING_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    state.SkipWithError("cannot load the plug-in");
    return;
  }
  auto initControl =
      reinterpret_cast<uint8_t (*)(ControlState*, uint32_t, MotionState*, DriverState*)>(
          dlsym(module, "InitControl"));
  auto update = reinterpret_cast<void (*)()>(dlsym(module, "Update"));
  auto stop = reinterpret_cast<void (*)()>(dlsym(module, "StopPlug"));
  ControlState control;
  MotionState motion;
  auto driver = std::make_unique<DriverState>();
  initControl(&control, 0, &motion, driver.get());
  motion.LineDone = 0;
  for (auto _ : state) update();
  stop();
  dlclose(module);
}
BENCHMARK(BM_UpdateWithoutLineDone)->Apply(Repeated);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter({
      {"BM_FillTriggerLine/0", "BM_FillTriggerLineReference/0", RatioTarget::kFasterAtLeast, 20},
      {"BM_FillTriggerLine/0", "BM_ClearBuffer", RatioTarget::kCostAtMost, 10},
      {"BM_FillTriggerLine/1", "BM_FillTriggerLineReference/1", RatioTarget::kFasterAtLeast, 20},
      {"BM_FillTriggerLine/1", "BM_ClearBuffer", RatioTarget::kCostAtMost, 10},
      {"BM_FillTriggerLine/4", "BM_FillTriggerLineReference/4", RatioTarget::kFasterAtLeast, 20},
      {"BM_FillTriggerLine/4", "BM_ClearBuffer", RatioTarget::kCostAtMost, 10},
      {"BM_FillTriggerLine/2", "BM_FillTriggerLineReference/2", RatioTarget::kFasterAtLeast, 5},
      {"BM_FillTriggerLine/3", "BM_FillTriggerLineReference/3", RatioTarget::kFasterAtLeast, 5},
      {"BM_UpdateWithoutLineDone", "", RatioTarget::kNanosAtMost, 20},
      // Dithered against classic, line for line. Only the line of 1000 columns has a target:
      // a line of one-step columns dithers every step in turn, ~3 ns each, while the classic
      // fill compares 32 bytes at once.
      {"BM_FillDitheredLine/0", "BM_FillTriggerLine/0", RatioTarget::kCostAtMost, 4},
      {"BM_FillDitheredLine/1", "BM_FillTriggerLine/1", RatioTarget::kShown, 0},
      {"BM_FillDitheredLine/4", "BM_FillTriggerLine/4", RatioTarget::kShown, 0},
      {"BM_FillDitheredLine/2", "BM_FillTriggerLine/2", RatioTarget::kShown, 0},
      {"BM_FillDitheredLine/3", "BM_FillTriggerLine/3", RatioTarget::kShown, 0},
      // The whole view of 1000 lines of 100,000 steps within a second (it is drawn in slices
      // while the dialog waits, so the dialog answers meanwhile in any case).
      {"BM_EngravingView/0/0", "", RatioTarget::kNanosAtMost, 1e9},
      {"BM_EngravingView/1/0", "", RatioTarget::kNanosAtMost, 1e9},
      {"BM_EngravingView/1/1", "", RatioTarget::kNanosAtMost, 1e9},
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

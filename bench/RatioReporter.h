// A console reporter that, once every benchmark has run, prints each measured path against its
// baseline from the same run: the ratio of the medians of the repetitions, wall clock and CPU
// time, and whether the target holds.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

struct RatioTarget {
  enum Kind {
    kCostAtMost,     // measured / baseline <= limit
    kFasterAtLeast,  // baseline / measured >= limit
    kNanosAtMost,    // measured CPU time <= limit nanoseconds (no baseline)
    kShown,          // measured / baseline, no target
  };
  const char* measured;  // function name, with "/argument" for benchmarks that take one
  const char* baseline;
  Kind kind;
  double limit;
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::vector<RatioTarget> targets) : targets_(std::move(targets)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        std::string name = run.run_name.function_name;
        if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
        times_[name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(),
                        benchmark::GetTimeUnitMultiplier(run.time_unit)};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    // CPU-time ratios beside the wall-clock ones: on a shared machine the wall clock also
    // counts time spent waiting for a core.
    std::printf("\n%-26s %-30s %10s %10s  %s\n", "measured", "baseline", "real", "cpu", "target");
    for (const RatioTarget& target : targets_) Print(target);
  }

 private:
  struct Times {
    double real;  // in the run's own time unit
    double cpu;
    double unitsPerSecond;
  };

  void Print(const RatioTarget& target) const {
    const auto measured = times_.find(target.measured);
    if (measured == times_.end()) return;
    if (target.kind == RatioTarget::kNanosAtMost) {
      const double nanos = measured->second.cpu * 1e9 / measured->second.unitsPerSecond;
      std::printf("%-26s %-30s %8.2fns %8.2fns  <= %g ns%s\n", target.measured, "-",
                  measured->second.real * 1e9 / measured->second.unitsPerSecond, nanos,
                  target.limit, nanos <= target.limit ? "" : "  NOT MET");
      return;
    }
    const auto baseline = times_.find(target.baseline);
    if (baseline == times_.end()) return;
    // Both in seconds, so that benchmarks reported in different units compare.
    const double measuredReal = measured->second.real / measured->second.unitsPerSecond;
    const double measuredCpu = measured->second.cpu / measured->second.unitsPerSecond;
    const double baselineReal = baseline->second.real / baseline->second.unitsPerSecond;
    const double baselineCpu = baseline->second.cpu / baseline->second.unitsPerSecond;
    if (target.kind == RatioTarget::kFasterAtLeast) {
      const double real = baselineReal / measuredReal;
      const double cpu = baselineCpu / measuredCpu;
      std::printf("%-26s %-30s %9.1fx %9.1fx  >= %gx faster%s\n", target.measured, target.baseline,
                  real, cpu, target.limit, cpu >= target.limit ? "" : "  NOT MET");
      return;
    }
    const double real = measuredReal / baselineReal;
    const double cpu = measuredCpu / baselineCpu;
    if (target.kind == RatioTarget::kShown) {
      std::printf("%-26s %-30s %10.3f %10.3f  -\n", target.measured, target.baseline, real, cpu);
    } else {
      std::printf("%-26s %-30s %10.3f %10.3f  <= %g%s\n", target.measured, target.baseline, real,
                  cpu, target.limit, cpu <= target.limit ? "" : "  NOT MET");
    }
  }

  std::vector<RatioTarget> targets_;
  std::map<std::string, Times> times_;
};

// How often the rate fit's band holds the truth on a real device's steps: cuts step logs
// (VELTRANE_STEP_LOG of veltrane-cli, "seconds position" a line) into windows of 30, 60 and
// 120 s, fits each with the command line's RateFit and counts the windows whose band holds
// the truth, for several allowances for a drifting delay. With --replay it gives each whole log
// to the command line's own loss-aware fit instead, as a run would have seen it, and prints its
// result: so a change to the loss detector can be tried on real runs. Judges nothing.
// Usage: step_log_fit [--window S | --replay WANDER_US] <rate> <true ppm> <log>...
//   (--window: that length only)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/fit/LossAwareFit.h"
#include "engine/fit/RateFit.h"
#include "engine/Robust.h"

namespace {

struct Step {
  double seconds;
  std::uint64_t frames;
};

std::vector<Step> ReadLog(const char* path) {
  std::vector<Step> steps;
  std::ifstream in(path);
  Step step{};
  while (in >> step.seconds >> step.frames) steps.push_back(step);
  return steps;
}

// The counter's usual step.
std::uint32_t TypicalStep(const std::vector<Step>& steps) {
  std::vector<std::uint32_t> gaps;
  for (std::size_t i = 1; i < steps.size(); ++i) {
    gaps.push_back(static_cast<std::uint32_t>(steps[i].frames - steps[i - 1].frames));
  }
  return veltrane::MostCommon(gaps);
}

int Replay(double wanderUs, double rate, double truth, int count, char** paths) {
  std::printf("%-28s %6s %10s %22s %6s %9s %6s %s\n", "log", "step", "ppm", "band", "losses",
              "lost ms", "shifts", "");
  for (int i = 0; i < count; ++i) {
    const std::vector<Step> steps = ReadLog(paths[i]);
    if (steps.size() < 2) continue;
    veltrane::LossAwareFit fit(rate, TypicalStep(steps), wanderUs * 1e-6);
    for (const Step& step : steps) fit.AddStep(step.seconds, step.frames);
    fit.Finish();
    const veltrane::RateEstimate e = fit.Estimate();
    const bool inside = e.bandLowPpm <= truth && truth <= e.bandHighPpm;
    std::printf("%-28s %6u %+10.3f [%+9.3f, %+9.3f] %6zu %9.1f %6zu %s\n", paths[i],
                TypicalStep(steps), e.ppm, e.bandLowPpm, e.bandHighPpm, fit.Losses().size(),
                fit.LostMilliseconds(), fit.Shifts().size(),
                fit.TooMuchLost() ? "refused"
                : !e.valid        ? "no result"
                : inside          ? "holds"
                                  : "MISSES");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 5 && std::string(argv[1]) == "--replay") {
    return Replay(std::atof(argv[2]), std::atof(argv[3]), std::atof(argv[4]), argc - 5, argv + 5);
  }
  std::vector<double> windows = {30.0, 60.0, 120.0};
  if (argc > 2 && std::string(argv[1]) == "--window") {
    windows = {std::atof(argv[2])};
    argc -= 2;
    argv += 2;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <rate> <true ppm> <log>...\n", argv[0]);
    return 2;
  }
  const double rate = std::atof(argv[1]);
  const double truth = std::atof(argv[2]);
  std::vector<std::vector<Step>> logs;
  for (int i = 3; i < argc; ++i) logs.push_back(ReadLog(argv[i]));

  const double wandersUs[] = {0.0, 10.0, 20.0, 25.0, 30.0, 40.0};
  std::printf("%-10s %8s %10s %12s %12s\n", "window s", "wander us", "inside", "rms ppm",
              "median half");
  for (const double window : windows) {
    for (const double wanderUs : wandersUs) {
      int inside = 0;
      int count = 0;
      double squares = 0.0;
      std::vector<double> halves;
      for (const auto& steps : logs) {
        std::size_t begin = 0;
        while (begin < steps.size()) {
          veltrane::RateFit fit(rate);
          fit.AllowDelayWander(wanderUs * 1e-6);
          std::size_t end = begin;
          while (end < steps.size() && steps[end].seconds - steps[begin].seconds < window) {
            fit.AddStep(steps[end].seconds, steps[end].frames);
            ++end;
          }
          if (end == steps.size()) break;  // a partial window at the end
          const veltrane::RateEstimate e = fit.Estimate();
          if (e.valid) {
            ++count;
            inside += e.bandLowPpm <= truth && truth <= e.bandHighPpm;
            squares += (e.ppm - truth) * (e.ppm - truth);
            halves.push_back(0.5 * (e.bandHighPpm - e.bandLowPpm));
          }
          begin = end;
        }
      }
      if (count == 0) continue;
      std::sort(halves.begin(), halves.end());
      std::printf("%-10.0f %8.0f %6d/%-3d %12.2f %12.2f\n", window, wanderUs, inside, count,
                  std::sqrt(squares / count), halves[halves.size() / 2]);
    }
  }
  return 0;
}

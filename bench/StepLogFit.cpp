// How often the rate fit's band holds the truth on a real device's steps: cuts step logs
// (VELTRANE_STEP_LOG of veltrane-cli, "seconds position" a line) into windows of 30, 60 and
// 120 s, fits each with the command line's RateFit and counts the windows whose band holds
// the truth, for several allowances for a drifting delay. Judges nothing.
// Usage: step_log_fit [--window S] <rate> <true ppm> <log>...  (--window: that length only)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "RateFit.h"

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

}  // namespace

int main(int argc, char** argv) {
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

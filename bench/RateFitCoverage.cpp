// Prints how RateFit's and AdaptiveRateFit's estimates and bands behave on simulated runs with a
// known true rate, next to plain least squares, first-to-last and the one-line lower hull (LP
// envelope) on the same data, and how long Estimate takes. Judges nothing; the tests do.
//
//   ratefit_bench [runs] [first random start]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/fit/AdaptiveRateFit.h"
#include "engine/fit/RateFit.h"
#include "tests/engine/fit/RateSim.h"

namespace veltrane {
namespace {

struct NamedCase {
  const char* name;
  SimCase simCase;
  bool splitAtBusyEnd = false;  // the caller starts a segment where the busy stretch ends
};

std::vector<NamedCase> Cases() {
  std::vector<NamedCase> cases;
  auto add = [&](const char* name, auto edit) {
    SimCase c;
    edit(c);
    cases.push_back({name, c});
  };
  add("441 calm 0ppm", [](SimCase&) {});
  add("219 calm +198.6", [](SimCase& c) { c.stepFrames = 219, c.ppm = 198.6; });
  add("441 jit200 -250", [](SimCase& c) { c.ppm = -250, c.jitterUs = 200; });
  add("441 late2ms 0ppm", [](SimCase& c) { c.lateUs = 2000; });
  add("219 j50 late5ms+out", [](SimCase& c) {
    c.stepFrames = 219, c.ppm = 198.6, c.jitterUs = 50, c.lateUs = 5000, c.outlierRate = 0.002;
  });
  add("48k 1024 +37 late1ms",
      [](SimCase& c) { c.nominalRate = 48000, c.stepFrames = 1024, c.ppm = 37, c.lateUs = 1000; });
  add("441 calm 30s", [](SimCase& c) { c.seconds = 30, c.ppm = 198.6; });
  add("441 late2ms 30s", [](SimCase& c) { c.seconds = 30, c.ppm = -250, c.lateUs = 2000; });
  add("441 2seg -4800 late1ms",
      [](SimCase& c) { c.ppm = 198.6, c.lateUs = 1000, c.lostFrames = 4800; });
  add("441 2seg -4800 calm", [](SimCase& c) { c.ppm = -37, c.lostFrames = 4800; });
  add("48k irregular late500", [](SimCase& c) {
    c.nominalRate = 48000, c.stepFrames = 256, c.stepFramesMax = 1024, c.ppm = -80, c.jitterUs = 20,
    c.lateUs = 500, c.outlierRate = 0.001;
  });
  add("441 device stamps 20us", [](SimCase& c) { c.ppm = 100, c.stampUs = 20; });
  add("441 late2ms 1st half", [](SimCase& c) { c.ppm = 198.6, c.lateUs = 2000, c.busyPart = 0.5; });
  cases.push_back(cases.back());
  cases.back().name = "  same, split at its end";
  cases.back().splitAtBusyEnd = true;
  add("441 late2ms 2nd half", [](SimCase& c) { c.ppm = 198.6, c.lateUs = 2000, c.busyFrom = 0.5; });
  add("441 late2ms 10s mid", [](SimCase& c) {
    c.ppm = -250, c.lateUs = 2000, c.busyFrom = 25.0 / 60.0, c.busyPart = 35.0 / 60.0;
  });
  add("48k USB 1ms packets", [](SimCase& c) {
    c.nominalRate = 48000, c.stepFrames = 48, c.ppm = -120, c.jitterUs = 500,
    c.uniformJitter = true;
  });
  add("441 server cycle 5.33ms", [](SimCase& c) { c.ppm = 198.6, c.cycleUs = 256e6 / 48000; });
  add("441 calm 20s", [](SimCase& c) { c.seconds = 20, c.ppm = -37; });
  add("441 late2ms 20s", [](SimCase& c) { c.seconds = 20, c.ppm = 100, c.lateUs = 2000; });
  add("441 late2ms 900s", [](SimCase& c) { c.seconds = 900, c.ppm = 198.6, c.lateUs = 2000; });
  return cases;
}

struct Spread {
  double mean = 0, rms = 0, mad = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

Spread Spreads(const std::vector<double>& errors) {
  Spread s;
  for (double e : errors) s.mean += e, s.rms += e * e;
  s.mean /= errors.size();
  s.rms = std::sqrt(s.rms / errors.size());
  const double med = Median(errors);
  std::vector<double> dev;
  for (double e : errors) dev.push_back(std::fabs(e - med));
  s.mad = 1.4826 * Median(dev);
  return s;
}

// One estimator's results over the runs of a case.
struct Outcome {
  std::vector<double> errors, halves;
  std::vector<bool> helds;
  int insideSe = 0;
  int methods[3] = {0, 0, 0};  // the adaptive fit's choices: lower edge, least squares, hull
  int regimeRuns = 0;          // runs in which it cut at a change of the delay's character
};

RateEstimate EstimateOf(const RateFit& fit, Outcome&) { return fit.Estimate(); }

RateEstimate EstimateOf(const AdaptiveRateFit& fit, Outcome& outcome) {
  const AdaptiveRateFit::Choice choice = fit.Analyse();
  ++outcome.methods[static_cast<int>(choice.method)];
  outcome.regimeRuns += choice.regimeChanges > 0;
  return choice.estimate;
}

template <typename Fit>
void AddRun(const NamedCase& nc, const std::vector<SimStep>& steps, Outcome& outcome) {
  Fit fit(nc.simCase.nominalRate);
  bool split = false;
  for (const SimStep& s : steps) {
    const bool busyEnds = nc.splitAtBusyEnd && !split &&
                          s.seconds - steps[0].seconds >= nc.simCase.busyPart * nc.simCase.seconds;
    split = split || busyEnds;
    if (s.newSegment || busyEnds) fit.BeginSegment();
    fit.AddStep(s.seconds, s.frames);
  }
  const RateEstimate e = EstimateOf(fit, outcome);
  const double truth = nc.simCase.ppm;
  outcome.errors.push_back(e.ppm - truth);
  outcome.halves.push_back(0.5 * (e.bandHighPpm - e.bandLowPpm));
  const bool held = e.valid && e.bandLowPpm <= truth && truth <= e.bandHighPpm;
  outcome.helds.push_back(held);
  outcome.insideSe += std::fabs(e.ppm - truth) <= 1.96 * e.stdErrPpm;
}

void PrintHeader(const char* title, int runs) {
  std::printf(
      "%s over %d runs per case (errors in ppm; spread = RMS of error about the truth;\n"
      "half = median band half-width; cov = truth inside band; 1.96SE = inside +-1.96 stdErr;\n"
      "40cov, 40pad = batches of 40 consecutive runs with the truth inside at least 38 times,\n"
      "with median half-width at most 3 x the batch's RMS error)\n\n",
      title, runs);
  std::printf("%-24s %6s %8s %7s %7s %7s %7s %9s %9s %7s %7s\n", "case", "points", "mean", "rms",
              "1.48MAD", "half", "half/rms", "cov", "cov1.96SE", "40cov", "40pad");
}

void PrintRow(const char* name, double points, const Outcome& o, int runs) {
  int batches = 0, batchesHeld = 0, batchesNotPadded = 0;
  for (std::size_t b = 0; b + 40 <= o.errors.size(); b += 40, ++batches) {
    batchesHeld += std::count(o.helds.begin() + b, o.helds.begin() + b + 40, true) >= 38;
    const std::vector<double> err(o.errors.begin() + b, o.errors.begin() + b + 40);
    const std::vector<double> hw(o.halves.begin() + b, o.halves.begin() + b + 40);
    batchesNotPadded += Median(hw) <= 3.0 * Spreads(err).rms;
  }
  const Spread s = Spreads(o.errors);
  const double half = Median(o.halves);
  const int inside = static_cast<int>(std::count(o.helds.begin(), o.helds.end(), true));
  std::printf("%-24s %6.0f %8.4f %7.4f %7.4f %7.4f %7.2f %5d/%-3d %5d/%-3d %3d/%-3d %3d/%-3d\n",
              name, points, s.mean, s.rms, s.mad, half, half / s.rms, inside, runs, o.insideSe,
              runs, batchesHeld, batches, batchesNotPadded, batches);
}

void Coverage(int runs, std::uint64_t firstStart) {
  struct Row {
    const char* name;
    double points = 0;
    Outcome fit, adaptive;
    std::vector<double> ols, firstLast, hull;
  };
  std::vector<Row> rows;
  for (const NamedCase& nc : Cases()) {
    Row row;
    row.name = nc.name;
    for (int r = 0; r < runs; ++r) {
      const auto steps = Simulate(nc.simCase, firstStart + r);
      row.points += static_cast<double>(steps.size()) / runs;
      AddRun<RateFit>(nc, steps, row.fit);
      AddRun<AdaptiveRateFit>(nc, steps, row.adaptive);
      const double truth = nc.simCase.ppm;
      const double nominal = nc.simCase.nominalRate;
      row.ols.push_back(LeastSquaresPpm(steps, nominal) - truth);
      row.firstLast.push_back(FirstToLastPpm(steps, nominal) - truth);
      row.hull.push_back(HullPpm(steps, nominal) - truth);
    }
    rows.push_back(row);
  }
  PrintHeader("RateFit", runs);
  for (const Row& row : rows) PrintRow(row.name, row.points, row.fit, runs);
  std::printf("\n");
  PrintHeader("AdaptiveRateFit", runs);
  for (const Row& row : rows) PrintRow(row.name, row.points, row.adaptive, runs);

  std::printf(
      "\nSame runs, all estimators: mean error / RMS error, ppm; adaptive / best = its RMS error\n"
      "over the best of the first four; chose = runs fitted by lower edge / least squares / hull,\n"
      "and runs cut at a change of the delay's character\n\n");
  std::printf("%-24s %19s %19s %19s %19s %19s %8s %s\n", "case", "RateFit", "least squares",
              "first-to-last", "LP hull", "adaptive", "ad/best", "chose");
  for (const Row& row : rows) {
    const Spread fit = Spreads(row.fit.errors), ols = Spreads(row.ols),
                 firstLast = Spreads(row.firstLast), hull = Spreads(row.hull),
                 adaptive = Spreads(row.adaptive.errors);
    const double best = std::min({fit.rms, ols.rms, firstLast.rms, hull.rms});
    std::printf(
        "%-24s %9.4f/%-9.4f %9.3f/%-9.3f %9.3f/%-9.3f %9.4f/%-9.4f %9.4f/%-9.4f %8.2f "
        "%d/%d/%d cut %d\n",
        row.name, fit.mean, fit.rms, ols.mean, ols.rms, firstLast.mean, firstLast.rms, hull.mean,
        hull.rms, adaptive.mean, adaptive.rms, adaptive.rms / best, row.adaptive.methods[0],
        row.adaptive.methods[1], row.adaptive.methods[2], row.adaptive.regimeRuns);
  }
}

template <typename Fit>
void TimeFit(const char* name, const std::vector<SimStep>& steps, double nominalRate) {
  Fit fit(nominalRate);
  const auto t0 = std::chrono::steady_clock::now();
  for (const SimStep& s : steps) fit.AddStep(s.seconds, s.frames);
  const auto t1 = std::chrono::steady_clock::now();
  const int repeats = steps.size() > 20000 ? 20 : 200;
  double sink = 0;
  for (int i = 0; i < repeats; ++i) sink += fit.Estimate().ppm;
  const auto t2 = std::chrono::steady_clock::now();
  const double addNs = std::chrono::duration<double, std::nano>(t1 - t0).count() / steps.size();
  const double estUs = std::chrono::duration<double, std::micro>(t2 - t1).count() / repeats;
  std::printf("%-16s %6zu points: AddStep %.1f ns each, Estimate %.1f us (%.3f ppm)\n", name,
              steps.size(), addNs, estUs, sink / repeats);
}

void Timing() {
  // Busy: the lower edge is chosen; idle: the hull, whose error from subsets costs the most.
  for (const double lateUs : {2000.0, 0.0}) {
    std::printf("\nCost (%s 441-frame case)\n\n", lateUs > 0.0 ? "busy" : "idle");
    for (double seconds : {60.0, 900.0}) {
      SimCase c;
      c.seconds = seconds;
      c.lateUs = lateUs;
      const auto steps = Simulate(c, 1);
      TimeFit<RateFit>("RateFit", steps, c.nominalRate);
      TimeFit<AdaptiveRateFit>("AdaptiveRateFit", steps, c.nominalRate);
    }
  }
}

}  // namespace
}  // namespace veltrane

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 40;
  const std::uint64_t firstStart = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
  veltrane::Coverage(runs, firstStart);
  veltrane::Timing();
  return 0;
}

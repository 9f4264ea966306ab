#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "engine/fit/AdaptiveRateFit.h"
#include "engine/fit/RateFit.h"
#include "tests/engine/fit/RateSim.h"

namespace veltrane {
namespace {

using Method = AdaptiveRateFit::Method;

// Noiseless steps give their ratio exactly whichever fit is chosen, also across a loss.
TEST(AdaptiveRateFitTest, ExactLinesGiveTheirRatio) {
  struct Row {
    double ratio;
    std::uint64_t lostFrames;  // at the middle, announced by BeginSegment
  };
  for (const Row& row : std::vector<Row>{{1.0001986, 0}, {0.99975, 0}, {1.00025, 4800}}) {
    SCOPED_TRACE(row.ratio);
    AdaptiveRateFit fit(44100);
    std::uint64_t frames = 5000000;
    for (int i = 1; i <= 6000; ++i) {
      frames += 441;
      if (row.lostFrames > 0 && i == 3000) {
        frames -= row.lostFrames;
        fit.BeginSegment();
      }
      fit.AddStep(98765.4321 + i * 441 / (44100 * row.ratio), frames);
    }
    const RateEstimate e = fit.Estimate();
    ASSERT_TRUE(e.valid);
    EXPECT_NEAR(e.ppm, (row.ratio - 1.0) * 1e6, 1e-6);
    EXPECT_LT(e.bandHighPpm - e.bandLowPpm, 1e-3);
  }
}

double Median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

double Rms(const std::vector<double>& errors) {
  double squares = 0.0;
  for (double e : errors) squares += e * e;
  return std::sqrt(squares / errors.size());
}

// Over runs of each kind of delay: the fit its delays call for, a band that holds the truth in
// 95 % of runs without padding, and an error within a quarter of the best of the lower edge,
// least squares and the hull. A busy stretch must be cut off, not tilt the line.
TEST(AdaptiveRateFitTest, ChoosesTheFitTheDelaysCallFor) {
  struct Row {
    std::string name;
    SimCase simCase;
    Method method;
    bool cut;  // a change of the delay's character is found
  };
  std::vector<Row> rows(6);
  rows[0] = {"idle computer", {}, Method::kLowerHull, false};
  rows[1] = {"device jitter 200 us", {}, Method::kLeastSquares, false};
  rows[1].simCase.jitterUs = 200;
  rows[2] = {"device stamps 20 us", {}, Method::kLeastSquares, false};
  rows[2].simCase.stampUs = 20;
  rows[3] = {"busy all along", {}, Method::kLowerEdge, false};
  rows[3].simCase.lateUs = 2000;
  rows[4] = {"busy first half, then idle", {}, Method::kLowerHull, true};
  rows[4].simCase.lateUs = 2000;
  rows[4].simCase.busyPart = 0.5;
  rows[5] = {"idle, busy 10 s in the middle", {}, Method::kLowerHull, true};
  rows[5].simCase.lateUs = 2000;
  rows[5].simCase.busyFrom = 25.0 / 60.0;
  rows[5].simCase.busyPart = 35.0 / 60.0;

  // Enough runs that a band holding the truth 98 % of the time is not failed by chance.
  constexpr int kRuns = 160;
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    row.simCase.ppm = 198.6;
    std::vector<double> errors, halves, edge, ls, hull;
    int inside = 0, chosen = 0, cut = 0;
    for (int run = 0; run < kRuns; ++run) {
      const std::vector<SimStep> steps = Simulate(row.simCase, 9000 + run);
      AdaptiveRateFit fit(row.simCase.nominalRate);
      RateFit lowerEdge(row.simCase.nominalRate);
      for (const SimStep& step : steps) {
        fit.AddStep(step.seconds, step.frames);
        lowerEdge.AddStep(step.seconds, step.frames);
      }
      const AdaptiveRateFit::Choice choice = fit.Analyse();
      const RateEstimate& e = choice.estimate;
      ASSERT_TRUE(e.valid);
      const double truth = row.simCase.ppm;
      errors.push_back(e.ppm - truth);
      halves.push_back(0.5 * (e.bandHighPpm - e.bandLowPpm));
      inside += e.bandLowPpm <= truth && truth <= e.bandHighPpm;
      chosen += choice.method == row.method;
      cut += choice.regimeChanges > 0;
      edge.push_back(lowerEdge.Estimate().ppm - truth);
      ls.push_back(LeastSquaresPpm(steps, row.simCase.nominalRate) - truth);
      hull.push_back(HullPpm(steps, row.simCase.nominalRate) - truth);
    }
    const double rms = Rms(errors);
    EXPECT_GE(inside, kRuns * 38 / 40);
    EXPECT_LE(Median(halves), 3.0 * rms);
    EXPECT_LE(rms, 1.25 * std::min({Rms(edge), Rms(ls), Rms(hull)}));
    EXPECT_GE(chosen, kRuns * 9 / 10);
    EXPECT_EQ(cut >= kRuns * 9 / 10, row.cut) << cut;
    EXPECT_EQ(cut <= kRuns / 10, !row.cut) << cut;
  }
}

}  // namespace
}  // namespace veltrane

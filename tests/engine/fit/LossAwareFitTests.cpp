// The rate fit with losses taken out, on simulated steps with a known true rate: a loss begins
// a segment of its own rather than bending the line, and is counted and sized.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/fit/LossAwareFit.h"
#include "tests/engine/fit/RateSim.h"

namespace veltrane {
namespace {

TEST(LossAwareFitTest, FitsAcrossALossAndSizesIt) {
  struct Row {
    double ppm;
    std::uint32_t lostFrames;
    std::size_t losses;
  };
  const std::vector<Row> rows = {{0.0, 0, 0}, {-25.0, 0, 0}, {40.0, 4410, 1}, {0.0, 882, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.ppm << " ppm, " << row.lostFrames << " frames lost");
    SimCase simCase;
    simCase.ppm = row.ppm;
    simCase.lostFrames = row.lostFrames;
    simCase.lateUs = 100.0;
    LossAwareFit fit(simCase.nominalRate, simCase.stepFrames, 0.0);
    for (const SimStep& step : Simulate(simCase, 7)) fit.AddStep(step.seconds, step.frames);
    fit.Finish();
    const RateEstimate estimate = fit.Estimate();
    ASSERT_TRUE(estimate.valid);
    EXPECT_LE(estimate.bandLowPpm, row.ppm);
    EXPECT_GE(estimate.bandHighPpm, row.ppm);
    EXPECT_LT(estimate.bandHighPpm - estimate.bandLowPpm, 5.0);
    ASSERT_EQ(fit.Losses().size(), row.losses);
    EXPECT_NEAR(fit.LostMilliseconds(), row.lostFrames / simCase.nominalRate * 1e3, 1.0);
    EXPECT_EQ(fit.Shifts().size(), row.losses);
    EXPECT_EQ(fit.UnseenLosses(), 0u);
    EXPECT_FALSE(fit.TooMuchLost());
  }
}

// Steps of a run that lost half a step every half second, one quarter-second window in two: too
// often for the windows to tell the losses apart, so the fit takes them for a slower rate,
// and the rate from one step to the next gives them away.
TEST(LossAwareFitTest, LossesTooFrequentToSeeAreCountedAndRefused) {
  const double rate = 44100.0;
  const std::uint32_t step = 441;
  LossAwareFit fit(rate, step, 0.0);
  double lost = 0.0;
  for (int i = 0; i < 6000; ++i) {
    const double seconds = i * 0.01;
    if (i > 0 && i % 50 == 0) lost += 0.5 * step;  // half a step every half second
    fit.AddStep(seconds, static_cast<std::uint64_t>(i) * step - static_cast<std::uint64_t>(lost));
  }
  fit.Finish();
  EXPECT_GT(fit.UnseenLosses() + fit.Losses().size(), 16u);
  EXPECT_TRUE(fit.TooMuchLost());
}

}  // namespace
}  // namespace veltrane

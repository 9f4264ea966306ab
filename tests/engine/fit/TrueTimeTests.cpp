// From a rate against the raw clock to one against true time, from the daemon's figures and
// the two clocks' stretches.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "engine/fit/TrueTime.h"

namespace veltrane {
namespace {

// Stretches in which the disciplined clock ran `offset` ppm beside the raw one beyond a steady
// correction, and a few slewed by `slew` on top.
std::vector<ClockWindow> Windows(double correction, double offset, int steady, int slewed,
                                 double slew) {
  std::vector<ClockWindow> windows;
  for (int i = 0; i < steady + slewed; ++i) {
    ClockWindow window;
    window.rawSeconds = kClockWindowSeconds;
    const double extra = i < slewed ? slew : 0.0;
    window.appliedPpm = ((1 + correction * 1e-6) * (1 + offset * 1e-6) - 1) * 1e6 + extra;
    window.correctionPpm = correction;
    window.correctionSteady = true;
    windows.push_back(window);
  }
  return windows;
}

ReferenceClockState Daemon(double fastPpm, double bandPpm) {
  ReferenceClockState state;
  state.synchronized = true;
  state.source = TimeSource::Kernel;
  state.uncorrectedFastPpm = fastPpm;
  state.uncorrectedLowPpm = fastPpm - bandPpm;
  state.uncorrectedHighPpm = fastPpm + bandPpm;
  return state;
}

TEST(TrueTimeTest, CorrectsByTheRawClocksErrorOrSaysItCannot) {
  RateEstimate measured;
  measured.valid = true;
  measured.ppm = -280.0;
  measured.ratio = 1.0 - 280e-6;
  measured.bandLowPpm = -280.5;
  measured.bandHighPpm = -279.5;
  struct Case {
    const char* what;
    ReferenceClockState reference;
    std::vector<ClockWindow> windows;
    std::optional<double> rawFast;  // none: against the crystal
    double slew;
  };
  const Case cases[] = {
      // The daemon corrects -30 ppm: the clock left alone runs 30 fast, and so does the raw one.
      {"synced", Daemon(30, 0.1), Windows(-30, 0, 8, 0, 0), 30.0, 0.0},
      // The disciplined clock runs 0.5 ppm beside the raw one before any correction (the
      // kernel's rounding of the two clocks): the raw clock is that much slower than it.
      {"clocks apart", Daemon(30, 0.1), Windows(-30, 0.5, 8, 0, 0), 29.5, 0.0},
      {"a slew in three stretches", Daemon(30, 0.1), Windows(-30, 0.5, 8, 3, 300), 29.5, 300.0},
      {"most stretches slewed", Daemon(30, 0.1), Windows(-30, 0, 3, 5, 300), std::nullopt, 300.0},
      {"no daemon", ReferenceClockState{}, Windows(0, 0, 8, 2, -40), std::nullopt, 40.0},
      {"no stretches", Daemon(30, 0.1), {}, std::nullopt, 0.0},
  };
  for (const Case& c : cases) {
    const TrueTimeResult result = AgainstTrueTime(measured, c.reference, c.windows);
    ASSERT_EQ(result.againstTrueTime, c.rawFast.has_value()) << c.what;
    if (!c.rawFast) {
      EXPECT_DOUBLE_EQ(result.estimate.ppm, measured.ppm) << c.what;
      if (!c.windows.empty()) {
        EXPECT_NEAR(*result.slewPpm, c.slew, 1e-6) << c.what;
      }
      continue;
    }
    EXPECT_NEAR(*result.rawFastPpm, *c.rawFast, 1e-3) << c.what;
    // Frames per raw second times raw seconds per true second.
    const double truth = ((1 - 280e-6) * (1 + *c.rawFast * 1e-6) - 1) * 1e6;
    EXPECT_NEAR(result.estimate.ppm, truth, 1e-4) << c.what;
    EXPECT_NEAR(result.estimate.bandLowPpm, truth - 0.6, 1e-3) << c.what;
    EXPECT_NEAR(result.estimate.bandHighPpm, truth + 0.6, 1e-3) << c.what;
    EXPECT_NEAR(*result.slewPpm, c.slew, 1e-3) << c.what;
  }
}

}  // namespace
}  // namespace veltrane

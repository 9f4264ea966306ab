// The command line's measurement in virtual time against the simulated device: what it
// measures, and how every kind of run ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/fit/RateMeasurement.h"
#include "platform/simulated/SimulatedAudio.h"
#include "platform/simulated/SimulatedScheduler.h"
#include "platform/simulated/SimulatedSystemClock.h"
#include "base/Text.h"
#include "platform/simulated/VirtualClock.h"

namespace veltrane {
namespace {

struct Outcome {
  MeasurementResult result;
  int progressReports = 0;
  double lastElapsed = 0.0;
  TrueTimeResult trueTime;
};

// Virtual time that keeps the shortest pause between looks once the run has settled.
class PauseRecordingClock : public VirtualClock {
 public:
  void Pause(std::uint32_t microseconds) override {
    if (MillisecondTimer() > kSettledMs) shortestPauseUs = std::min(shortestPauseUs, microseconds);
    VirtualClock::Pause(microseconds);
  }
  static constexpr std::uint32_t kSettledMs = 5000;
  std::uint32_t shortestPauseUs = UINT32_MAX;
};

using TimesSource = std::function<std::optional<ProcessorTimes>()>;

Outcome Measure(const std::string& options, MeasurementSettings settings,
                std::optional<int> stopAfterReports = std::nullopt,
                std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>(),
                TimesSource processorTimes = {}) {
  PlatformServices services;
  services.clock = clock;
  auto scheduler = std::make_shared<SimulatedScheduler>();
  scheduler->processorTimes = std::move(processorTimes);
  services.scheduler = scheduler;
  SimulatedAudioOptions parsed;
  std::wstring error;
  EXPECT_TRUE(ParseSimulatedAudioOptions(options, parsed, error)) << ToUtf8(error);
  // As start-up does: the simulated computer's clocks over the one standing for true time.
  if (parsed.time != SimulatedTimeOptions{}) {
    services.clock = std::make_shared<SimulatedSystemClock>(clock, parsed.time, 1);
  }
  services.audio = std::make_shared<SimulatedAudio>(services.clock, parsed);
  RunState state(services, 0, 44100);
  Outcome run;
  RateMeasurement measurement(state, settings, [&](const MeasurementEvent& event) {
    const auto* progress = std::get_if<MeasurementProgress>(&event);
    if (!progress) return;
    ++run.progressReports;
    run.lastElapsed = progress->elapsedSeconds;
    if (stopAfterReports && run.progressReports >= *stopAfterReports) state.stopRequested = true;
  });
  run.result = measurement.Run();
  run.trueTime = AgainstTrueTime(run.result.estimate, services.clock->GetReferenceState(),
                                 run.result.clockWindows);
  return run;
}

TEST(RateMeasurementTest, FindsTheTrueRateWithinItsBandAndTheStepSize) {
  struct Case {
    const char* options;
    double ppm;
    std::uint32_t step;
    double widestBandPpm;  // symmetric jitter on the earliest looks widens it
    bool stamped;          // the device's stamps time the steps, not our late looks
  };
  for (const Case& c : {Case{"ppm=-250", -250.0, 441, 4.0, false},
                        Case{"ppm=198.6,step=219", 198.6, 219, 4.0, false},
                        Case{"ppm=37,step=1024,jitter_us=50", 37.0, 1024, 10.0, false},
                        Case{"ppm=37,jitter_us=20,late_us=3000,stamps=1", 37.0, 441, 4.0, true}}) {
    MeasurementSettings settings;
    settings.seconds = 30.0;
    const Outcome run = Measure(c.options, settings);
    ASSERT_EQ(run.result.end, MeasurementEnd::Done) << c.options;
    const RateEstimate& estimate = run.result.estimate;
    EXPECT_LE(estimate.bandLowPpm, c.ppm) << c.options;
    EXPECT_GE(estimate.bandHighPpm, c.ppm) << c.options;
    EXPECT_LT(estimate.bandHighPpm - estimate.bandLowPpm, c.widestBandPpm) << c.options;
    EXPECT_NEAR(estimate.seconds, 30.0, 1.0) << c.options;
    EXPECT_EQ(run.result.stepFrames, c.step) << c.options;
    EXPECT_EQ(run.result.deviceTimestamps, c.stamped) << c.options;
    EXPECT_GE(run.progressReports, 29) << c.options;
  }
}

// The fit runs on the raw clock, whatever slews the disciplined one; where the daemon knows
// the crystal, the rate is made one against true time with the daemon's band.
TEST(RateMeasurementTest, AgainstTrueTimeWhenTheDaemonKnowsTheCrystal) {
  struct Case {
    const char* options;
    bool againstTrueTime;
    double truthPpm;  // against true time, or against the crystal
    double slewPpm;
    double seconds = 30.0;
  };
  const double crystal = ((1.0 - 250e-6) / (1.0 + 30e-6) - 1.0) * 1e6;
  for (const Case& c : {
           Case{"ppm=-250,clock_ppm=30,synced=1", true, -250.0, 0.0},
           Case{"ppm=-250,clock_ppm=30,synced=1,slew_ppm=300,slew_after_s=20,slew_for_s=20", true,
                -250.0, 300.0, 60.0},
           Case{"ppm=-250,clock_ppm=30,synced=1,skew_ppm=2,stamps=1", true, -250.0, 0.0},
           Case{"ppm=-250,clock_ppm=30,slew_ppm=-500,slew_after_s=10,slew_for_s=10", false,
                crystal, 500.0},
       }) {
    MeasurementSettings settings;
    settings.seconds = c.seconds;
    const Outcome run = Measure(c.options, settings);
    ASSERT_EQ(run.result.end, MeasurementEnd::Done) << c.options;
    const RateEstimate& estimate = run.trueTime.estimate;
    EXPECT_EQ(run.trueTime.againstTrueTime, c.againstTrueTime) << c.options;
    EXPECT_LE(estimate.bandLowPpm, c.truthPpm) << c.options;
    EXPECT_GE(estimate.bandHighPpm, c.truthPpm) << c.options;
    EXPECT_LT(estimate.bandHighPpm - estimate.bandLowPpm, 6.0) << c.options;
    ASSERT_TRUE(run.trueTime.slewPpm) << c.options;
    EXPECT_NEAR(*run.trueTime.slewPpm, c.slewPpm, 1.0) << c.options;
  }
}

// Looks aimed at each step come in bursts of a few hundred microseconds; a device that wants
// steady looks never sees them.
TEST(RateMeasurementTest, LooksSteadilyAtADeviceThatAsks) {
  for (const bool steady : {false, true}) {
    auto clock = std::make_shared<PauseRecordingClock>();
    MeasurementSettings settings;
    settings.seconds = 15;
    const Outcome run =
        Measure(steady ? "ppm=-250,steady_looks=1" : "ppm=-250", settings, std::nullopt, clock);
    EXPECT_EQ(run.result.end, MeasurementEnd::Done);
    EXPECT_NEAR(run.result.estimate.ppm, -250.0, 4.0);
    if (steady) {
      EXPECT_GE(clock->shortestPauseUs, 1000u);
    } else {
      EXPECT_LT(clock->shortestPauseUs, 1000u);
    }
  }
}

// A sound server that other programs starve may deliver later from then on: once the
// processors' times show them taking half or more, the band allows for the drift the device
// names for that. Below half, or where the times are unknown, nothing changes.
TEST(RateMeasurementTest, AllowsForTheDevicesBusyDriftWhileOthersKeepTheProcessorsBusy) {
  struct Case {
    double othersShare;  // of two processors, from 10 s on
    bool known = true;
  };
  MeasurementSettings settings;
  settings.seconds = 30.0;
  const std::string options = "ppm=-250,busy_wander_us=300";
  const RateEstimate calm = Measure(options, settings).result.estimate;
  for (const Case& c : {Case{0.0, false}, Case{0.3}, Case{0.9}}) {
    auto clock = std::make_shared<VirtualClock>();
    auto first = std::make_shared<std::optional<double>>();
    const TimesSource times = [clock, c, first]() -> std::optional<ProcessorTimes> {
      if (!c.known) return std::nullopt;
      double now = static_cast<double>(clock->PerformanceCounter()) /
                   static_cast<double>(clock->PerformanceFrequency());
      if (!*first) *first = now;
      now -= **first;
      const double others = std::max(0.0, now - 10.0) * 2.0 * c.othersShare;
      return ProcessorTimes{others + 0.01 * now, 2.0 * now, 0.01 * now};
    };
    const Outcome run = Measure(options, settings, std::nullopt, clock, times);
    ASSERT_EQ(run.result.end, MeasurementEnd::Done) << c.othersShare;
    const RateEstimate& estimate = run.result.estimate;
    EXPECT_LE(estimate.bandLowPpm, -250.0) << c.othersShare;
    EXPECT_GE(estimate.bandHighPpm, -250.0) << c.othersShare;
    if (c.othersShare < 0.5) {
      EXPECT_EQ(run.result.busySeconds, 0.0) << c.othersShare;
      EXPECT_NEAR(estimate.bandHighPpm - estimate.bandLowPpm,
                  calm.bandHighPpm - calm.bandLowPpm, 0.5) << c.othersShare;
      continue;
    }
    // From 10 s after the first look to the end, 2 s of settling and 30 s of measuring later.
    EXPECT_NEAR(run.result.busySeconds, 22.0, 1.5);
    // 0.3 ms over 30 s is 10 ppm as one standard deviation.
    EXPECT_GT(estimate.ppm - estimate.bandLowPpm, 2.3 * 10.0);
    EXPECT_LT(estimate.ppm - estimate.bandLowPpm, 2.6 * 10.5);
  }
}

TEST(RateMeasurementTest, EndsOnceTheBandIsNarrowEnoughButNotBeforeTheShortestTime) {
  struct Case {
    double untilPpm;
    double endsAfterSeconds;
  };
  // A loose aim is met at once, yet the run lasts the shortest time; one never met runs on to
  // the limit.
  for (const Case& c : {Case{50.0, 10.0}, Case{0.001, 30.0}}) {
    MeasurementSettings settings;
    settings.seconds = 30.0;
    settings.untilPpm = c.untilPpm;
    settings.shortestSeconds = 10.0;
    const Outcome run = Measure("ppm=-250", settings);
    EXPECT_EQ(run.result.end, MeasurementEnd::Done) << c.untilPpm;
    EXPECT_NEAR(run.lastElapsed, c.endsAfterSeconds, 1.0) << c.untilPpm;
  }
}

// Steps lost without an overrun: each stretch between them gets its own offset, so the rate
// stays true; losses so frequent that the stretches are short refuse a result, and so do losses
// in half or more of the loss detector's windows, which no window-to-window rise shows.
TEST(RateMeasurementTest, FitsAroundLostSamplesOrRefuses) {
  struct Case {
    const char* options;
    double ppm;
    MeasurementEnd end;
    std::size_t fewestLosses;
    double lostMsEach;
    double widestBandPpm;  // the stretches' own offsets take their share of what the steps say
  };
  for (const Case& c :
       {Case{"ppm=-250,drop_every_s=10,drop_ms=20", -250.0, MeasurementEnd::Done, 2, 20.0, 6.0},
        Case{"ppm=198.6,step=219,jitter_us=200,late_us=300,drop_every_s=7,drop_ms=15", 198.6,
             MeasurementEnd::Done, 3, 14.9, 80.0},
        Case{"ppm=-250,drop_every_s=1,drop_ms=20", -250.0, MeasurementEnd::TooMuchLost, 25, 20.0,
             0.0},
        Case{"ppm=-250,drop_every_s=0.5,drop_ms=100", -250.0, MeasurementEnd::TooMuchLost, 50,
             100.0, 0.0},
        Case{"ppm=-250,drop_every_s=0.2,drop_ms=10", -250.0, MeasurementEnd::TooMuchLost, 125, 10.0,
             0.0}}) {
    MeasurementSettings settings;
    settings.seconds = 30.0;
    const MeasurementResult result = Measure(c.options, settings).result;
    ASSERT_EQ(result.end, c.end) << c.options;
    EXPECT_GE(result.losses, c.fewestLosses) << c.options;
    EXPECT_NEAR(result.lostMs, c.lostMsEach * result.losses, 0.1 * result.lostMs + 1.0);
    if (c.end != MeasurementEnd::Done) continue;
    EXPECT_LE(result.estimate.bandLowPpm, c.ppm) << c.options;
    EXPECT_GE(result.estimate.bandHighPpm, c.ppm) << c.options;
    EXPECT_LT(result.estimate.bandHighPpm - result.estimate.bandLowPpm, c.widestBandPpm)
        << c.options;
  }
}

TEST(RateMeasurementTest, EveryOtherEnding) {
  struct Case {
    const char* options;
    MeasurementEnd end;
    std::optional<int> stopAfterReports;
  };
  for (const Case& c : {Case{"fail_open=4", MeasurementEnd::OpenFailed, std::nullopt},
                        Case{"rates=48000", MeasurementEnd::RateRefused, std::nullopt},
                        Case{"stall_after_s=8", MeasurementEnd::Stalled, std::nullopt},
                        Case{"overrun_after_s=8", MeasurementEnd::DeviceFailed, std::nullopt},
                        Case{"ppm=0", MeasurementEnd::Interrupted, 3}}) {
    MeasurementSettings settings;
    settings.seconds = 30.0;
    const Outcome run = Measure(c.options, settings, c.stopAfterReports);
    EXPECT_EQ(run.result.end, c.end) << c.options;
  }
}

}  // namespace
}  // namespace veltrane

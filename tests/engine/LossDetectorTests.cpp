// The loss detector against the simulated device in virtual time, looked at every 1.7 ms as a
// polling front end does: late looks and jitter are no loss, dropped steps are.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/Capture.h"
#include "engine/LossDetector.h"
#include "platform/simulated/SimulatedAudio.h"
#include "platform/simulated/SimulatedScheduler.h"
#include "base/Text.h"
#include "platform/simulated/VirtualClock.h"

namespace veltrane {
namespace {

constexpr std::int32_t kRate = 44100;

LossDetector Watch(const std::string& options, double seconds) {
  SimulatedAudioOptions parsed;
  std::wstring error;
  EXPECT_TRUE(ParseSimulatedAudioOptions(options, parsed, error)) << ToUtf8(error);
  PlatformServices services;
  auto clock = std::make_shared<VirtualClock>();
  services.clock = clock;
  services.scheduler = std::make_shared<SimulatedScheduler>();
  services.audio = std::make_shared<SimulatedAudio>(clock, parsed);
  RunState state(services, 0, kRate);
  CaptureSession capture(state);
  EXPECT_EQ(capture.Begin(), CaptureStep::Started);
  LossDetector detector(kRate, parsed.stepFrames, 0.5);
  const double start = clock->NowNs() * 1e-9;
  std::uint32_t last = 0;
  for (double now = start; now - start < seconds; now = clock->NowNs() * 1e-9) {
    clock->Pause(1700);
    std::uint32_t position = 0;
    capture.Device().GetPositionSamples(position);
    // The first seconds are the sound server's start, which measuring skips.
    if (position != last && now - start > 2.0) detector.AddStep(clock->NowNs() * 1e-9, position);
    last = position;
  }
  detector.Finish();
  return detector;
}

TEST(LossDetectorTest, CountsDroppedStepsButNotLateLooks) {
  struct Row {
    const char* options;
    std::size_t losses;
    double lostMs;
  };
  const Row rows[] = {
      {"ppm=-250,jitter_us=200,late_us=300", 0, 0.0},
      {"ppm=37,step=1024,late_us=1000", 0, 0.0},  // stalls of 10 to 50 ms now and then
      {"ppm=-250,drop_every_s=10,drop_ms=20", 5, 100.0},
      {"ppm=198.6,step=219,jitter_us=200,late_us=300,drop_every_s=7,drop_ms=15", 8, 119.2},
      // Less than a step asked for: the counter loses a whole step or nothing.
      {"drop_every_s=40,drop_ms=6", 1, 10.0},
      {"drop_every_s=40,drop_ms=4", 0, 0.0},
  };
  for (const Row& row : rows) {
    const LossDetector detector = Watch(row.options, 59.0);
    EXPECT_EQ(detector.Losses().size(), row.losses) << row.options;
    EXPECT_NEAR(detector.LostMilliseconds(), row.lostMs, 0.1 * row.lostMs + 1.0) << row.options;
  }
}

// A sound server's lines, drawn directly: 20 ms steps seen 0 to 50 µs late, and what the server
// may do to the line of one run. Its own cycles are shorter than our step, so it may lose (or
// shift for good) less than a step; it may also hold its data back for some seconds, or our
// looks may come late in a row, and then catch up: no loss.
TEST(LossDetectorTest, SeesLastingShiftsSmallerThanAStepButNotHolds) {
  struct Row {
    const char* name;
    double shiftMs;  // added to every look from shiftFrom on ...
    double shiftFrom;
    double shiftUntil;  // ... until here
    std::size_t losses;
    std::size_t shifts;  // where a fit must begin a segment
  };
  const Row rows[] = {
      {"lasting shift of a sixteenth of a step", 1.25, 10.0, 1e9, 1, 1},
      {"a lost cycle of a quarter step", 5.33, 30.0, 1e9, 1, 1},
      {"held back for 8 s", 1.4, 10.0, 18.0, 0, 0},
      {"late looks for 2 s", 4.0, 20.0, 22.0, 0, 0},
      // Too long to tell from a loss until it ends; then the line comes back.
      {"held back for 25 s", 1.4, 10.0, 35.0, 1, 2},
  };
  constexpr std::uint32_t kStep = 882;
  for (const Row& row : rows) {
    LossDetector detector(kRate, kStep, 0.25);
    std::uint64_t random = 12345;
    for (std::uint64_t frames = 0; frames < 60 * kRate; frames += kStep) {
      random = random * 6364136223846793005ULL + 1442695040888963407ULL;
      double seconds =
          static_cast<double>(frames) / kRate + 50e-6 * ((random >> 33) / 2147483648.0);
      if (seconds >= row.shiftFrom && seconds < row.shiftUntil) seconds += row.shiftMs * 1e-3;
      detector.AddStep(seconds, frames);
    }
    detector.Finish();
    EXPECT_EQ(detector.Losses().size(), row.losses) << row.name;
    EXPECT_EQ(detector.Shifts().size(), row.shifts) << row.name;
    if (row.losses == 1) {
      EXPECT_NEAR(detector.Losses()[0].lostSeconds * 1e3, row.shiftMs, 0.1) << row.name;
    }
  }
}

}  // namespace
}  // namespace veltrane
